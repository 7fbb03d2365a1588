#include <gtest/gtest.h>

#include "parser/RsiScan.h"

namespace {

parser::RsiScan scan(const std::string& message) {
    parser::RsiScan s;
    s.data = reinterpret_cast<const uint8_t*>(message.data());
    s.length = message.size();
    EXPECT_EQ(parser::findRsiEvent(s), s.found);
    EXPECT_EQ(s.depth, 0u);
    return s;
}

std::string nestedBeforeEvent(size_t depth) {
    return R"({"a":)" + std::string(depth, '[') + std::string(depth, ']') + R"(,"event":"/x/y"})";
}

TEST(RsiScanTest, FindsTheEventWhereverItStands) {
    for (const auto& [message, value] : std::vector<std::pair<std::string, std::string>>{
             {R"({"type":"x","event":"\/svc\/res","n":0})", R"(\/svc\/res)"},
             {R"({"type":"x","n":[1,{"a":null}],"event":"/svc/res"})", "/svc/res"},
             {R"({"event":"/a/b","type":"x"})", "/a/b"},
             // A quote after an escaped backslash ends the string; an escaped quote does not.
             {R"({"a":"x\\","b":"\\\"","event":"/x/y\\"})", R"(/x/y\\)"},
             {R"({"a":"\"}\"","event":"/x/y"})", "/x/y"},
             // Lenient where the skipper is lenient.
             {R"({"a":[1,2,],"event":"/x/y"})", "/x/y"},
             {R"({"a":12abc,"event":"/x/y"})", "/x/y"},
             {nestedBeforeEvent(31), "/x/y"}}) {
        const parser::RsiScan s = scan(message);
        EXPECT_TRUE(s.found) << message;
        EXPECT_EQ(s.value, value) << message;
    }
}

TEST(RsiScanTest, ReportsWhereItStopped) {
    for (const auto& [message, position] : std::vector<std::pair<std::string, uint64_t>>{
             {R"({"type":"x"})", 11},  // 12 bytes: the position stays below the length
             {R"({"a":nullx,"event":"/x/y"})", 9},
             {nestedBeforeEvent(32), 5 + 31},
             {R"([{"event":"/x/y"}])", 0},  // not an object
             {R"({"event":"/x/y)", 14},     // running out of data is reported at the end
             // A second event, or a name whose escapes may spell one, could be the one a server
             // acts on: the message is refused where it stands.
             {R"({"event":"/a/b","x":1,"event":"/c/d"})", 29},
             {R"({"\u0065vent":"/c/d","event":"/a/b"})", 13},
             {R"({"event":"/a/b","\u0065vent":"/c/d"})", 28}}) {
        const parser::RsiScan s = scan(message);
        EXPECT_FALSE(s.found) << message;
        EXPECT_EQ(s.position, position) << message;
    }
}

}  // namespace
