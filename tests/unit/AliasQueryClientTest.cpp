#include "libs/aliasManager/AliasQueryClient.h"

#include <gtest/gtest.h>
#include <pwd.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace {

using alias_manager::AliasQueryClient;
using alias_manager::AliasTable;
using Aliases = std::vector<std::string>;

AliasTable parse(const std::string& text, std::string& report) {
    std::istringstream input(text);
    std::ostringstream out;
    AliasTable table = AliasTable::parse(input, "aliases", out);
    report = out.str();
    return table;
}

TEST(AliasQueryClientTest, TableKeepsAliasesInOrderAndSkipsMalformedLines) {
    std::string report;
    const AliasTable table = parse(
        "# uid aliases\n"
        "\n"
        "1000 first second\tthird # trailing comment\n"
        "abc app\n"                                // 4: not a number
        "-5 app\n"                                 // 5: negative
        "4294967295 app\n"                         // 6: the invalid uid
        "4294967296 app\n"                         // 7: beyond 32 bits
        "12x app\n"                                // 8: trailing garbage
        "1001   # only a comment after the uid\n"  // 9: no alias
        "1000 later\n"                             // 10: uid listed before
        "4294967294 edge#comment\r\n"
        "1002 solo",
        report);
    for (int line = 4; line <= 10; ++line) {
        EXPECT_NE(report.find("aliases:" + std::to_string(line) + ": "), std::string::npos)
            << "line " << line << " not reported:\n"
            << report;
    }
    EXPECT_EQ(std::count(report.begin(), report.end(), '\n'), 7);
    EXPECT_EQ(table.size(), 3u);
    for (const auto& [uid, aliases] : std::vector<std::pair<uint32_t, Aliases>>{
             {1000, {"first", "second", "third"}}, {4294967294u, {"edge"}}, {1002, {"solo"}}}) {
        ASSERT_NE(table.find(uid), nullptr) << uid;
        EXPECT_EQ(*table.find(uid), aliases) << uid;
    }
}

TEST(AliasQueryClientTest, AnswersFromTableThenLoginNameThenNothing) {
    std::string report;
    const AliasQueryClient client(parse("1000 app.one app.two\n7 daemon-alias\n", report));
    uint32_t unknown = 3999999999u;
    while (getpwuid(unknown) != nullptr) {
        --unknown;
    }
    // Each answer replaces the list; the table wins over the user database (uid 7 has a login).
    for (const auto& [uid, status, expected] : std::vector<std::tuple<uint32_t, int, Aliases>>{
             {1000, AliasQueryClient::STATUS_OK, {"app.one", "app.two"}},
             {7, AliasQueryClient::STATUS_OK, {"daemon-alias"}},
             {0, AliasQueryClient::STATUS_OK, {"root"}},
             {unknown, AliasQueryClient::STATUS_OK, {}},
             // A failed status read hands on -1 for both ids.
             {0xFFFFFFFFu, AliasQueryClient::STATUS_INVALID_REQUEST, {}}}) {
        Aliases aliases{"stale"};
        EXPECT_EQ(client.queryAliases(uid, 0, uid, aliases), status) << uid;
        EXPECT_EQ(aliases, expected) << uid;
    }
}

}  // namespace
