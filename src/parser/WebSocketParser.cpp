#include "parser/WebSocketParser.h"

#include <cstddef>
#include <limits>
#include <string_view>

#include "parser/Inflate.h"
#include "parser/RsiScan.h"
#include "parser/WebSocketFrameHeader.h"
#include "utils/BuildConfig.h"
#include "utils/logging/Logger.h"

namespace parser {

using namespace websocket;
using utils::logging::Error;

namespace {

constexpr uint32_t kShortestFrame = 6;
constexpr uint64_t kLargestMessage = config::BUFFER_SIZE;
constexpr uint64_t kLargestControlPayload = 125;
// A frame announcing more could never be counted through: the pass-through of a message's rest
// keeps its byte count in 64 bits, and the top bit of a 64-bit length is forbidden anyway.
constexpr uint64_t kLargestPayload = uint64_t{1} << 62;

constexpr uint8_t kOpcodeContinuation = 0x0;
constexpr uint8_t kOpcodeText = 0x1;

struct FrameHeader {
    bool fin = false;
    bool rsv1 = false;
    bool masked = false;
    uint8_t opcode = 0;
    uint8_t key[4] = {};
    uint64_t payloadLength = 0;
    // Offset of the first payload byte.
    uint32_t dataOffset = 0;
    // Offset one past the last payload byte, saturated instead of wrapping around.
    uint64_t frameEnd = 0;
};

// False when the header itself, masking key included, is not complete yet.
bool readHeader(const uint8_t* data, uint32_t length, FrameHeader& header) {
    header.fin = (data[0] & kFinBit) != 0;
    header.rsv1 = (data[0] & kRsv1Bit) != 0;
    header.opcode = data[0] & kOpcodeBits;
    header.masked = (data[1] & kMaskBit) != 0;
    header.dataOffset = headerLength(data[1]);
    if (length < header.dataOffset) {
        return false;
    }
    header.payloadLength = payloadLength(data);
    if (header.masked) {
        // The key is the last part of the header.
        for (uint32_t k = 0; k < kMaskingKeyLength; ++k) {
            header.key[k] = data[header.dataOffset - kMaskingKeyLength + k];
        }
    }
    const uint64_t room = std::numeric_limits<uint64_t>::max() - header.dataOffset;
    header.frameEnd = header.payloadLength > room ? std::numeric_limits<uint64_t>::max()
                                                  : header.dataOffset + header.payloadLength;
    return true;
}

class FrameParser {
public:
    FrameParser(ParseResult& result, const uint8_t* data, uint32_t length)
        : r_(result), data_(data), length_(length) {}

    void run();

private:
    bool complete() const { return length_ >= h_.frameEnd; }
    // Masked or not: a server that takes the frame inflates it, so the check must read the same.
    bool isCompressed() const { return h_.rsv1; }

    void incomplete() {
        r_.overhead = length_;
        r_.status = ParseStatus::FrameIncomplete;
    }
    // A broken framing rule: whatever was being collected is dropped with it.
    void fail(const char* text) {
        endFragmentation();
        r_.overhead = 0;
        r_.missingBytes = 0;
        r_.status = ParseStatus::ProtocolError;
        r_.errorMessage = text;
    }
    void decompressionFailed() {
        r_.uri.clear();
        r_.status = ParseStatus::ProtocolError;
        r_.errorMessage = "Websocket decompression failed";
    }
    void endFragmentation() {
        r_.fragmentBuffer.clear();
        r_.fragmentationRunning = false;
        r_.fragmentCompressed = false;
    }
    void rejected() {
        r_.status = r_.compressed ? ParseStatus::ProtocolError : ParseStatus::MessageRejected;
    }

    // Appends the `count` payload bytes at hand, unmasked, and records the frame's key.
    void takePayload(std::string& out, size_t count);
    bool scanForEvent(const std::string& message, RsiScan& scan);
    void earlyLook();
    void wholeMessage();
    void fragment();

