#pragma once

#include <cstdint>

namespace connection {

// What a connection's conRead did; the handler decides from it whether the pair goes on.
enum class ReadResult : uint32_t {
    Done = 0,           // what was read has been handled
    WouldBlock = 1,     // nothing to read now
    ForwardFailed = 2,  // writing to the peer (or an answer to the client) failed
    Failed = 3,         // read error or a reason to close
    Closed = 4,         // the remote side closed
    Paused = 5,         // waiting for a capability cache answer; suspend input events
};

}  // namespace connection
