#pragma once

#include <cstdint>

namespace parser {

// Outcome of the last HTTP or WebSocket parse. Both parsers share this one numbering, so the
// connection's read path can switch on it without knowing which parser ran.
enum class ParseStatus : uint32_t {
    Complete = 0,
    Invalid = 1,
    Incomplete = 2,
    NoMethod = 3,
    FrameIncomplete = 4,
    MessageRejected = 5,
    FragmentStored = 6,
    FragmentedMessageComplete = 7,
    ProtocolError = 8,
    ControlFrame = 9,
    BodyIncomplete = 10,
};

}  // namespace parser
