#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "RecordingLogger.h"
#include "parser/HttpParser.h"
#include "parser/UriParser.h"

namespace {

using parser::ParseResult;
using parser::ParseStatus;

const uint8_t* bytes(const std::string& text) {
    return reinterpret_cast<const uint8_t*>(text.data());
}

ParseResult parse(const std::string& text) {
    ParseResult result;
    parser::parseHttpRequest(result, bytes(text), static_cast<uint32_t>(text.size()));
    return result;
}

// Holds for every parse: nothing reported lies outside the bytes handed over.
void expectInsideBuffer(const ParseResult& r, size_t length) {
    EXPECT_LE(r.overhead, length);
    if (r.bodyStart != 0 || r.bodyEnd != 0) {
        EXPECT_LE(r.bodyStart, r.bodyEnd);
        // A body still arriving ends one past the last byte at hand; a whole one inside.
        if (r.status == ParseStatus::BodyIncomplete) {
            EXPECT_EQ(r.bodyEnd, length);
        } else {
            EXPECT_LT(r.bodyEnd, length);
        }
    }
    EXPECT_EQ(r.missingBytes != 0, r.status == ParseStatus::BodyIncomplete);
}

const std::string kGet = "GET /a/b HTTP/1.1\r\nHost: h\r\n\r\n";  // 30 bytes
const std::string kPostHead = "POST /s/r HTTP/1.1\r\nContent-Length: 10\r\n\r\n";
const std::string kPost = kPostHead + "0123456789";
const std::string kChunkedHead = "POST /c/d HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";
const std::string kChunked = kChunkedHead + "4\r\nabcd\r\n0\r\n\r\n";

TEST(HttpParserTest, ShortestRequestAndOneByteLess) {
    const std::string request = "GET / HTTP/1.1\r\n\r\n";
    ASSERT_EQ(request.size(), 18u);
    ParseResult r = parse(request);
    EXPECT_EQ(r.status, ParseStatus::Complete);
    EXPECT_EQ(r.method, "GET");
    EXPECT_EQ(r.uri, "/");
    EXPECT_EQ(r.overhead, 0u);
    EXPECT_EQ(r.bodyStart, 0u);
    EXPECT_EQ(r.bodyEnd, 0u);

    r = parse(request.substr(0, 17));
    EXPECT_EQ(r.status, ParseStatus::Incomplete);
    EXPECT_EQ(r.overhead, 17u);

    parser::parseHttpRequest(r, nullptr, 40);
    EXPECT_EQ(r.status, ParseStatus::Incomplete);
    EXPECT_EQ(r.overhead, 40u);
}

TEST(HttpParserTest, PipelinedRequestsReportTheRestAsOverhead) {
    const std::string first = "GET /svc/res HTTP/1.1\r\nHost: abcdefg\r\n\r\n";
    ASSERT_EQ(first.size(), 40u);
    ASSERT_EQ(kGet.size(), 30u);
    const std::string both = first + kGet;
    ParseResult r = parse(both);
    EXPECT_EQ(r.status, ParseStatus::Complete);
    EXPECT_EQ(r.uri, "/svc/res");
    EXPECT_EQ(r.overhead, 30u);

    r = parse(both.substr(both.size() - r.overhead));
    EXPECT_EQ(r.status, ParseStatus::Complete);
    EXPECT_EQ(r.uri, "/a/b");
    EXPECT_EQ(r.overhead, 0u);
}

TEST(HttpParserTest, ContentLengthBoundsTheBody) {
    ParseResult r = parse(kPostHead + "abcd");
    EXPECT_EQ(r.status, ParseStatus::BodyIncomplete);
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.uri, "/s/r");
    EXPECT_EQ(r.missingBytes, 6u);
    EXPECT_EQ(r.bodyStart, kPostHead.size());
    EXPECT_EQ(r.bodyEnd, kPostHead.size() + 4);  // the buffer length, one past the last byte
    EXPECT_EQ(r.overhead, 0u);

