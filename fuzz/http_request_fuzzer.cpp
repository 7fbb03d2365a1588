// Feeds arbitrary bytes through the HTTP request parser the way a connection does (one request,
// then its overhead as the next one) and splits every target found, asserting that nothing the
// parser reports points outside the bytes it was given, that a request's extent does not depend
// on what follows it, and that the chunked-body decoder gives the same answer however its input
// is split.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "FuzzCheck.h"
#include "parser/ChunkedBody.h"
#include "parser/HttpParser.h"
#include "parser/UriParser.h"

namespace {

using parser::ChunkedBody;
using parser::ParseResult;
using parser::ParseStatus;

bool isKnownMethod(const std::string& method) {
    return method == "GET" || method == "PUT" || method == "POST" || method == "DELETE" ||
           method == "HEAD";
}

void checkUri(const std::string& uri) {
    std::string service = "x";
    std::string resource = "y";
    if (parser::parseUri(uri, service, resource)) {
        FUZZ_CHECK(service.size() + resource.size() < uri.size());
    } else {
        FUZZ_CHECK(service.empty() && resource.empty());
    }
}

void checkRequest(const ParseResult& r, const uint8_t* data, uint32_t length) {
    FUZZ_CHECK(r.overhead <= length);
    switch (r.status) {
        case ParseStatus::Incomplete:
            FUZZ_CHECK(r.overhead == length);
            break;
        case ParseStatus::NoMethod:
            FUZZ_CHECK(r.method.empty());
            break;
        case ParseStatus::Complete:
        case ParseStatus::Invalid:
        case ParseStatus::BodyIncomplete:
            FUZZ_CHECK(isKnownMethod(r.method));
            // Something was consumed, so a caller that goes on with the overhead advances.
            FUZZ_CHECK(r.overhead < length);
            break;
        default:
            FUZZ_CHECK(false && "status of the WebSocket parser");
    }
    if (r.framingError) {
        // Nothing after a request that cannot be framed may be taken for the next one.
        FUZZ_CHECK(r.status == ParseStatus::Invalid && r.overhead == 0 && r.missingBytes == 0);
        FUZZ_CHECK(r.bodyStart == 0 && r.bodyEnd == 0 && !r.chunked && !r.upgradeRequested);
    }
    if (r.missingBytes != 0) {
        FUZZ_CHECK(r.status == ParseStatus::BodyIncomplete || r.status == ParseStatus::Invalid);
        FUZZ_CHECK(!r.chunked);
    }
    if (r.status == ParseStatus::BodyIncomplete) {
        // Either a count of missing bytes or a chunked body to follow, never both.
        FUZZ_CHECK((r.missingBytes != 0) != r.chunked);
        FUZZ_CHECK(r.overhead == 0);
    }
    if (r.upgradeRequested) {
        FUZZ_CHECK(r.status != ParseStatus::Invalid);
    }
    FUZZ_CHECK(r.method.empty() || isKnownMethod(r.method));
    FUZZ_CHECK(r.uri.size() < length || r.uri.empty());

    const bool bodyArriving = r.missingBytes != 0 || (r.chunked && r.overhead == 0 &&
                                                      r.bodyEnd == length && r.bodyStart != 0);
    if (r.bodyStart != 0 || r.bodyEnd != 0) {
        FUZZ_CHECK(r.status != ParseStatus::Incomplete && r.status != ParseStatus::NoMethod);
        FUZZ_CHECK(r.bodyStart >= 18 && r.bodyStart <= r.bodyEnd);
        if (bodyArriving) {
            // A body still arriving ends one past the last byte at hand.
            FUZZ_CHECK(r.bodyEnd == length);
        } else {
            // The body lies inside the message, which ends where the overhead begins.
            FUZZ_CHECK(r.bodyEnd < length - r.overhead);
        }
    }
    if (r.chunked && !bodyArriving) {
        // At least the last chunk "0" CR LF CR LF.
        FUZZ_CHECK(r.bodyEnd >= r.bodyStart + 4);
    }
    if (r.status == ParseStatus::Complete &&
        std::memcmp(data, r.method.data(), r.method.size()) == 0) {
        // A request line that starts the buffer has a target of visible characters only.
        for (const char c : r.uri) {
            FUZZ_CHECK(c > ' ' && c < 0x7F);
        }
    }

    uint32_t position = 0;
    const std::string method = parser::findHttpMethod(data, position, length);
    FUZZ_CHECK(method.empty() || isKnownMethod(method));
    FUZZ_CHECK(position <= length);
    if (!method.empty()) {
        FUZZ_CHECK(position + 6 <= length);
        FUZZ_CHECK(std::memcmp(data + position, method.data(), method.size()) == 0);
    }
}

// A complete request parses the same without the bytes that follow it: its end is decided by
// its own bytes, never by the next request's.
void checkAlone(const ParseResult& r, const uint8_t* data, uint32_t length) {
    if (r.status != ParseStatus::Complete) {
        return;
    }
    const uint32_t size = length - r.overhead;
    if (size < 18) {
        // Shorter than any well-formed request, which the parser waits out: only a method behind
        // a leading byte with an empty target, refused by the caller anyway.
        FUZZ_CHECK(r.uri.empty() && size == 17);
        return;
    }
    ParseResult alone;
    parser::parseHttpRequest(alone, data, size);
    FUZZ_CHECK(alone.status == ParseStatus::Complete && alone.overhead == 0);
    FUZZ_CHECK(alone.method == r.method && alone.uri == r.uri);
    FUZZ_CHECK(alone.bodyStart == r.bodyStart && alone.bodyEnd == r.bodyEnd);
    FUZZ_CHECK(alone.chunked == r.chunked && alone.upgradeRequested == r.upgradeRequested &&
               alone.claimsIdentity == r.claimsIdentity);
}

// The input as a chunked body, whole and in two pieces split where its first two bytes say.
void checkChunkedSplit(const uint8_t* data, size_t size) {
    ChunkedBody whole;
    size_t wholeConsumed = 0;
    const ChunkedBody::Result expected = whole.feed(data, size, wholeConsumed);
    FUZZ_CHECK(wholeConsumed <= size);
    FUZZ_CHECK(expected != ChunkedBody::Result::NeedMore || wholeConsumed == size);

    const size_t split = size < 2 ? 0 : ((size_t{data[0]} << 8) | data[1]) % (size + 1);
    ChunkedBody pieces;
    size_t first = 0;
    ChunkedBody::Result got = pieces.feed(data, split, first);
    size_t second = 0;
    if (got == ChunkedBody::Result::NeedMore) {
        FUZZ_CHECK(first == split);
        got = pieces.feed(data + split, size - split, second);
    } else {
        // Finished early: the rest is not looked at, and stays unconsumed.
        size_t again = 1;
        FUZZ_CHECK(pieces.feed(data + split, size - split, again) == got && again == 0);
    }
    FUZZ_CHECK(got == expected);
    FUZZ_CHECK(first + second == wholeConsumed);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > UINT32_MAX) {
        return 0;
    }
    ParseResult result;
    // The WebSocket state of the connection must survive an HTTP parse.
    result.maskingKey = 0x01020304;
    result.fragmentBuffer = "fragment";
    result.fragmentationRunning = true;
    result.compressed = true;

    size_t offset = 0;
    while (offset < size) {
        const uint32_t length = static_cast<uint32_t>(size - offset);
        parser::parseHttpRequest(result, data + offset, length);
        checkRequest(result, data + offset, length);
        checkAlone(result, data + offset, length);
        FUZZ_CHECK(result.maskingKey == 0x01020304 && result.fragmentBuffer == "fragment" &&
                   result.fragmentationRunning && result.compressed && !result.inflateStream);
        if (result.status == ParseStatus::Complete ||
            result.status == ParseStatus::BodyIncomplete) {
            checkUri(result.uri);
        }
        if (result.status == ParseStatus::Incomplete ||
            result.status == ParseStatus::BodyIncomplete || result.overhead == 0) {
            break;
        }
        offset = size - result.overhead;
    }

    checkChunkedSplit(data, size);
    // Targets of WebSocket messages reach the splitter without going through the parser.
    checkUri(std::string(reinterpret_cast<const char*>(data), size));
    return 0;
}
