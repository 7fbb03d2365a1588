#pragma once

#include <zlib.h>

#include <cstdint>
#include <memory>
#include <string>

#include "parser/ChunkedBody.h"
#include "parser/ParseStatus.h"

namespace parser {

// Releases a connection's inflate state: the zlib state first, then the object itself.
struct InflateStreamDeleter {
    void operator()(z_stream* stream) const noexcept;
};

using InflateStreamPtr = std::unique_ptr<z_stream, InflateStreamDeleter>;

// Results and carried state of the HTTP and WebSocket parsers of one incoming connection.
// Owned by the connection and reused for every message; each parser resets only the fields it
// produces, so the WebSocket state (fragments, compression, inflate history) survives an HTTP
// parse and the other way round. Used by the connection's handler thread only.
//
// Offsets are relative to the start of the bytes handed to the parser, not to the connection's
// receive buffer.
struct ParseResult {
    // Clears what either parser reports about one message (method, target, error text, extents,
    // status, upgrade); the state carried between messages stays.
    void resetMessage() {
        method.clear();
        uri.clear();
        errorMessage.clear();
        overhead = 0;
        missingBytes = 0;
        bodyStart = 0;
        bodyEnd = 0;
        status = ParseStatus::Complete;
        upgradeRequested = false;
    }

    // Null until the first compressed frame of the connection.
    InflateStreamPtr inflateStream;
    // Request method; always "GET" for a WebSocket message.
    std::string method;
    // Request target, or the URI or event of a WebSocket message.
    std::string uri;
    // Bytes after the end of the parsed message; the whole length while the message is incomplete.
    uint32_t overhead = 0;
    // Bytes of body or payload still to come while the status is BodyIncomplete (or, for a
    // length-framed request of an unsupported HTTP version, Invalid). 0 for a chunked body, whose
    // end only `chunkedBody` can find. 64 bits wide: a WebSocket frame may announce a 64-bit
    // payload length.
    uint64_t missingBytes = 0;
    // Index of the first body byte; 0 when no body byte is in the buffer.
    uint32_t bodyStart = 0;
    // Index of the last body byte in the buffer, inclusive; 0 when no body byte is in the buffer.
    uint32_t bodyEnd = 0;
    // The four masking-key bytes of the last masked frame, in wire order.
    uint32_t maskingKey = 0;
    // Text for the error answer to a refused WebSocket message.
    std::string errorMessage;
    // Payload collected from the fragments of one WebSocket message.
    std::string fragmentBuffer;
    ParseStatus status = ParseStatus::Complete;
    // The request has an Upgrade field whose whole value is "websocket" in any letter case.
    bool upgradeRequested = false;
    // Set with status Invalid when the request's framing is malformed or ambiguous (line ends,
    // field syntax, Content-Length, Transfer-Encoding, chunks): where the next request starts is
    // then unknown, so nothing after it in the stream can be trusted.
    bool framingError = false;
    // The request's body is chunked. With status BodyIncomplete (or Invalid for an unsupported
    // version) and overhead 0 the body goes on in later reads, to be fed to `chunkedBody` until it
    // reports the end.
    bool chunked = false;
    // The head has a field named X-SWID, which the proxy must strip before forwarding.
    bool claimsIdentity = false;
    // Position inside the current request's chunked body, carried across reads.
    ChunkedBody chunkedBody;
    bool fragmentationRunning = false;
    // A frame with RSV1 has been seen on this connection; never cleared.
    bool compressed = false;
    // The last data frame whose payload was taken was masked, with `maskingKey` (which may be 0).
    bool masked = false;
    // The fragmented message in `fragmentBuffer` is compressed: the buffer holds the sender's
    // deflate data, not the inflated text. Meaningful with FragmentedMessageComplete.
    bool fragmentCompressed = false;
};

}  // namespace parser
