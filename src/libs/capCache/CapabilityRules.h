#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace capability_query_if {

// The security-level rules of the capability cache, in file order.
//
// Format, one rule per line:  <IPv6 address or *> <port or *> <level>
// Fields are separated by blanks or tabs; '#' starts a comment that runs to the end of the
// line; blank lines are ignored. The level is a signed 8-bit number (-128..127). A line that
// is not a rule is reported as "<source>:<line>: ..." on the report stream and skipped.
//
// Immutable once built, so lookups need no lock.
class CapabilityRules {
public:
    CapabilityRules() = default;

    static CapabilityRules parse(std::istream& input, const std::string& source,
                                 std::ostream& report);
    // A file that cannot be opened is reported and gives no rules.
    static CapabilityRules load(const std::string& path, std::ostream& report);

    // The level of the first rule matching the address text and port; 0 when none matches.
    // An address text that is not IPv6 only matches '*' rules.
    int8_t securityLevel(const std::string& address, uint16_t port) const;

    size_t size() const { return rules_.size(); }

private:
    struct Rule {
        bool anyAddress;
        in6_addr address;
        bool anyPort;
        uint16_t port;
        int8_t level;
    };

    std::vector<Rule> rules_;
};

}  // namespace capability_query_if
