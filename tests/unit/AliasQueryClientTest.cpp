#include "libs/aliasManager/AliasQueryClient.h"

#include <gtest/gtest.h>
#include <pwd.h>

#include <algorithm>

namespace {

using alias_manager::AliasQueryClient;

TEST(AliasQueryClientTest, AnswersFromTheTableThenByLoginNameThenNothing) {
    std::istringstream input(
        "# uid aliases\n"
        "\n"
        "1000 first second\tthird # trailing comment\n"
        "abc app\n"                                // 4: not a number
        "4294967295 app\n"                         // 5: the invalid uid
        "4294967296 app\n"                         // 6: beyond 32 bits
        "1001   # only a comment after the uid\n"  // 7: no alias
        "1000 later\n"                             // 8: uid listed before
        "4294967294 edge#comment\r\n"
        "1002 solo");
    std::ostringstream out;
    alias_manager::AliasTable table = alias_manager::AliasTable::parse(input, "aliases", out);
    const std::string report = out.str();
    for (int line = 4; line <= 8; ++line) {
        EXPECT_NE(report.find("aliases:" + std::to_string(line) + ": "), std::string::npos)
            << report;
    }
    EXPECT_EQ(std::count(report.begin(), report.end(), '\n'), 5);
    EXPECT_EQ(table.size(), 3u);

    const AliasQueryClient client(std::move(table));
    uint32_t unknown = 3999999999u;
    while (getpwuid(unknown) != nullptr) {
        --unknown;
    }
    for (const auto& [uid, status, expected] :
         std::vector<std::tuple<uint32_t, int, std::vector<std::string>>>{
             {1000, AliasQueryClient::STATUS_OK, {"first", "second", "third"}},
             {4294967294u, AliasQueryClient::STATUS_OK, {"edge"}},
             {1002, AliasQueryClient::STATUS_OK, {"solo"}},
             {0, AliasQueryClient::STATUS_OK, {"root"}},
             {unknown, AliasQueryClient::STATUS_OK, {}},
             // A failed status read hands on -1 for both ids.
             {0xFFFFFFFFu, AliasQueryClient::STATUS_INVALID_REQUEST, {}}}) {
        std::vector<std::string> aliases{"stale"};  // each answer replaces the list
        EXPECT_EQ(client.queryAliases(uid, 0, uid, aliases), status) << uid;
        EXPECT_EQ(aliases, expected) << uid;
    }
}

}  // namespace