    // No body byte yet: the body starts and ends at the buffer's end.
    r = parse(kPostHead);
    EXPECT_EQ(r.status, ParseStatus::BodyIncomplete);
    EXPECT_EQ(r.missingBytes, 10u);
    EXPECT_EQ(r.bodyStart, kPostHead.size());
    EXPECT_EQ(r.bodyEnd, kPostHead.size());

    r = parse(kPost + kGet);
    EXPECT_EQ(r.status, ParseStatus::Complete);
    EXPECT_EQ(r.bodyStart, kPostHead.size());
    EXPECT_EQ(r.bodyEnd, kPost.size() - 1);
    EXPECT_EQ(r.overhead, kGet.size());
}

TEST(HttpParserTest, ContentLengthIsReadWithBaseZeroAndMatchedAnywhere) {
    const std::string body(20, 'x');
    for (const auto& [value, expected] :
         std::vector<std::pair<std::string, uint32_t>>{{"010", 8}, {"0x10", 16}, {"12", 12}}) {
        const std::string head = "POST /s/r HTTP/1.1\r\ncontent-LENGTH: " + value + "\r\n\r\n";
        ParseResult r = parse(head + body);
        EXPECT_EQ(r.status, ParseStatus::Complete) << value;
        EXPECT_EQ(r.bodyEnd, head.size() + expected - 1) << value;
        EXPECT_EQ(r.overhead, body.size() - expected) << value;
    }
    // Inside another header's name, and without a colon.
    ParseResult r = parse("POST /s/r HTTP/1.1\r\nX-Content-Length  3\r\n\r\nabc");
    EXPECT_EQ(r.status, ParseStatus::Complete);
    EXPECT_EQ(r.overhead, 0u);
    EXPECT_NE(r.bodyStart, 0u);
}

TEST(HttpParserTest, OnlyTheMajorVersionDigitCounts) {
    ParseResult r = parse("GET /x HTTP/2.0\r\n\r\n");
    EXPECT_EQ(r.status, ParseStatus::Invalid);
    EXPECT_EQ(r.uri, "/x");
    EXPECT_EQ(parse("GET /x HTTP/1.0\r\n\r\n").status, ParseStatus::Complete);
    EXPECT_EQ(parse("GET /x HTTP/1.9\r\n\r\n").status, ParseStatus::Complete);

    // A refused request stays refused while its body is still arriving.
    r = parse("POST /x HTTP/3.0\r\nContent-Length: 10\r\n\r\nabcd");
    EXPECT_EQ(r.status, ParseStatus::Invalid);
    expectInsideBuffer(r, 48);
}

TEST(HttpParserTest, MethodIsFoundAnywhereInTheLeadingBytes) {
    testing_support::RecordingLogger log;
    ParseResult r = parse("xyGET /a HTTP/1.1\r\n\r\n");
    EXPECT_EQ(r.status, ParseStatus::Complete);
    EXPECT_EQ(r.method, "GET");
    EXPECT_EQ(r.uri, " /a");
    std::string service = "stale";
    std::string resource = "stale";
    EXPECT_FALSE(parser::parseUri(r.uri, service, resource));
    EXPECT_EQ(log.count("Failed to parse URI, missing leading slash"), 1u);

    const std::string text = "xxPOSTER\r\n\r\nGET / HTTP/1.1";
    uint32_t position = 0;
    EXPECT_EQ(parser::findHttpMethod(bytes(text), position, text.size()), "POST");
    EXPECT_EQ(position, 2u);
    position = 3;  // past the P: the header end comes before the next name
    EXPECT_EQ(parser::findHttpMethod(bytes(text), position, text.size()), "");
    EXPECT_EQ(position, 8u);
    // A name must start six bytes before the end.
    position = 0;
    EXPECT_EQ(parser::findHttpMethod(bytes("xGETxx"), position, 6), "");
    position = 0;
    EXPECT_EQ(parser::findHttpMethod(bytes("GET"), position, 3), "");

    r = parse("\r\n\r\nGET / HTTP/1.1\r\n\r\n");
    EXPECT_EQ(r.status, ParseStatus::NoMethod);
    EXPECT_EQ(r.overhead, 0u);
}

