// Feeds arbitrary bytes through the WebSocket frame parser three ways: one frame with fresh state,
// checked against a header decoder of its own and against every sampled prefix of the frame; a
// connection's sequence of frames with the fragment and inflate state carried from frame to frame
// and completed messages rebuilt as the caller does; and the bytes as the payload of built frames.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>

#include "FuzzCheck.h"
#include "parser/WebSocketParser.h"

namespace {

using parser::FrameKind;
using parser::ParseResult;
using enum parser::ParseStatus;

constexpr uint64_t kLimit = 8192;

struct Header {
    bool whole = false;  // the header with its key is in the bytes
    bool masked = false;
    uint64_t dataOffset = 0;
    uint64_t payloadLength = 0;
    uint64_t frameEnd = 0;  // saturated
};

Header decode(const uint8_t* data, size_t size) {
    Header h;
    if (size < 2) {
        return h;
    }
    const uint8_t announced = data[1] & 0x7f;
    const size_t extra = announced == 126 ? 2 : (announced == 127 ? 8 : 0);
    h.masked = (data[1] & 0x80) != 0;
    h.dataOffset = 2 + extra + (h.masked ? 4 : 0);
    if (size < h.dataOffset) {
        return h;
    }
    h.whole = true;
    h.payloadLength = extra == 0 ? announced : 0;
    for (size_t k = 0; k < extra; ++k) {
        h.payloadLength = (h.payloadLength << 8) | data[2 + k];
    }
    const uint64_t max = std::numeric_limits<uint64_t>::max();
    h.frameEnd = h.payloadLength > max - h.dataOffset ? max : h.dataOffset + h.payloadLength;
    return h;
}

void parse(ParseResult& r, const uint8_t* data, size_t length) {
    parser::parseWebSocketFrame(r, data, static_cast<uint32_t>(length));
}

// What holds after every parse, whatever came before.
void checkResult(const ParseResult& r, size_t length) {
    FUZZ_CHECK(r.method == "GET");
    FUZZ_CHECK(r.overhead <= length);
    FUZZ_CHECK(r.fragmentBuffer.size() <= kLimit);
    FUZZ_CHECK(r.uri.size() <= kLimit);
    FUZZ_CHECK(r.bodyStart == 0 && r.bodyEnd == 0 && !r.upgradeRequested);
    FUZZ_CHECK((r.missingBytes != 0) == (r.status == BodyIncomplete));
    FUZZ_CHECK(!r.fragmentCompressed || r.compressed);
    const bool carriesUri =
        r.status == Complete || r.status == BodyIncomplete || r.status == FragmentedMessageComplete;
    FUZZ_CHECK(carriesUri != r.uri.empty());
    const bool refused = r.status == MessageRejected || r.status == ProtocolError;
    FUZZ_CHECK(refused != r.errorMessage.empty());
    switch (r.status) {
        case FrameIncomplete:
            FUZZ_CHECK(r.overhead == length);
            break;
        case BodyIncomplete:
            FUZZ_CHECK(r.overhead == 0 && !r.fragmentationRunning);
            FUZZ_CHECK(r.missingBytes <= (uint64_t{1} << 62) + 14);
            break;
        case FragmentStored:
            FUZZ_CHECK(r.fragmentationRunning);
            FUZZ_CHECK(r.overhead < length);
            break;
        case Complete:
        case FragmentedMessageComplete:
        case MessageRejected:
            FUZZ_CHECK(!r.fragmentationRunning);
            FUZZ_CHECK(r.status != MessageRejected || !r.compressed);
            FUZZ_CHECK(r.overhead < length);
            break;
        case ControlFrame:
            FUZZ_CHECK(r.overhead < length);
            break;
        case ProtocolError:
            break;
        default:
            FUZZ_CHECK(false && "status of the HTTP parser");
    }
    if (!r.fragmentationRunning && r.status != FragmentedMessageComplete) {
        FUZZ_CHECK(r.fragmentBuffer.empty());
    }
}

void checkFreshFrame(const uint8_t* data, size_t size) {
    ParseResult whole;
    parse(whole, data, size);
    checkResult(whole, size);
    const Header h = decode(data, size);
    if (size < 6 || !h.whole) {
        FUZZ_CHECK(whole.status == FrameIncomplete);
        return;
    }
    // A compressed message refused after its frame was taken whole; the other protocol errors
    // drop the overhead.
    const bool compressedRefusal = whole.status == ProtocolError &&
                                   (whole.errorMessage == "Websocket decompression failed" ||
                                    whole.errorMessage == "No websocket request URI/event found" ||
                                    whole.errorMessage.starts_with("Websocket RSI parsing error"));
    const bool frameTaken = whole.status == Complete || whole.status == ControlFrame ||
                            whole.status == FragmentStored || whole.status == MessageRejected ||
                            compressedRefusal;
    if (whole.status == BodyIncomplete) {
        FUZZ_CHECK(h.frameEnd > size && whole.missingBytes == h.frameEnd - size);
    } else if (frameTaken) {
        FUZZ_CHECK(h.frameEnd <= size && whole.overhead == size - h.frameEnd);
    }
    if (!frameTaken) {
        return;
    }
    // Fewer bytes of the same frame: wait for the rest (every frame that fits the buffer is
    // judged whole).
    const size_t end = static_cast<size_t>(h.frameEnd);
    const size_t step = end / 48 + 1;
    for (size_t cut = 0; cut < end; cut += (cut < 64 ? 1 : step)) {
        ParseResult r;
        parse(r, data, cut);
        checkResult(r, cut);
        FUZZ_CHECK(r.status == FrameIncomplete);
    }
}

// The caller forwards a completed fragmented message as one frame.
void checkRebuilt(const ParseResult& r) {
    const std::string rebuilt = parser::buildWebSocketFrame(
        reinterpret_cast<const uint8_t*>(r.fragmentBuffer.data()), r.fragmentBuffer.size(),
        FrameKind::FinalText, r.masked, r.maskingKey, r.fragmentCompressed);
    const auto* bytes = reinterpret_cast<const uint8_t*>(rebuilt.data());
    FUZZ_CHECK(bytes[0] == (r.fragmentCompressed ? 0xc1 : 0x81));
    if (r.fragmentCompressed) {
        // Inflating it again needs the connection's history; the frame is checked in
        // checkBuilder.
        return;
    }
    ParseResult fresh;
    parse(fresh, bytes, rebuilt.size());
    FUZZ_CHECK(fresh.status == Complete && fresh.uri == r.uri && fresh.overhead == 0);
    FUZZ_CHECK(fresh.masked == r.masked && (!r.masked || fresh.maskingKey == r.maskingKey));
}

// One connection: the input arrives in reads of `readSize` bytes into an 8192-byte receive
// buffer, and the results are acted on as the caller does: an incomplete frame is kept and parsed
// again with the next read, the rest of a message let through early is passed over unparsed, a
// completed fragmented message is rebuilt, and a protocol error ends the connection.
void checkConnection(const uint8_t* data, size_t size, size_t readSize) {
    ParseResult r;
    std::string buffer;
    size_t offset = 0;
    uint64_t passThrough = 0;
    while (offset < size) {
        const size_t room = kLimit - buffer.size();
        const size_t taken = std::min({room, readSize, size - offset});
        buffer.append(reinterpret_cast<const char*>(data) + offset, taken);
        offset += taken;
        const size_t skipped = static_cast<size_t>(std::min<uint64_t>(passThrough, buffer.size()));
        passThrough -= skipped;
        size_t position = skipped;
        while (position < buffer.size()) {
            const size_t length = buffer.size() - position;
            parse(r, reinterpret_cast<const uint8_t*>(buffer.data()) + position, length);
            checkResult(r, length);
            if (r.status == ProtocolError) {
                return;
            }
            if (r.status == FrameIncomplete) {
                if (length == kLimit) {
                    return;  // can never complete: the caller closes
                }
                break;
            }
            if (r.status == BodyIncomplete) {
                passThrough = r.missingBytes;
                position = buffer.size();
                break;
            }
            if (r.status == FragmentedMessageComplete) {
                checkRebuilt(r);
                r.fragmentBuffer.clear();
            }
            FUZZ_CHECK(r.overhead < length);
            position = buffer.size() - r.overhead;
        }
        buffer.erase(0, position);
    }
}

// The bytes as a payload: the frame built must decode to them.
void checkBuilder(const uint8_t* data, size_t size) {
    const uint8_t selector = size > 0 ? data[0] : 0;
    const auto kind = static_cast<FrameKind>(selector & 0x3);
    const bool masked = (selector & 0x4) != 0;
    const bool compressed = (selector & 0x8) != 0;
    uint32_t key = 0;
    for (size_t k = 0; k < 4 && k < size; ++k) {
        key = (key << 8) | data[k];
    }
    const std::string frame =
        parser::buildWebSocketFrame(data, size, kind, masked, key, compressed);
    const auto* bytes = reinterpret_cast<const uint8_t*>(frame.data());
    const uint8_t firsts[] = {0x81, 0x01, 0x00, 0x80};
    const bool rsv1 =
        compressed && (kind == FrameKind::FinalText || kind == FrameKind::FirstFragment);
    FUZZ_CHECK(bytes[0] == (firsts[selector & 0x3] | (rsv1 ? 0x40 : 0)));
    const Header h = decode(bytes, frame.size());
    FUZZ_CHECK(h.whole && h.masked == masked && h.payloadLength == size);
    FUZZ_CHECK(h.frameEnd == frame.size());
    // The shortest length form.
    const uint8_t announced = bytes[1] & 0x7f;
    FUZZ_CHECK(announced == (size <= 125 ? size : (size <= 0xffff ? 126 : 127)));
    const uint8_t* keyBytes = bytes + h.dataOffset - 4;
    for (size_t j = 0; j < size; ++j) {
        const uint8_t mask = masked ? keyBytes[j % 4] : 0;
        FUZZ_CHECK(static_cast<uint8_t>(bytes[h.dataOffset + j] ^ mask) == data[j]);
    }
    if (masked) {
        for (int k = 0; k < 4; ++k) {
            FUZZ_CHECK(keyBytes[k] == static_cast<uint8_t>(key >> (24 - 8 * k)));
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > std::numeric_limits<uint32_t>::max()) {
        return 0;
    }
    // No parse is handed more than the receive buffer holds.
    checkFreshFrame(data, std::min<size_t>(size, kLimit));
    checkConnection(data, size, kLimit);
    // Frames cut at other places: the same frames must come out whole.
    checkConnection(data, size, size > 0 ? 1 + (data[size - 1] * 37u) % 300 : 1);
    checkBuilder(data, size);
    return 0;
}
