#pragma once

#include <cstddef>

namespace connection {

// Where connections receive into: one area per thread, shared by every connection of that
// thread's handler. A connection keeps no receive buffer of its own; what it has not handled
// when its read returns (an incomplete message) it copies out. An idle connection therefore
// costs no buffer at all.
//
// Threading: each thread sees its own area; it is valid until the thread ends.
class ReceiveArea {
public:
    // Room for the largest single receive: pass-through reads take up to this much at once.
    static constexpr size_t SIZE = 64 * 1024;

    // The calling thread's area, SIZE bytes.
    static char* data();
};

}  // namespace connection
