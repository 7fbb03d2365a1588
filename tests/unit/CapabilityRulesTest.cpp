#include "libs/capCache/CapabilityRules.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>

namespace {

using capability_query_if::CapabilityRules;

// A malformed line must be reported and skipped, never read as a rule, and the first match wins.
TEST(CapabilityRulesTest, RulesFileSkipsMalformedLinesAndTheFirstMatchWins) {
    std::istringstream input(
        "# comment\n"
        "\n"
        "2001:db8::1 443\n"          // 3: too few fields
        "2001:db8::1 443 1 extra\n"  // 4: too many
        "10.0.0.1 443 1\n"           // 5: IPv4
        "2001:db8::1 65536 1\n"      // 6: port out of range
        "2001:db8::1 44x 1\n"        // 7: trailing garbage
        "2001:db8::1 443 128\n"      // 8: level out of range
        "\t2001:db8::1\t443\t2\t# trailing comment\r\n"
        "2001:db8::1 * 1\n"
        "2001:db8::1 443 0\n"  // shadowed by the first valid line
        "* 8080 7#no blank before the comment\n"
        "2001:db8::3 80 -128");
    std::ostringstream out;
    const CapabilityRules rules = CapabilityRules::parse(input, "rules", out);
    const std::string report = out.str();
    for (int line = 3; line <= 8; ++line) {
        EXPECT_NE(report.find("rules:" + std::to_string(line) + ": "), std::string::npos) << report;
    }
    EXPECT_EQ(std::count(report.begin(), report.end(), '\n'), 6);
    EXPECT_EQ(rules.size(), 5u);
    EXPECT_EQ(rules.securityLevel("2001:db8::1", 443), 2);
    EXPECT_EQ(rules.securityLevel("2001:0db8:0:0:0:0:0:0001", 443), 2);  // compared as addresses
    EXPECT_EQ(rules.securityLevel("2001:db8::1", 8080), 1);
    EXPECT_EQ(rules.securityLevel("2001:db8::2", 8080), 7);
    EXPECT_EQ(rules.securityLevel("2001:db8::3", 80), -128);
}

}  // namespace