    ParseResult& r_;
    const uint8_t* data_;
    uint32_t length_;
    FrameHeader h_;
};

void FrameParser::run() {
    if (data_ == nullptr || length_ < kShortestFrame || !readHeader(data_, length_, h_)) {
        incomplete();
        return;
    }
    if (length_ > h_.frameEnd) {
        r_.overhead = static_cast<uint32_t>(length_ - h_.frameEnd);
    }
    const uint8_t opcode = h_.opcode;
    const bool control = opcode >= kFirstControlOpcode;
    if (opcode > kOpcodeText && !control) {
        fail("Websocket opcodes 0x2 to 0x7 are not allowed");
        return;
    }
    if (h_.fin) {
        if (r_.fragmentationRunning && opcode == kOpcodeText) {
            fail("Non control frame between fragmentation frames");
            return;
        }
        if (control) {
            if (h_.payloadLength > kLargestControlPayload) {
                fail("Websocket control frame exceeds 125 bytes");
            } else if (complete()) {
                r_.status = ParseStatus::ControlFrame;
            } else {
                incomplete();
            }
            return;
        }
        // A compressed frame waits until it is whole: inflating its first part now and the whole
        // frame later would feed those bytes to the connection's inflate history twice. So does
        // any frame that fits the buffer: checked whole, a second "event" behind the first cannot
        // slip through with the unchecked rest. Only a message too long to hold is judged by its
        // first part.
        if (!complete() && !r_.fragmentationRunning && !isCompressed() &&
            h_.frameEnd > kLargestMessage) {
            earlyLook();
            return;
        }
    } else if (control) {
        fail("Websocket control frame without FIN flag");
        return;
    } else if (opcode == kOpcodeText && r_.fragmentationRunning) {
        AP_LOG(Error, "double fragmentation initiation");
        fail("Websocket fragmentation start while fragmentation already running");
        return;
    } else if (opcode == kOpcodeContinuation && !r_.fragmentationRunning) {
        fail("Websocket continuation frame without running fragmentation");
        return;
    }

    if (!complete()) {
        if (h_.frameEnd <= kLargestMessage) {
            incomplete();
        } else {
            fail("Websocket message exceeds 8kiB");
        }
        return;
    }
    if (!h_.fin && opcode == kOpcodeText) {
        r_.fragmentationRunning = true;
        // RSV1 belongs to a message's first frame; the continuations do not repeat it.
        r_.fragmentCompressed = isCompressed();
        if (r_.fragmentCompressed) {
            r_.compressed = true;
        }
    }
    if (r_.fragmentationRunning) {
        fragment();
    } else {
        wholeMessage();
    }
}

void FrameParser::takePayload(std::string& out, size_t count) {
    const uint8_t* payload = data_ + h_.dataOffset;
    const size_t base = out.size();
    out.resize(base + count);
    char* target = out.data() + base;
    if (!h_.masked) {
        for (size_t j = 0; j < count; ++j) {
            target[j] = static_cast<char>(payload[j]);
        }
        r_.masked = false;
        return;
    }
    for (size_t j = 0; j < count; ++j) {
        target[j] = static_cast<char>(payload[j] ^ h_.key[j % 4]);
    }
    r_.masked = true;
    r_.maskingKey = (uint32_t{h_.key[0]} << 24) | (uint32_t{h_.key[1]} << 16) |
                    (uint32_t{h_.key[2]} << 8) | uint32_t{h_.key[3]};
}

bool FrameParser::scanForEvent(const std::string& message, RsiScan& scan) {
    scan.data = reinterpret_cast<const uint8_t*>(message.data());
    scan.length = message.size();
    if (!findRsiEvent(scan)) {
        return false;
    }
    r_.uri.assign(scan.value);
    return true;
}

// An unfragmented, uncompressed message too long to hold: if its event is already in the bytes at
// hand, the message can be checked now and its rest passed through as it arrives; otherwise it is
// refused.
void FrameParser::earlyLook() {
    if (h_.payloadLength <= kLargestPayload) {
        std::string payload;
        payload.reserve(length_ - h_.dataOffset);
        takePayload(payload, length_ - h_.dataOffset);
        RsiScan scan;
        if (scanForEvent(payload, scan)) {
            r_.missingBytes = h_.frameEnd - length_;
            r_.status = ParseStatus::BodyIncomplete;
            return;
        }
    }
    fail("Websocket message exceeds 8kiB");
}

void FrameParser::wholeMessage() {
    const size_t count = static_cast<size_t>(h_.payloadLength);
    std::string payload;
    // Room for the tail that inflating appends.
    payload.reserve(count + 4);
    takePayload(payload, count);
    if (isCompressed()) {
        r_.compressed = true;
        if (!inflateMessage(r_, payload)) {
            decompressionFailed();
            return;
        }
    }
    RsiScan scan;
    if (scanForEvent(payload, scan)) {
        return;
    }
    if (scan.position < scan.length) {
        r_.errorMessage =
            "Websocket RSI parsing error at position " + std::to_string(scan.position);
    } else {
        r_.errorMessage = "No websocket request URI/event found";
    }
    r_.uri.clear();
    rejected();
}

void FrameParser::fragment() {
    const size_t count = static_cast<size_t>(h_.payloadLength);
    // Checked before the bytes are added, so a refused fragment is never held.
    if (r_.fragmentBuffer.size() + count > kLargestMessage) {
        fail("Fragmented websocket message exceeds 8kiB in size");
        return;
    }
    takePayload(r_.fragmentBuffer, count);
    if (!h_.fin || h_.opcode != kOpcodeContinuation) {
        r_.status = ParseStatus::FragmentStored;
        return;
    }

    const std::string* message = &r_.fragmentBuffer;
    std::string inflated;
    if (r_.fragmentCompressed) {
        // The buffer keeps the sender's deflate data for the rebuilt frame; only a copy is
        // inflated, once, now that the message is whole.
        inflated.reserve(r_.fragmentBuffer.size() + 4);
        inflated = r_.fragmentBuffer;
        if (!inflateMessage(r_, inflated)) {
            endFragmentation();
            decompressionFailed();
            return;
        }
        message = &inflated;
    }
    RsiScan scan;
    if (scanForEvent(*message, scan)) {
        r_.fragmentationRunning = false;
        r_.status = ParseStatus::FragmentedMessageComplete;
        return;
    }
    if (scan.position < scan.length) {
        r_.errorMessage =
            "Websocket RSI parsing error at position " + std::to_string(scan.position);
    } else {
        r_.errorMessage = "Could not parse URI from request";
    }
    // The message is over either way; the client's next message starts afresh.
    endFragmentation();
    rejected();
}

}  // namespace

void parseWebSocketFrame(ParseResult& result, const uint8_t* data, uint32_t length) {
    result.resetMessage();
    result.method = "GET";
    FrameParser(result, data, length).run();
}

std::string buildWebSocketFrame(const uint8_t* payload, uint64_t length, FrameKind kind,
                                bool masked, uint32_t maskingKey, bool compressed) {
    static constexpr uint8_t kFirstBytes[] = {0x81, 0x01, 0x00, 0x80};
    uint8_t first = kFirstBytes[static_cast<uint8_t>(kind) & 0x3];
    if (compressed && (kind == FrameKind::FinalText || kind == FrameKind::FirstFragment)) {
        first |= kRsv1Bit;
    }
    const uint8_t maskBit = masked ? kMaskBit : 0;

    std::string frame;
    frame.reserve(static_cast<size_t>(length) + 14);
    frame.push_back(static_cast<char>(first));
    if (length <= 125) {
        frame.push_back(static_cast<char>(maskBit | length));
    } else if (length <= 0xffff) {
        frame.push_back(static_cast<char>(maskBit | kLengthCode16));
        frame.push_back(static_cast<char>(length >> 8));
        frame.push_back(static_cast<char>(length & 0xff));
    } else {
        frame.push_back(static_cast<char>(maskBit | kLengthCode64));
        for (int shift = 56; shift >= 0; shift -= 8) {
            frame.push_back(static_cast<char>((length >> shift) & 0xff));
        }
    }
    if (!masked) {
        if (length != 0) {
            frame.append(reinterpret_cast<const char*>(payload), static_cast<size_t>(length));
        }
        return frame;
    }
    uint8_t key[4];
    for (int k = 0; k < 4; ++k) {
        key[k] = static_cast<uint8_t>(maskingKey >> (24 - 8 * k));
        frame.push_back(static_cast<char>(key[k]));
    }
    const size_t base = frame.size();
    frame.resize(base + static_cast<size_t>(length));
    for (size_t j = 0; j < length; ++j) {
        frame[base + j] = static_cast<char>(payload[j] ^ key[j % 4]);
    }
    return frame;
}

}  // namespace parser
