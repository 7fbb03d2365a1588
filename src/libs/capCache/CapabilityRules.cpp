#include "libs/capCache/CapabilityRules.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <istream>
#include <ostream>
#include <string_view>

#include "libs/configText/ConfigText.h"

namespace capability_query_if {

namespace {

bool sameAddress(const in6_addr& a, const in6_addr& b) {
    return std::memcmp(&a, &b, sizeof(in6_addr)) == 0;
}

}  // namespace

CapabilityRules CapabilityRules::parse(std::istream& input, const std::string& source,
                                       std::ostream& report) {
    CapabilityRules result;
    config_text::forEachEntry(
        input, source, "capability rule", report,
        [&result](const std::vector<std::string_view>& fields) -> const char* {
            Rule rule{};
            int level = 0;
            if (fields.size() != 3) {
                return "expected <address or *> <port or *> <level>";
            }
            if (fields[0] != "*" &&
                inet_pton(AF_INET6, std::string(fields[0]).c_str(), &rule.address) != 1) {
                return "not an IPv6 address or *";
            }
            if (fields[1] != "*" && !config_text::parseWholeNumber(fields[1], rule.port)) {
                return "not a port (0..65535) or *";
            }
            if (!config_text::parseWholeNumber(fields[2], level) || level < INT8_MIN ||
                level > INT8_MAX) {
                return "not a level (-128..127)";
            }
            rule.anyAddress = fields[0] == "*";
            rule.anyPort = fields[1] == "*";
            rule.level = static_cast<int8_t>(level);
            result.rules_.push_back(rule);
            return nullptr;
        });
    return result;
}

CapabilityRules CapabilityRules::load(const std::string& path, std::ostream& report) {
    std::ifstream file(path);
    if (!file.is_open()) {
        const int error = errno;
        report << (path + ": cannot open capability rules, none apply: " + std::strerror(error) +
                   "\n");
        return CapabilityRules();
    }
    return parse(file, path, report);
}

int8_t CapabilityRules::securityLevel(const std::string& address, uint16_t port) const {
    in6_addr requested{};
    const bool validAddress = inet_pton(AF_INET6, address.c_str(), &requested) == 1;
    for (const Rule& rule : rules_) {
        const bool addressMatches =
            rule.anyAddress || (validAddress && sameAddress(rule.address, requested));
        if (addressMatches && (rule.anyPort || rule.port == port)) {
            return rule.level;
        }
    }
    return 0;
}

}  // namespace capability_query_if
