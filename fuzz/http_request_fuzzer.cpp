// Feeds arbitrary bytes through the HTTP request parser the way a connection does (one request,
// then its overhead as the next one) and splits every target found, asserting that nothing the
// parser reports points outside the bytes it was given.

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "FuzzCheck.h"
#include "parser/BoundedNumber.h"
#include "parser/HttpParser.h"
#include "parser/UriParser.h"

namespace {

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
    FUZZ_CHECK((r.missingBytes != 0) == (r.status == ParseStatus::BodyIncomplete));
    if (r.status == ParseStatus::BodyIncomplete) {
        FUZZ_CHECK(r.overhead == 0);
    }
    FUZZ_CHECK(r.method.empty() || isKnownMethod(r.method));
    FUZZ_CHECK(r.uri.size() < length || r.uri.empty());

    if (r.bodyStart != 0 || r.bodyEnd != 0) {
        // The body lies inside the message, which ends where the overhead begins.
        FUZZ_CHECK(r.bodyStart > 0);
        FUZZ_CHECK(r.bodyStart <= r.bodyEnd);
        if (r.status == ParseStatus::BodyIncomplete) {
            // A body still arriving ends one past the last byte at hand.
            FUZZ_CHECK(r.bodyEnd == length);
        } else {
            FUZZ_CHECK(r.bodyEnd < length - r.overhead);
        }
        FUZZ_CHECK(r.status != ParseStatus::Incomplete && r.status != ParseStatus::NoMethod);
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

// The parser reads its numbers without the C library, as strtol would read them from a
// terminated copy.
void checkNumberReader(const uint8_t* data, size_t size) {
    const std::string terminated(reinterpret_cast<const char*>(data), size);
    for (int base : {0, 16}) {
        errno = 0;
        char* end = nullptr;
        const long expected = std::strtol(terminated.c_str(), &end, base);
        const bool overflow = errno == ERANGE;
        const parser::BoundedNumber got = parser::readBoundedNumber(data, size, base);
        FUZZ_CHECK(got.value == expected);
        FUZZ_CHECK(got.consumed == static_cast<size_t>(end - terminated.c_str()));
        FUZZ_CHECK(got.overflow == overflow);
        FUZZ_CHECK(got.consumed <= size);
    }
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

    checkNumberReader(data, size);
    // Targets of WebSocket messages reach the splitter without going through the parser.
    checkUri(std::string(reinterpret_cast<const char*>(data), size));
    return 0;
}
