#pragma once

#include <cstdint>

// The layout of a WebSocket frame header, shared by the parser of the client's frames and the
// tracker of the server's so that both find a frame's end alike.
namespace parser::websocket {

inline constexpr uint8_t kFinBit = 0x80;
inline constexpr uint8_t kRsv1Bit = 0x40;
inline constexpr uint8_t kOpcodeBits = 0x0f;
inline constexpr uint8_t kFirstControlOpcode = 0x8;

inline constexpr uint8_t kMaskBit = 0x80;
inline constexpr uint8_t kLengthBits = 0x7f;
// Length codes that announce a 16-bit and a 64-bit length behind the second byte.
inline constexpr uint8_t kLengthCode16 = 126;
inline constexpr uint8_t kLengthCode64 = 127;
inline constexpr uint32_t kMaskingKeyLength = 4;
inline constexpr uint32_t kLongestHeader = 2 + 8 + kMaskingKeyLength;

// Bytes of extended length behind the first two, as the second byte announces them.
constexpr uint32_t extendedLengthBytes(uint8_t second) {
    const uint8_t code = second & kLengthBits;
    return code == kLengthCode16 ? 2 : code == kLengthCode64 ? 8 : 0;
}

// Bytes of the whole header, masking key included, as the second byte announces them.
constexpr uint32_t headerLength(uint8_t second) {
    return 2 + extendedLengthBytes(second) + ((second & kMaskBit) != 0 ? kMaskingKeyLength : 0);
}

// The payload length; `header` holds at least the first two bytes and the extended length.
constexpr uint64_t payloadLength(const uint8_t* header) {
    const uint32_t extension = extendedLengthBytes(header[1]);
    if (extension == 0) {
        return header[1] & kLengthBits;
    }
    uint64_t length = 0;
    for (uint32_t k = 0; k < extension; ++k) {
        length = (length << 8) | header[2 + k];
    }
    return length;
}

}  // namespace parser::websocket
