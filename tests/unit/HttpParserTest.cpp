#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "parser/HttpParser.h"

namespace {

using parser::ParseResult;
using enum parser::ParseStatus;

// Parses the bytes from offset on and checks what holds for every result: nothing reported lies
// outside the bytes handed over.
void parseAt(ParseResult& r, const std::string& text, size_t offset = 0) {
    const uint32_t length = static_cast<uint32_t>(text.size() - offset);
    parser::parseHttpRequest(r, reinterpret_cast<const uint8_t*>(text.data()) + offset, length);
    EXPECT_LE(r.overhead, length);
    if (r.bodyStart != 0 || r.bodyEnd != 0) {
        EXPECT_LE(r.bodyStart, r.bodyEnd);
        // A body still arriving ends at the buffer length, as callers expect; a whole one inside.
        EXPECT_TRUE(r.status == BodyIncomplete ? r.bodyEnd == length : r.bodyEnd < length);
    }
    EXPECT_EQ(r.missingBytes != 0, r.status == BodyIncomplete);
}

ParseResult parse(const std::string& text) {
    ParseResult r;
    parseAt(r, text);
    return r;
}

const std::string kGet = "GET /a/b HTTP/1.1\r\nHost: h\r\n\r\n";                              // 30
const std::string kPostHead = "POST /s/r HTTP/1.1\r\nContent-Length: 10\r\n\r\n";             // 42
const std::string kChunkedHead = "POST /c/d HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";  // 50
const std::string kChunked = kChunkedHead + "4\r\nabcd\r\n0\r\n\r\n";

struct Case {
    std::string text;
    parser::ParseStatus status;
    const char* uri = nullptr;  // not checked when null
    size_t overhead = 0;        // Incomplete always reports the whole buffer
    size_t bodyStart = 0;
    size_t bodyEnd = 0;
    uint32_t missing = 0;
};

TEST(HttpParserTest, StatusOverheadAndBodyBounds) {
    const size_t P = kPostHead.size();
    const size_t C = kChunkedHead.size();
    const auto withLength = [](const std::string& value, const std::string& rest) {
        return "POST /s/r HTTP/1.1\r\ncontent-LENGTH: " + value + "\r\n\r\n" + rest;
    };
    const std::string twenty(20, 'x');
    const std::string next = "0123456789" + kGet;  // 40 bytes left after a refused length
    const std::vector<Case> cases = {
        {"GET / HTTP/1.1\r\n\r\n", Complete, "/"},
        {"GET / HTTP/1.1\r\n\r", Incomplete},
        {"GET /svc/res HTTP/1.1\r\nHost: abcdefg\r\n\r\n" + kGet, Complete, "/svc/res", 30},
        {kPostHead + "abcd", BodyIncomplete, "/s/r", 0, P, P + 4, 6},
        // Lengths are read as strtol reads them with base 0.
        {withLength("010", twenty), Complete, nullptr, 12, 43, 50},
        {withLength("0x10", twenty), Complete, nullptr, 4, 44, 59},
        {"GET /x HTTP/2.0\r\n\r\n", Invalid, "/x"},
        // The target is collected from the method's length counted from the buffer start.
        {"xyGET /a HTTP/1.1\r\n\r\n", Complete, " /a"},
        {kChunked, Complete, "/c/d", 0, C, C + 8},
        // Header area alone, or a whole chunk but no last one: complete, without body bounds.
        {kChunkedHead, Complete},
        {kChunkedHead + "4\r\nabcd\r\n", Complete},
        {kChunkedHead + "4\r\nabcd\r\n0\r\n", Incomplete},
        {kChunkedHead + "4\r\nab", Incomplete},
        // Hostile lengths end the request with its header area; the rest is parsed anew.
        {withLength("-5", next), Invalid, nullptr, 40},
        {withLength("4294967306", next), Invalid, nullptr, 40},
        {withLength("18446744073709551626", next), Invalid, nullptr, 40},  // wraps 64 bits
        {withLength("2147483647", "ab"), BodyIncomplete, nullptr, 0, 50, 52, 2147483645},
        {kChunkedHead + "-4\r\nabcd\r\n0\r\n\r\n", Invalid},
        {kChunkedHead + "ffffffffff\r\nabcd\r\n0\r\n\r\n", Invalid},
        // Size lines cut by the end of the buffer.
        {kChunkedHead + "1f", Incomplete},
        {kChunkedHead + " 0x", Incomplete},
        // Both framings are refused, but the chunks still delimit the request.
        {"POST /c/d HTTP/1.1\r\nContent-Length: 50\r\nTransfer-Encoding: chunked\r\n\r\n"
         "4\r\nabcd\r\n0\r\n\r\n" +
             kGet,
         Invalid, nullptr, 30, 70, 78},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const ParseResult r = parse(c.text);
        EXPECT_EQ(r.status, c.status);
        if (c.uri != nullptr) {
            EXPECT_EQ(r.uri, c.uri);
        }
        EXPECT_EQ(r.overhead, c.status == Incomplete ? c.text.size() : c.overhead);
        EXPECT_EQ(r.bodyStart, c.bodyStart);
        EXPECT_EQ(r.bodyEnd, c.bodyEnd);
        EXPECT_EQ(r.missingBytes, c.missing);
    }
}

TEST(HttpParserTest, UpgradeFlagInAnyLetterCase) {
    for (const std::string value : {"websocket", "WebSocket", "WEBSOCKET", "websockets"}) {
        const ParseResult r = parse("GET /s/r HTTP/1.1\r\nUpgrade: " + value + "\r\n\r\n");
        EXPECT_EQ(r.upgradeRequested, value != "websockets") << value;
    }
}

// Reads as the connection does, in two reads: an incomplete request waits for the next read, a
// body still arriving is passed through, and the overhead is parsed as the next request.
std::vector<std::string> readMessages(const std::string& stream, size_t split) {
    std::vector<std::string> messages;
    ParseResult r;
    size_t start = 0;  // the first byte neither parsed nor passed through
    for (const size_t end : {split, stream.size()}) {
        while (start < end) {
            parseAt(r, stream.substr(0, end), start);
            if (r.status == Incomplete) {
                break;
            }
            messages.push_back(r.method + " " + r.uri);
            const size_t next =
                r.status == BodyIncomplete ? end + r.missingBytes : end - r.overhead;
            EXPECT_GT(next, start) << "no progress";
            start = std::max(next, start + 1);
        }
    }
    return messages;
}

TEST(HttpParserTest, EverySplitYieldsTheSameRequests) {
    // The chunked request goes last: a split right after its header area is reported complete,
    // and its chunks then arrive as bytes without a method.
    const std::string stream = kGet + kPostHead + "0123456789" + kGet + kChunked;
    for (size_t split = 1; split <= stream.size(); ++split) {
        EXPECT_EQ(readMessages(stream, split),
                  std::vector<std::string>({"GET /a/b", "POST /s/r", "GET /a/b", "POST /c/d"}))
            << "split at " << split;
    }
}

}  // namespace
