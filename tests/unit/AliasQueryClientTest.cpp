#include "libs/aliasManager/AliasQueryClient.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using alias_manager::AliasQueryClient;
using alias_manager::AliasTable;
using Aliases = std::vector<std::string>;

class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/ap-aliases-XXXXXX";
        path_ = mkdtemp(pattern);
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    std::string write(const std::string& name, const std::string& content) const {
        const std::string file = path_ + "/" + name;
        std::ofstream(file) << content;
        return file;
    }

private:
    std::string path_;
};

class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = getenv(name)) {
            previous_ = old;
            hadValue_ = true;
        }
        value ? setenv(name, value, 1) : unsetenv(name);
    }
    ~ScopedEnv() { hadValue_ ? setenv(name_, previous_.c_str(), 1) : unsetenv(name_); }

private:
    const char* name_;
    std::string previous_;
    bool hadValue_ = false;
};

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
        "1001\n"                                   // 9: no alias
        "1001   # only a comment after the uid\n"  // 10: no alias either
        "1000 later\n"                             // 11: uid listed before
        "4294967294 edge#comment\r\n"
        "1002 solo",
        report);

    for (int line = 4; line <= 11; ++line) {
        EXPECT_NE(report.find("aliases:" + std::to_string(line) + ": "), std::string::npos)
            << "line " << line << " not reported:\n"
            << report;
    }
    EXPECT_EQ(std::count(report.begin(), report.end(), '\n'), 8);

    EXPECT_EQ(table.size(), 3u);
    ASSERT_NE(table.find(1000), nullptr);
    EXPECT_EQ(*table.find(1000), (Aliases{"first", "second", "third"}));
    ASSERT_NE(table.find(4294967294u), nullptr);
    EXPECT_EQ(*table.find(4294967294u), (Aliases{"edge"}));
    ASSERT_NE(table.find(1002), nullptr);
    EXPECT_EQ(*table.find(1002), (Aliases{"solo"}));
    EXPECT_EQ(table.find(1001), nullptr);
    EXPECT_EQ(table.find(12), nullptr);
}

TEST(AliasQueryClientTest, AnswersFromTableThenLoginNameThenNothing) {
    TempDir dir;
    const std::string path = dir.write("aliases.txt", "1000 app.one app.two\n7 daemon-alias\n");
    ScopedEnv env(AliasQueryClient::TABLE_VARIABLE, path.c_str());
    const AliasQueryClient client;

    // The output list is replaced, not appended to.
    Aliases aliases{"stale"};
    EXPECT_EQ(client.queryAliases(1000, 0, 1000, aliases), AliasQueryClient::STATUS_OK);
    EXPECT_EQ(aliases, (Aliases{"app.one", "app.two"}));

    // The table wins over the user database.
    EXPECT_EQ(client.queryAliases(7, 0, 7, aliases), AliasQueryClient::STATUS_OK);
    EXPECT_EQ(aliases, (Aliases{"daemon-alias"}));

    EXPECT_EQ(client.queryAliases(0, 0, 0, aliases), AliasQueryClient::STATUS_OK);
    EXPECT_EQ(aliases, (Aliases{"root"}));

    // A failed status read hands on -1 for both ids.
    aliases = {"stale"};
    EXPECT_EQ(client.queryAliases(0xFFFFFFFFu, 0, 0xFFFFFFFFu, aliases),
              AliasQueryClient::STATUS_INVALID_REQUEST);
    EXPECT_TRUE(aliases.empty());

    uint32_t unknown = 3999999999u;
    while (getpwuid(unknown) != nullptr) {
        --unknown;
    }
    aliases = {"stale"};
    EXPECT_EQ(client.queryAliases(unknown, 0, 0, aliases), AliasQueryClient::STATUS_OK);
    EXPECT_TRUE(aliases.empty());

    // The file was read at construction; editing it leaves this client as it was.
    dir.write("aliases.txt", "1000 changed\n");
    EXPECT_EQ(client.queryAliases(1000, 0, 1000, aliases), AliasQueryClient::STATUS_OK);
    EXPECT_EQ(aliases.front(), "app.one");
}

TEST(AliasQueryClientTest, FileProblemsAreReportedOnceAndNeverFatal) {
    TempDir dir;
    const std::string path = dir.write("aliases.txt", "1000 app\nnot-a-uid app\n");
    {
        ScopedEnv env(AliasQueryClient::TABLE_VARIABLE, path.c_str());
        testing::internal::CaptureStderr();
        const AliasQueryClient client;
        Aliases aliases;
        EXPECT_EQ(client.queryAliases(1000, 0, 0, aliases), AliasQueryClient::STATUS_OK);
        EXPECT_EQ(client.queryAliases(1000, 0, 0, aliases), AliasQueryClient::STATUS_OK);
        const std::string errors = testing::internal::GetCapturedStderr();
        EXPECT_NE(errors.find(path + ":2: "), std::string::npos) << errors;
        EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1);
        EXPECT_EQ(aliases, (Aliases{"app"}));
    }
    {
        ScopedEnv env(AliasQueryClient::TABLE_VARIABLE, (path + ".missing").c_str());
        testing::internal::CaptureStderr();
        const AliasQueryClient client;
        Aliases aliases;
        EXPECT_EQ(client.queryAliases(0, 0, 0, aliases), AliasQueryClient::STATUS_OK);
        const std::string errors = testing::internal::GetCapturedStderr();
        EXPECT_NE(errors.find(path + ".missing: "), std::string::npos) << errors;
        EXPECT_EQ(aliases, (Aliases{"root"}));
    }
    {
        ScopedEnv env(AliasQueryClient::TABLE_VARIABLE, nullptr);
        testing::internal::CaptureStderr();
        const AliasQueryClient client;
        Aliases aliases;
        EXPECT_EQ(client.queryAliases(0, 0, 0, aliases), AliasQueryClient::STATUS_OK);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(aliases, (Aliases{"root"}));
    }
}

}  // namespace
