#include "parser/BoundedNumber.h"

#include <limits>

namespace parser {

namespace {

bool isCSpace(uint8_t c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int digitValue(uint8_t c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'Z') {
        return c - 'A' + 10;
    }
    return 99;
}

}  // namespace

BoundedNumber readBoundedNumber(const uint8_t* data, size_t length, int base) {
    BoundedNumber result;
    size_t p = 0;
    while (p < length && isCSpace(data[p])) {
        ++p;
    }
    bool negative = false;
    if (p < length && (data[p] == '+' || data[p] == '-')) {
        negative = data[p] == '-';
        ++p;
    }
    // Index of the 'x' of a "0x" prefix: strtol ends there when no hex digit follows the prefix.
    size_t prefixX = 0;
    bool hasPrefix = false;
    if (p < length && data[p] == '0' && (base == 0 || base == 16)) {
        if (p + 1 < length && (data[p + 1] == 'x' || data[p + 1] == 'X')) {
            hasPrefix = true;
            prefixX = p + 1;
            p += 2;
            base = 16;
        } else if (p + 1 >= length) {
            // A lone "0" at the end could still become the start of "0x".
            result.reachedEnd = true;
            result.consumed = p + 1;
            return result;
        } else if (base == 0) {
            base = 8;
        }
    } else if (base == 0) {
        base = 10;
    }

    const uint64_t limit =
        negative ? uint64_t{1} << 63 : uint64_t{std::numeric_limits<int64_t>::max()};
    uint64_t magnitude = 0;
    size_t digits = 0;
    while (p < length) {
        int digit = digitValue(data[p]);
        if (digit >= base) {
            break;
        }
        if (!result.overflow) {
            if (magnitude > (limit - static_cast<uint64_t>(digit)) / static_cast<uint64_t>(base)) {
                result.overflow = true;
            } else {
                magnitude = magnitude * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
            }
        }
        ++digits;
        ++p;
    }
    result.reachedEnd = p >= length;

    if (digits == 0) {
        // Without digits strtol consumes nothing, except that "0x" still reads as the 0 before the
        // x.
        result.consumed = hasPrefix ? prefixX : 0;
        return result;
    }
    result.consumed = p;
    if (result.overflow) {
        result.value =
            negative ? std::numeric_limits<int64_t>::min() : std::numeric_limits<int64_t>::max();
    } else if (negative) {
        result.value = magnitude == (uint64_t{1} << 63) ? std::numeric_limits<int64_t>::min()
                                                        : -static_cast<int64_t>(magnitude);
    } else {
        result.value = static_cast<int64_t>(magnitude);
    }
    return result;
}

}  // namespace parser
