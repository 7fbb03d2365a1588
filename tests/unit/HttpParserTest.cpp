#include <gtest/gtest.h>

#include "parser/HttpParser.h"

namespace {

using parser::ParseResult;
using enum parser::ParseStatus;

// Parses the bytes and checks what holds for every result: nothing reported lies outside the
// bytes handed over, and a framing error leaves nothing to go on with.
ParseResult parse(const std::string& text) {
    ParseResult r;
    const uint32_t length = static_cast<uint32_t>(text.size());
    parser::parseHttpRequest(r, reinterpret_cast<const uint8_t*>(text.data()), length);
    EXPECT_LE(r.overhead, length);
    EXPECT_LE(r.bodyStart, r.bodyEnd);
    EXPECT_LE(r.bodyEnd, length);
    if (r.framingError) {
        EXPECT_EQ(r.status, Invalid);
        EXPECT_EQ(r.overhead + r.bodyEnd + r.missingBytes, 0u);
        EXPECT_FALSE(r.upgradeRequested || r.chunked);
    }
    return r;
}

const std::string kGet = "GET /a/b HTTP/1.1\r\nHost: h\r\n\r\n";                              // 30
const std::string kPostHead = "POST /s/r HTTP/1.1\r\nContent-Length: 10\r\n\r\n";             // 42
const std::string kChunkedHead = "POST /c/d HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";  // 50
const std::string kChunks = "4\r\nabcd\r\n0\r\n\r\n";                                         // 14

struct Case {
    std::string text;
    parser::ParseStatus status;
    const char* uri = nullptr;  // not checked when null
    size_t overhead = 0;        // Incomplete always reports the whole buffer
    size_t bodyStart = 0, bodyEnd = 0;
    uint64_t missing = 0;
};

// A wrong overhead or body bound makes the connection forward unchecked bytes or wait for bytes
// that never come.
TEST(HttpParserTest, StatusOverheadAndBodyBounds) {
    const size_t P = kPostHead.size();
    const size_t C = kChunkedHead.size();
    const std::string ten(10, 'x');
    // A head of 64 bytes whose length field has the value given (padded with blanks).
    const auto withLength = [](const std::string& value, const std::string& rest = "") {
        const std::string head = "POST /s/r HTTP/1.1\r\ncontent-LENGTH:" + value;
        return head + std::string(60 - head.size(), ' ') + "\r\n\r\n" + rest;
    };
    const auto chunkedWith = [](const std::string& fields, const std::string& rest) {
        return "PUT /c/d HTTP/1.1\r\n" + fields + "\r\n\r\n" + rest;
    };
    const std::vector<Case> cases = {
        {"GET / HTTP/1.1\r\n\r\n", Complete, "/"},
        {"GET / HTTP/1.1\r\n\r", Incomplete},
        {"GET /svc/res HTTP/1.1\r\nHost: abcdefg\r\n\r\n" + kGet, Complete, "/svc/res", 30},
        {"HEAD /x?a=%20 HTTP/1.0\r\nX-Content-Length: 24\r\nA: \x80\tb\r\n\r\n" + kGet, Complete,
         "/x?a=%20", 30},
        {kPostHead + "abcd", BodyIncomplete, "/s/r", 0, P, P + 4, 6},
        {kPostHead, BodyIncomplete, "/s/r", 0, P, P, 10},
        // Decimal whatever the leading zeros; repeats of one value are fine.
        {withLength(" 010", ten + kGet), Complete, nullptr, 30, 64, 73},
        {withLength("10\r\nContent-Length:\t0010", ten), Complete, nullptr, 0, 64, 73},
        {withLength("4611686018427387904", "ab"), BodyIncomplete, nullptr, 0, 64, 66,
         (uint64_t{1} << 62) - 2},
        // Another major version is refused, but its body is still delimited.
        {"GET /x HTTP/2.0\r\n\r\n" + kGet, Invalid, "/x", 30},
        {"POST /x HTTP/2.0\r\nContent-Length: 10\r\n\r\nabc", Invalid, "/x", 0, 40, 43, 7},
        // The target is collected from the blank after a method found behind leading bytes.
        {"xyGET /a HTTP/1.1\r\n\r\n", Complete, " /a"},
        {kChunkedHead + kChunks + kGet, Complete, "/c/d", 30, C, C + 13},
        {chunkedWith("Transfer-Encoding: gzip , CHUNKED ", kChunks), Complete, nullptr, 0, 57, 70},
        {chunkedWith("Transfer-Encoding: gzip\r\ntransfer-encoding: chunked", kChunks), Complete,
         nullptr, 0, 74, 87},
        // A chunked body that has not ended: no count, the decoder goes on with the next read.
        {kChunkedHead, BodyIncomplete, "/c/d", 0, C, C},
        {kChunkedHead + "4\r\nabcd\r\n0\r\n", BodyIncomplete, nullptr, 0, C, C + 12},
        {"PUT /c/d HTTP/3.0\r\nTransfer-Encoding: chunked\r\n\r\n" + kChunks + "x", Invalid,
         nullptr, 1, 49, 62},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const ParseResult r = parse(c.text);
        EXPECT_EQ(r.status, c.status);
        EXPECT_FALSE(r.framingError);
        if (c.uri != nullptr) {
            EXPECT_EQ(r.uri, c.uri);
        }
        EXPECT_EQ(r.overhead, c.status == Incomplete ? c.text.size() : c.overhead);
        EXPECT_EQ(r.bodyStart, c.bodyStart);
        EXPECT_EQ(r.bodyEnd, c.bodyEnd);
        EXPECT_EQ(r.missingBytes, c.missing);
    }
}

// A request whose end the server might see elsewhere could smuggle an unchecked request.
TEST(HttpParserTest, AmbiguousFramingIsRefused) {
    const auto fields = [](const std::string& lines, const std::string& body = "abcd") {
        return "POST /s/r HTTP/1.1\r\nHost: h\r\n" + lines + "\r\n\r\n" + body + kGet;
    };
    const std::vector<std::string> groups[] = {
        // Content-Length other than plain decimal digits, or twice with two values.
        {fields("Content-Length: +4"), fields("Content-Length: -4"), fields("Content-Length: 0x4"),
         fields("Content-Length: 4a"), fields("Content-Length: 4 4"), fields("Content-Length:"),
         fields("Content-Length: 4, 4"), fields("Content-Length: 4611686018427387905"),
         fields("Content-Length: 18446744073709551620"),
         fields("Content-Length: 4\r\nContent-Length: 5")},
        // Transfer codings that do not end in chunked exactly once, or come with a length.
        {fields("Transfer-Encoding: xchunked"), fields("Transfer-Encoding: chunked, identity"),
         fields("Transfer-Encoding: identity"), fields("Transfer-Encoding: "),
         fields("Transfer-Encoding: chunked, chunked"), fields("Transfer-Encoding: ,chunked"),
         fields("Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked"),
         fields("Transfer-Encoding: chunked;q=1"), fields("Transfer-Encoding: \"chunked\""),
         fields("Transfer-Encoding: chunked\r\nContent-Length: 4")},
        // Field lines: blanks before the colon, folding, no colon, odd names, controls, line ends.
        {fields("Transfer-Encoding : chunked"), fields("Content-Length\t: 4"),
         fields(" Transfer-Encoding: chunked"), fields("X: a\r\n\tb"), fields("Content-Length 4"),
         fields(": 4"), fields("Con(tent-Length: 4"), fields("A: a\x01z"), fields("A: a\x7fz"),
         fields("A: a\n"), fields("A: a\rb"), fields(std::string("A: a\0z", 6))},
        // Request lines that are not METHOD SP visible-target SP HTTP/d.d CR LF, other line ends,
        // a chunked body where it cannot be, chunks the decoder refuses.
        {"GET / HTTP/1.1\nHost: h\r\n\r\n", "GET / HTTP/1.1\r\nHost: h\r\n\n\r\n",
         "GET  / HTTP/1.1\r\n\r\n", "GET /a b HTTP/1.1\r\n\r\n", "GET / HTTP/1.1 \r\n\r\n",
         "GET / http/1.1\r\n\r\n", "GET /x HTTP/11\r\n\r\n", "GETX / HTTP/1.1\r\n\r\n",
         "GET /\x7f HTTP/1.1\r\n\r\n", "GET /\r\nHost: h\r\n\r\n", "xGET/a HTTP/1.1\r\n\r\n",
         "xGET /a\r\nHost: h HTTP/1.1\r\n\r\n",
         "POST /s/r HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n" + kChunks,
         kChunkedHead + "4\r\nabcd\r\n0\r\nX-SWID: a\r\n\r\n",
         "GET /s/r HTTP/1.1\r\nUpgrade: websocket\r\nTransfer-Encoding: chunked\r\n\r\n-1\r\n"}};
    for (const auto& group : groups) {
        for (const std::string& text : group) {
            SCOPED_TRACE(text);
            const ParseResult r = parse(text);
            EXPECT_EQ(r.status, Invalid);
            EXPECT_TRUE(r.framingError);
        }
    }
}

// Only the exact fields may count: a near miss must neither upgrade nor hide a claimed identity.
TEST(HttpParserTest, UpgradeAndIdentityFields) {
    struct Flags {
        std::string fields;
        bool upgrade, identity;
    };
    const std::vector<Flags> cases = {
        {"Upgrade: websocket", true, false},
        {"UPGRADE:\tWebSocket  \r\nX-SWID: app", true, true},
        {"Upgrade: websockets", false, false},
        {"Upgrade: web socket", false, false},
        {"Upgrade: websocket, h2c", false, false},
        {"X-Upgrade: websocket\r\nx-swid:", false, true},
        {"Via: websocket\r\nX-SWIDS: a\r\nX-Swid-Other: b", false, false},
    };
    for (const Flags& c : cases) {
        const ParseResult r = parse("GET /s/r HTTP/1.1\r\n" + c.fields + "\r\n\r\n");
        EXPECT_EQ(r.status, Complete) << c.fields;
        EXPECT_EQ(r.upgradeRequested, c.upgrade) << c.fields;
        EXPECT_EQ(r.claimsIdentity, c.identity) << c.fields;
    }
}

}  // namespace