TEST(HttpParserTest, ChunkedRequests) {
    ParseResult r = parse(kChunked);
    EXPECT_EQ(r.status, ParseStatus::Complete);
    EXPECT_EQ(r.bodyStart, kChunkedHead.size());
    EXPECT_EQ(r.bodyEnd, kChunkedHead.size() + 8);
    EXPECT_EQ(r.overhead, 0u);

    r = parse(kChunkedHead + "4\r\nabcd\r\na\r\n0123456789\r\n0\r\n\r\n" + kGet);
    EXPECT_EQ(r.status, ParseStatus::Complete);
    EXPECT_EQ(r.bodyEnd, kChunkedHead.size() + 9 + 15 - 1);
    EXPECT_EQ(r.overhead, kGet.size());

    // Header area alone, or ending after a whole chunk: complete, without body bounds.
    for (const std::string& text : {kChunkedHead, kChunkedHead + "4\r\nabcd\r\n"}) {
        r = parse(text);
        EXPECT_EQ(r.status, ParseStatus::Complete);
        EXPECT_EQ(r.bodyStart, 0u);
        EXPECT_EQ(r.bodyEnd, 0u);
        EXPECT_EQ(r.overhead, 0u);
    }
    for (const std::string& text : {kChunkedHead + "4\r\nabcd\r\n0\r\n", kChunkedHead + "4\r\nab",
                                    kChunkedHead + "4\r\nabcd\r"}) {
        r = parse(text);
        EXPECT_EQ(r.status, ParseStatus::Incomplete);
        EXPECT_EQ(r.overhead, text.size());
    }
    EXPECT_EQ(parse(kChunkedHead + "4x\r\nabcd\r\n0\r\n\r\n").status, ParseStatus::Invalid);
    EXPECT_EQ(parse(kChunkedHead + "4\r\nabcdX\r\n0\r\n\r\n").status, ParseStatus::Invalid);
}

TEST(HttpParserTest, UpgradeFlagInAnyLetterCase) {
    for (const std::string value : {"websocket", "WebSocket", "WEBSOCKET"}) {
        ParseResult r = parse("GET /s/r HTTP/1.1\r\nUpgrade: " + value + "\r\n\r\n");
        EXPECT_EQ(r.status, ParseStatus::Complete) << value;
        EXPECT_TRUE(r.upgradeRequested) << value;
    }
    EXPECT_FALSE(parse("GET /s/r HTTP/1.1\r\nUpgrade: websockets\r\n\r\n").upgradeRequested);
}

TEST(HttpParserTest, HostileLengthsStayInsideTheBuffer) {
    const std::string tail = "\r\n\r\n0123456789" + kGet;
    for (const std::string value : {"-5", "-0x10", "99999999999", "0x80000000", "4294967306"}) {
        const std::string head = "POST /s/r HTTP/1.1\r\nContent-Length: " + value;
        const std::string text = head + tail;
        ParseResult r = parse(text);
        EXPECT_EQ(r.status, ParseStatus::Invalid) << value;
        // The request is taken to end with its header area; what follows is parsed anew.
        EXPECT_EQ(r.overhead, text.size() - head.size() - 4) << value;
        EXPECT_EQ(r.bodyStart, 0u) << value;
        EXPECT_EQ(r.bodyEnd, 0u) << value;
        EXPECT_EQ(r.missingBytes, 0u) << value;
    }
    ParseResult r = parse(kPostHead.substr(0, 36) + "2147483647\r\n\r\nab");
    EXPECT_EQ(r.status, ParseStatus::BodyIncomplete);
    EXPECT_EQ(r.missingBytes, 2147483647u - 2);
    expectInsideBuffer(r, 52);

    // Without a version the body is still counted, not declared complete.
    r = parse("POST /s/r\r\nContent-Length: 10\r\n\r\nabcd");
    EXPECT_EQ(r.status, ParseStatus::BodyIncomplete);
    EXPECT_EQ(r.missingBytes, 6u);
    expectInsideBuffer(r, 37);
}

