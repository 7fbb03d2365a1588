#include <gtest/gtest.h>

#include <string>

#include "parser/RsiScan.h"

namespace {

struct Outcome {
    bool found;
    std::string value;
    uint64_t position;
};

Outcome scan(const std::string& message) {
    parser::RsiScan s;
    s.data = reinterpret_cast<const uint8_t*>(message.data());
    s.length = message.size();
    const bool found = parser::findRsiEvent(s);
    EXPECT_EQ(found, s.found);
    EXPECT_EQ(s.depth, 0u);
    if (found) {
        // A view into the message, between the quotes of the value.
        EXPECT_GT(s.value.data(), message.data());
        EXPECT_LE(s.value.data() + s.value.size(), message.data() + message.size());
    }
    return {found, std::string(s.value), s.position};
}

void expectEvent(const std::string& message, const std::string& value) {
    const Outcome o = scan(message);
    EXPECT_TRUE(o.found) << message;
    EXPECT_EQ(o.value, value) << message;
}

void expectFailure(const std::string& message, uint64_t position) {
    const Outcome o = scan(message);
    EXPECT_FALSE(o.found) << message;
    EXPECT_EQ(o.position, position) << message;
}

TEST(RsiScanTest, FindsTheEventAmongOtherMembers) {
    expectEvent(R"({"event":"/svc/res"})", "/svc/res");
    expectEvent(R"({"type":"x","event":"\/svc\/res","n":0})", R"(\/svc\/res)");
    expectEvent(R"({"type":"x","n":[1,{"a":null}],"event":"/svc/res"})", "/svc/res");
    expectEvent(R"({"event":"/a/b","type":"x"})", "/a/b");
    expectEvent(R"({"type":"x","event":"/a/b"})", "/a/b");
    expectEvent(R"({"a":{"b":[true,false,-1.5e3,"q\"}"]},"event":"/a/\"b"})", R"(/a/\"b)");
    expectEvent(" \t\r\n{ \"a\" :\n[ 1 , { } , [ ] ] ,\t\"event\" : \"/x/y\" }", "/x/y");
    // Nothing after the value is read.
    expectEvent(R"({"event":"/x/y")", "/x/y");
}

TEST(RsiScanTest, LenientWhereTheSkipperIsLenient) {
    expectEvent(R"({"a":[1,2,],"event":"/x/y"})", "/x/y");
    expectEvent(R"({"a":{"b":1,},"event":"/x/y"})", "/x/y");
    expectEvent(R"({"a":12abc,"event":"/x/y"})", "/x/y");
    expectFailure(R"({"a":nullx,"event":"/x/y"})", 9);
}

TEST(RsiScanTest, NestingLimit) {
    const std::string deep31 = std::string(31, '[') + std::string(31, ']');
    expectEvent(R"({"a":)" + deep31 + R"(,"event":"/x/y"})", "/x/y");
    const std::string deep32 = std::string(32, '[') + std::string(32, ']');
    expectFailure(R"({"a":)" + deep32 + R"(,"event":"/x/y"})", 5 + 31);
}

TEST(RsiScanTest, ReportsWhereItStopped) {
    const std::string typeOnly = R"({"type":"x"})";
    ASSERT_EQ(typeOnly.size(), 12u);
    expectFailure(typeOnly, 11);
    expectFailure(R"({"event":""})", 11);
    expectFailure(R"({"event":5})", 9);
    expectFailure(R"([{"event":"/x/y"}])", 0);
    expectFailure("  \n[]", 3);
    expectFailure(R"({"a":1,"b":)", 11);
    expectFailure(R"({"a":[1,"event":"/x/y"})", 15);
    expectFailure(R"({"a":@,"event":"/x/y"})", 5);
    // Running out of data is reported at the end: a message without event.
    expectFailure(R"({"a":1,)", 7);
    expectFailure(R"({"event":"/x/y)", 14);
    expectFailure(R"({"a":1)", 6);
    expectFailure("", 0);

    parser::RsiScan empty;
    EXPECT_FALSE(parser::findRsiEvent(empty));
}

}  // namespace
