#include "libs/capCache/CapabilityRules.h"

#include <arpa/inet.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <istream>
#include <ostream>
#include <string_view>

namespace capability_query_if {

namespace {

std::vector<std::string_view> splitFields(std::string_view line) {
    constexpr std::string_view blanks = " \t\r\v\f";
    std::vector<std::string_view> fields;
    size_t position = line.find_first_not_of(blanks);
    while (position != std::string_view::npos) {
        size_t end = line.find_first_of(blanks, position);
        if (end == std::string_view::npos) {
            end = line.size();
        }
        fields.push_back(line.substr(position, end - position));
        position = line.find_first_not_of(blanks, end);
    }
    return fields;
}

// Whole-field decimal conversion: "12abc", "+1" and "" are rejected rather than read as 12, 1, 0.
template <typename T>
bool parseNumber(std::string_view text, T& value) {
    const char* end = text.data() + text.size();
    auto [stop, error] = std::from_chars(text.data(), end, value);
    return error == std::errc() && stop == end && !text.empty();
}

bool sameAddress(const in6_addr& a, const in6_addr& b) {
    return std::memcmp(&a, &b, sizeof(in6_addr)) == 0;
}

}  // namespace

CapabilityRules CapabilityRules::parse(std::istream& input, const std::string& source,
                                       std::ostream& report) {
    CapabilityRules result;
    std::string line;
    size_t lineNumber = 0;
    while (std::getline(input, line)) {
        ++lineNumber;
        std::string_view content(line);
        content = content.substr(0, content.find('#'));
        const std::vector<std::string_view> fields = splitFields(content);
        if (fields.empty()) {
            continue;
        }

        const char* problem = nullptr;
        Rule rule{};
        int level = 0;
        if (fields.size() != 3) {
            problem = "expected <address or *> <port or *> <level>";
        } else if (fields[0] != "*" &&
                   inet_pton(AF_INET6, std::string(fields[0]).c_str(), &rule.address) != 1) {
            problem = "not an IPv6 address or *";
        } else if (fields[1] != "*" && !parseNumber(fields[1], rule.port)) {
            problem = "not a port (0..65535) or *";
        } else if (!parseNumber(fields[2], level) || level < INT8_MIN || level > INT8_MAX) {
            problem = "not a level (-128..127)";
        }
        if (problem != nullptr) {
            // One write per report so that lines of concurrent writers stay whole.
            report << (source + ":" + std::to_string(lineNumber) +
                       ": malformed capability rule, line skipped: " + problem + "\n");
            continue;
        }
        rule.anyAddress = fields[0] == "*";
        rule.anyPort = fields[1] == "*";
        rule.level = static_cast<int8_t>(level);
        result.rules_.push_back(rule);
    }
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