TEST(HttpParserTest, HostileChunksStayInsideTheBuffer) {
    for (const std::string size : {"-4", "ffffffffff", "80000000", "+", "g"}) {
        ParseResult r = parse(kChunkedHead + size + "\r\nabcd\r\n0\r\n\r\n");
        EXPECT_EQ(r.status, ParseStatus::Invalid) << size;
        expectInsideBuffer(r, kChunkedHead.size() + size.size() + 14);
    }
    // Sizes that may fit once more bytes arrive, and size lines cut by the end of the buffer.
    for (const std::string& text : {kChunkedHead + "7fffffff\r\nab", kChunkedHead + "1f",
                                    kChunkedHead + "4\r\nabcd\r\n  ", kChunkedHead + " 0x"}) {
        ParseResult r = parse(text);
        EXPECT_EQ(r.status, ParseStatus::Incomplete) << text;
        EXPECT_EQ(r.overhead, text.size());
    }
    // Both framings at once are refused, but the chunks still delimit the request.
    ParseResult r = parse(
        "POST /c/d HTTP/1.1\r\nContent-Length: 50\r\nTransfer-Encoding: chunked"
        "\r\n\r\n4\r\nabcd\r\n0\r\n\r\n" +
        kGet);
    EXPECT_EQ(r.status, ParseStatus::Invalid);
    EXPECT_EQ(r.overhead, kGet.size());
    // A length named after the body has started does not replace the chunk count.
    const std::string stray = kChunkedHead + "0;content-length: -100000\r\n0\r\n\r\n";
    r = parse(stray);
    EXPECT_EQ(r.status, ParseStatus::Complete);
    expectInsideBuffer(r, stray.size());
}

// Reads the way the connection does: an incomplete request waits for the next read, a body that
// is still arriving is passed through, and the overhead is parsed as the next request.
std::vector<std::string> readMessages(const std::vector<std::string>& reads) {
    std::vector<std::string> messages;
    ParseResult r;
    std::string carried;
    uint32_t missing = 0;
    for (const std::string& read : reads) {
        const std::string buffer = carried + read;
        carried.clear();
        size_t offset = std::min<size_t>(missing, buffer.size());
        missing -= offset;
        while (offset < buffer.size()) {
            const uint32_t length = buffer.size() - offset;
            parser::parseHttpRequest(r, bytes(buffer) + offset, length);
            expectInsideBuffer(r, length);
            if (r.status == ParseStatus::Incomplete) {
                carried = buffer.substr(offset);
                break;
            }
            messages.push_back(r.method + " " + r.uri);
            if (r.status == ParseStatus::BodyIncomplete) {
                missing = r.missingBytes;
                break;
            }
            if (r.overhead == 0) {
                break;
            }
            EXPECT_LT(r.overhead, length);
            offset = buffer.size() - r.overhead;
        }
    }
    return messages;
}

TEST(HttpParserTest, EverySplitYieldsTheSameRequests) {
    // The chunked request goes last: a split right after its header area is reported complete,
    // and its chunks then arrive as bytes without a method.
    const std::string stream = kGet + kPost + kGet + kChunked;
    const std::vector<std::string> expected = {"GET /a/b", "POST /s/r", "GET /a/b", "POST /c/d"};
    EXPECT_EQ(readMessages({stream}), expected);
    for (size_t split = 1; split < stream.size(); ++split) {
        EXPECT_EQ(readMessages({stream.substr(0, split), stream.substr(split)}), expected)
            << "split at " << split;
    }
}

}  // namespace
