#include "access/CapabilityQueries.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "RecordingLogger.h"
#include "libs/capCache/CapabilityQuery.h"
#include "libs/capCache/CapabilityRules.h"

namespace {

using capability_query_if::CapabilityQuery;
using capability_query_if::CapabilityRules;
using capability_query_if::QueryAction;
using capability_query_if::QueryAnswer;
using capability_query_if::QueryService;

// A private directory for rules files, removed with everything in it.
class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/ap-capabilities-XXXXXX";
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

// Sets an environment variable for one scope and restores the previous state.
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

class CountingCallback : public capability_query_if::IResponseCallback {
public:
    void response(bool) override { ++responses; }
    int responses = 0;
};

CapabilityRules parse(const std::string& text, std::string& report) {
    std::istringstream input(text);
    std::ostringstream out;
    CapabilityRules rules = CapabilityRules::parse(input, "rules", out);
    report = out.str();
    return rules;
}

TEST(CapabilityQueryTest, MalformedRulesAreReportedByLineAndSkipped) {
    std::string report;
    const CapabilityRules rules = parse(
        "2001:db8::1 443\n"          // 1: too few fields
        "2001:db8::1 443 1 extra\n"  // 2: too many
        "10.0.0.1 443 1\n"           // 3: IPv4 is not accepted
        "[2001:db8::1] 443 1\n"      // 4: no brackets
        "2001:db8::1 65536 1\n"      // 5: port out of range
        "2001:db8::1 -1 1\n"         // 6: negative port
        "2001:db8::1 44x 1\n"        // 7: trailing garbage in the port
        "2001:db8::1 443 128\n"      // 8: level out of range
        "2001:db8::1 443 -129\n"     // 9: level out of range
        "2001:db8::1 443 high\n"     // 10: level not a number
        "2001:db8::1 443 +1\n"       // 11: no sign but minus
        "2001:db8::1 443 2 # ok\n"   // 12: valid, after all the bad ones
        "* * -128\n",                // 13: valid
        report);

    EXPECT_EQ(rules.size(), 2u);
    for (int line = 1; line <= 11; ++line) {
        EXPECT_NE(report.find("rules:" + std::to_string(line) + ": "), std::string::npos)
            << "line " << line << " not reported:\n"
            << report;
    }
    EXPECT_EQ(report.find("rules:12:"), std::string::npos);
    EXPECT_EQ(report.find("rules:13:"), std::string::npos);
    EXPECT_EQ(std::count(report.begin(), report.end(), '\n'), 11);
    // The bad lines did not leave partial rules behind.
    EXPECT_EQ(rules.securityLevel("2001:db8::1", 443), 2);
    EXPECT_EQ(rules.securityLevel("2001:db8::1", 444), -128);
}

TEST(CapabilityQueryTest, CommentsBlanksAndLineEndsAreIgnored) {
    std::string report;
    const CapabilityRules rules = parse(
        "# whole-line comment\n"
        "\n"
        "   \t \n"
        "\t2001:db8::1\t443\t1\t# trailing comment\r\n"
        "   # indented comment with 2001:db8::2 80 2\n"
        "2001:db8::3 80 2#no blank before the comment\n"
        "2001:db8::4 80 7",  // undetermined level, last line without a line feed
        report);
    EXPECT_EQ(report, "");
    EXPECT_EQ(rules.size(), 3u);
    EXPECT_EQ(rules.securityLevel("2001:db8::1", 443), 1);
    EXPECT_EQ(rules.securityLevel("2001:db8::2", 80), 0);
    EXPECT_EQ(rules.securityLevel("2001:db8::3", 80), 2);
    EXPECT_EQ(rules.securityLevel("2001:db8::4", 80), 7);
}

TEST(CapabilityQueryTest, FirstMatchingRuleWinsWithWildcards) {
    std::string report;
    const CapabilityRules rules = parse(
        "2001:db8::1 443 2\n"
        "2001:db8::1 * 1\n"
        "2001:db8::1 443 0\n"  // shadowed by the first line
        "* 8080 7\n"
        "* * 1\n",
        report);
    ASSERT_EQ(report, "");
    EXPECT_EQ(rules.securityLevel("2001:db8::1", 443), 2);
    // Addresses compare as addresses, not as text.
    EXPECT_EQ(rules.securityLevel("2001:0db8:0:0:0:0:0:0001", 443), 2);
    EXPECT_EQ(rules.securityLevel("2001:db8::1", 80), 1);
    EXPECT_EQ(rules.securityLevel("2001:db8::1", 8080), 1);
    EXPECT_EQ(rules.securityLevel("2001:db8::2", 8080), 7);
    EXPECT_EQ(rules.securityLevel("2001:db8::2", 80), 1);
    // Text that is no address only meets the wildcard rules.
    EXPECT_EQ(rules.securityLevel("not-an-address", 8080), 7);

    const CapabilityRules narrow = parse("2001:db8::1 443 2\n", report);
    EXPECT_EQ(narrow.securityLevel("2001:db8::1", 444), 0);
    EXPECT_EQ(narrow.securityLevel("2001:db8::2", 443), 0);
    EXPECT_EQ(CapabilityRules().securityLevel("2001:db8::1", 443), 0);
}

TEST(CapabilityQueryTest, ClientReadsTheFileNamedByTheEnvironmentOnce) {
    TempDir dir;
    const std::string path = dir.write("rules.txt", "::1 443 2\nbroken line\n");
    {
        ScopedEnv env(CapabilityQuery::RULES_VARIABLE, path.c_str());
        testing::internal::CaptureStderr();
        CapabilityQuery query;
        const std::string errors = testing::internal::GetCapturedStderr();
        EXPECT_NE(errors.find(path + ":2: "), std::string::npos) << errors;
        EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1);

        dir.write("rules.txt", "::1 443 1\n");
        EXPECT_EQ(query.securityLevel(QueryService("::1", "", "", 443)), 2);
        EXPECT_EQ(query.securityLevel(QueryService("::1", "", "", 80)), 0);
    }
    {
        ScopedEnv env(CapabilityQuery::RULES_VARIABLE, (path + ".missing").c_str());
        testing::internal::CaptureStderr();
        CapabilityQuery query;
        const std::string errors = testing::internal::GetCapturedStderr();
        EXPECT_NE(errors.find(path + ".missing: "), std::string::npos) << errors;
        EXPECT_EQ(query.securityLevel(QueryService("::1", "", "", 443)), 0);
    }
    {
        ScopedEnv env(CapabilityQuery::RULES_VARIABLE, nullptr);
        testing::internal::CaptureStderr();
        CapabilityQuery query;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(query.securityLevel(QueryService("::1", "", "", 443)), 0);
    }
}

