#include <gtest/gtest.h>

#include <string>

#include "RecordingLogger.h"
#include "parser/UriParser.h"

namespace {

struct Split {
    bool ok;
    std::string service;
    std::string resource;
};

Split split(const std::string& uri) {
    Split s{false, "stale", "stale"};
    s.ok = parser::parseUri(uri, s.service, s.resource);
    return s;
}

void expectSplit(const std::string& uri, const std::string& service, const std::string& resource) {
    const Split s = split(uri);
    EXPECT_TRUE(s.ok) << uri;
    EXPECT_EQ(s.service, service) << uri;
    EXPECT_EQ(s.resource, resource) << uri;
}

TEST(UriParserTest, SplitsServiceAndResource) {
    expectSplit("/svc/res/1", "svc", "res");
    expectSplit("/svc/res", "svc", "res");
    expectSplit("/svc?x=1", "svc", "");
    expectSplit("/svc", "svc", "");
    expectSplit("/svc/res#a", "svc", "res");
    expectSplit("/svc/res$e", "svc", "res");
    expectSplit("/svc/res?a=/b", "svc", "res");
    expectSplit("//x", "", "x");
    expectSplit("/svc/", "svc", "");
}

TEST(UriParserTest, AcceptsEscapedSlashes) {
    expectSplit("\\/svc\\/res", "svc", "res");
    expectSplit("\\/svc\\/res\\/1", "svc", "res");
    expectSplit("/svc\\/res/1", "svc", "res");
    expectSplit("\\/svc#x", "svc", "");
    expectSplit("\\/\\/x", "", "x");
}

TEST(UriParserTest, RejectsShortOrUnanchoredTargets) {
    testing_support::RecordingLogger log;
    for (const std::string uri : {"/a", "", "\\/"}) {
        const Split s = split(uri);
        EXPECT_FALSE(s.ok) << uri;
        EXPECT_TRUE(s.service.empty() && s.resource.empty()) << uri;
    }
    EXPECT_EQ(log.count("WARNING : Failed to parse URI, too short : /a"), 1u);
    EXPECT_EQ(log.count("Failed to parse URI, too short"), 3u);

    for (const std::string uri : {"abc/d", " /a/b", "\\svc/res"}) {
        const Split s = split(uri);
        EXPECT_FALSE(s.ok) << uri;
        EXPECT_TRUE(s.service.empty() && s.resource.empty()) << uri;
    }
    EXPECT_EQ(log.count("WARNING : Failed to parse URI, missing leading slash : abc/d"), 1u);
    EXPECT_EQ(log.count("Failed to parse URI, missing leading slash"), 3u);
}

}  // namespace
