#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "RecordingLogger.h"
#include "parser/UriParser.h"

namespace {

// The outputs start stale, so a failure must be seen to clear them.
std::tuple<bool, std::string, std::string> split(const std::string& uri) {
    std::string service = "stale";
    std::string resource = "stale";
    const bool ok = parser::parseUri(uri, service, resource);
    return {ok, service, resource};
}

TEST(UriParserTest, SplitsServiceAndResourceAlsoWithEscapedSlashes) {
    using Split = std::tuple<bool, std::string, std::string>;
    EXPECT_EQ(split("/svc/res/1"), Split(true, "svc", "res"));
    EXPECT_EQ(split("/svc?x=1"), Split(true, "svc", ""));
    EXPECT_EQ(split("/svc/res#a"), Split(true, "svc", "res"));
    EXPECT_EQ(split("/svc/res$e"), Split(true, "svc", "res"));
    EXPECT_EQ(split("/svc/res?a=/b"), Split(true, "svc", "res"));
    EXPECT_EQ(split("//x"), Split(true, "", "x"));
    EXPECT_EQ(split("\\/svc\\/res\\/1"), Split(true, "svc", "res"));
    EXPECT_EQ(split("/svc\\/res/1"), Split(true, "svc", "res"));
    EXPECT_EQ(split("\\/\\/x"), Split(true, "", "x"));
}

TEST(UriParserTest, RejectsShortOrUnanchoredTargets) {
    testing_support::RecordingLogger log;
    for (const std::string uri : {"/a", "", "\\/", "abc/d", " /a/b", "\\svc/res"}) {
        EXPECT_EQ(split(uri), std::make_tuple(false, std::string(), std::string())) << uri;
    }
    EXPECT_EQ(log.count("WARNING : Failed to parse URI, too short : /a"), 1u);
    EXPECT_EQ(log.count("Failed to parse URI, too short"), 3u);
    EXPECT_EQ(log.count("WARNING : Failed to parse URI, missing leading slash : abc/d"), 1u);
    EXPECT_EQ(log.count("Failed to parse URI, missing leading slash"), 3u);
}

}  // namespace
