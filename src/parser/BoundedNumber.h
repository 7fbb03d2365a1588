#pragma once

#include <cstddef>
#include <cstdint>

namespace parser {

// What strtol would read from the bytes given if they were followed by a terminator. Header and
// chunk-size numbers sit inside a receive buffer that is not terminated, so they are never handed
// to the C library.
struct BoundedNumber {
    // Saturated to the range of a 64-bit long, as strtol does.
    int64_t value = 0;
    // Bytes strtol would have consumed (its end pointer minus the start); 0 when it found no
    // digits.
    size_t consumed = 0;
    // The value did not fit into a long.
    bool overflow = false;
    // The read stopped at the end of the bytes given, so more bytes could still change it.
    bool reachedEnd = false;
};

// Reads like strtol(data, &end, base) for base 0 or 16: leading white space, an optional sign, the
// "0x" prefix (and the leading "0" that selects octal with base 0), then the digits.
BoundedNumber readBoundedNumber(const uint8_t* data, size_t length, int base);

}  // namespace parser