TEST(CapabilityQueryTest, LibraryAnswersActionsAndServicesAtOnce) {
    CapabilityQuery query{CapabilityRules()};
    CountingCallback callback;
    const QueryAnswer action = query.queryAction(
        std::make_shared<QueryAction>("app", "Pelo", "svc", "/r", "GET"), &callback);
    EXPECT_TRUE(action.available);
    EXPECT_EQ(action.status, QueryAnswer::STATUS_ALLOWED);
    const QueryAnswer service =
        query.queryService(std::make_shared<QueryService>("::1", "Pelo", "svc", 80), &callback);
    EXPECT_TRUE(service.available);
    EXPECT_EQ(service.status, QueryAnswer::STATUS_ALLOWED);
    // Nothing is ever pending, so a poll is no valid question.
    EXPECT_FALSE(query.queryAction(nullptr, &callback).available);
    EXPECT_EQ(query.queryService(nullptr, &callback).status, QueryAnswer::STATUS_INVALID_QUERY);
    EXPECT_EQ(callback.responses, 0);
}

// The only test in this binary that touches the process-wide client, so its first use here
// decides which file it reads.
TEST(CapabilityQueryTest, QuerySecurityLevelUsesOneClientFromTheEnvironment) {
    TempDir dir;
    const std::string path = dir.write("rules.txt", "2001:db8::1 443 2\n* 443 1\n");
    testing_support::RecordingLogger logger(utils::logging::Debug);
    {
        ScopedEnv env(CapabilityQuery::RULES_VARIABLE, path.c_str());
        QueryService request("2001:db8::1", "", "", 443);
        EXPECT_EQ(ccc::querySecurityLevel(request), 2);
    }
    EXPECT_EQ(logger.count("Querying security level : address : 2001:db8::1 : protocol :  : "
                           "service :  : port : 443"),
              1u);
    // Later changes to the environment do not make a second client.
    ScopedEnv env(CapabilityQuery::RULES_VARIABLE, nullptr);
    QueryService other("2001:db8::2", "", "", 443);
    EXPECT_EQ(ccc::querySecurityLevel(other), 1);
    other.port = 80;
    EXPECT_EQ(ccc::querySecurityLevel(other), 0);
    EXPECT_EQ(logger.count("Querying security level"), 3u);
}

TEST(CapabilityQueryTest, ActionAndServiceQueriesFollowTheBuildSetting) {
    CountingCallback callback;
    auto action = std::make_shared<QueryAction>("app", "Pelo", "svc", "/r", "GET");
    auto service = std::make_shared<QueryService>("::1", "Pelo", "svc", 80);
    const QueryAnswer started = ccc::queryAction(action, &callback);
    EXPECT_TRUE(started.available);
    EXPECT_EQ(started.status, QueryAnswer::STATUS_ALLOWED);
    EXPECT_TRUE(ccc::queryService(service, &callback).available);
#if defined(ENABLE_ACTION_AND_SERVICE_OFFERING_QUERIES) && \
    ENABLE_ACTION_AND_SERVICE_OFFERING_QUERIES
    EXPECT_FALSE(ccc::queryAction(nullptr, &callback).available);
#else
    // Off: every question, even a poll without a record, is allowed at once.
    for (const QueryAnswer& answer :
         {ccc::queryAction(nullptr, &callback), ccc::queryService(nullptr, nullptr),
          ccc::queryService(service, nullptr)}) {
        EXPECT_TRUE(answer.available);
        EXPECT_EQ(answer.status, QueryAnswer::STATUS_ALLOWED);
    }
#endif
    EXPECT_EQ(callback.responses, 0);
}

}  // namespace
