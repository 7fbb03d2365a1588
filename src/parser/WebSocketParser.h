#pragma once

#include <cstdint>
#include <string>

#include "parser/ParseResult.h"

namespace parser {

// Which frame of a text message buildWebSocketFrame writes; the value selects the first byte.
enum class FrameKind : uint8_t {
    FinalText = 0,       // 0x81: a whole message
    FirstFragment = 1,   // 0x01
    MiddleFragment = 2,  // 0x00
    FinalFragment = 3,   // 0x80
};

// Examines the one client frame that starts at data[0] and fills the WebSocket fields of
// `result`; the fragment, compression and inflate state carried in `result` from earlier frames
// is used and updated. Only text messages are accepted: unfragmented up to 8192 bytes, fragmented
// up to 8192 collected bytes, control frames of up to 125 bytes with FIN. `data` may be null.
//
// What the caller does with the status:
//  - FrameIncomplete: nothing is consumed; parse again from the frame's first byte once more bytes
//    are there (a frame ending within 8192 bytes always fits the receive buffer).
//  - Complete: the access check with `uri`, then forward the frame as received (a compressed one
//    too: the server gets the client's own bytes).
//  - BodyIncomplete: only for an uncompressed unfragmented frame whose event lies in the bytes at
//    hand. Check `uri`, forward the bytes at hand, and pass the next `missingBytes` bytes through
//    unparsed.
//  - FragmentStored: forward nothing yet.
//  - FragmentedMessageComplete: check `uri`, then forward the whole message as one frame,
//    buildWebSocketFrame(fragmentBuffer, FinalText, masked, maskingKey, fragmentCompressed), and
//    empty `fragmentBuffer`. A compressed message is rebuilt from the sender's deflate data, so
//    the server inflates exactly what the client sent.
//  - ControlFrame: forward as received.
//  - MessageRejected: answer with `errorMessage`; the connection goes on.
//  - ProtocolError: answer with `errorMessage` and close the connection.
// A non-zero `overhead` means that the last `overhead` bytes are the next frame.
void parseWebSocketFrame(ParseResult& result, const uint8_t* data, uint32_t length);

// Frames `length` bytes of `payload` (which may be null when `length` is 0) with the shortest
// length form. `compressed` sets RSV1, which only the first frame of a message carries, so it is
// ignored for the continuation kinds. A masked frame carries `maskingKey`, any value including 0;
// its most significant byte is the first key byte on the wire.
std::string buildWebSocketFrame(const uint8_t* payload, uint64_t length, FrameKind kind,
                                bool masked, uint32_t maskingKey, bool compressed);

}  // namespace parser
