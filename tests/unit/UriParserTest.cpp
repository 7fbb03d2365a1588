#include <gtest/gtest.h>

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

TEST(UriParserTest, SplitsServiceAndResourceOrWarns) {
    using Split = std::tuple<bool, std::string, std::string>;
    EXPECT_EQ(split("/svc/res/1"), Split(true, "svc", "res"));
    EXPECT_EQ(split("\\/svc\\/res\\/1"), Split(true, "svc", "res"));
    EXPECT_EQ(split("/svc?x=1"), Split(true, "svc", ""));
    EXPECT_EQ(split("/svc/res#a"), Split(true, "svc", "res"));
    EXPECT_EQ(split("/svc/res$e"), Split(true, "svc", "res"));
    EXPECT_EQ(split("//x"), Split(true, "", "x"));
    testing_support::RecordingLogger log;
    for (const std::string uri : {"/a", "\\/", "abc/d", "\\svc/res"}) {
        EXPECT_EQ(split(uri), Split(false, "", "")) << uri;
    }
    EXPECT_EQ(log.texts(),
              (std::vector<std::string>{
                  "[FP] : WARNING : Failed to parse URI, too short : /a",
                  "[FP] : WARNING : Failed to parse URI, too short : \\/",
                  "[FP] : WARNING : Failed to parse URI, missing leading slash : abc/d",
                  "[FP] : WARNING : Failed to parse URI, missing leading slash : \\svc/res"}));
}

}  // namespace
