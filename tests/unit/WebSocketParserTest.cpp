#include <gtest/gtest.h>

#include "Deflater.h"
#include "RecordingLogger.h"
#include "parser/WebSocketParser.h"

namespace {

using parser::FrameKind;
using parser::ParseResult;
using enum parser::ParseStatus;

const std::string kEvent = R"({"event":"/svc/res"})";
constexpr uint32_t kKey = 0x11223344;

std::string frame(const std::string& payload, FrameKind kind = FrameKind::FinalText,
                  uint32_t key = kKey, bool compressed = false, bool masked = true) {
    return parser::buildWebSocketFrame(reinterpret_cast<const uint8_t*>(payload.data()),
                                       payload.size(), kind, masked, key, compressed);
}

// A frame with another first byte (opcode, FIN, RSV1).
std::string withFirst(std::string bytes, uint8_t first) {
    bytes[0] = static_cast<char>(first);
    return bytes;
}

// A text frame announcing `length` payload bytes in the 8-byte form, of which `payload` is there.
std::string longFrame(uint64_t length, const std::string& payload, uint8_t first = 0x81) {
    std::string bytes = {static_cast<char>(first), static_cast<char>(0xff)};
    for (int shift = 56; shift >= 0; shift -= 8) {
        bytes.push_back(static_cast<char>(length >> shift));
    }
    return bytes + std::string(4, '\0') + payload;  // masking key 0
}

void parse(ParseResult& r, const std::string& bytes, size_t length = std::string::npos) {
    length = std::min(length, bytes.size());
    parser::parseWebSocketFrame(r, reinterpret_cast<const uint8_t*>(bytes.data()),
                                static_cast<uint32_t>(length));
    EXPECT_EQ(r.method, "GET");
    EXPECT_LE(r.overhead, length);
    EXPECT_LE(r.fragmentBuffer.size(), 8192u);
}

struct Case {
    std::string bytes;
    parser::ParseStatus status;
    std::string text;  // uri for the statuses that carry one, errorMessage otherwise
    uint64_t missing = 0;
    size_t cut = std::string::npos;  // bytes handed over
};

// Lengths, keys and the early look at a message still arriving must never let an event through
// unchecked or wait for bytes that cannot come (refused frames are test_websocket.py's part).
TEST(WebSocketParserTest, SingleFrames) {
    const std::string big = kEvent + std::string(9000 - kEvent.size(), ' ');
    const std::vector<Case> cases = {
        {frame(kEvent), FrameIncomplete, "", 0, 5},
        {frame(""), MessageRejected, "No websocket request URI/event found"},
        {frame(kEvent), Complete, "/svc/res"},
        {frame(kEvent, FrameKind::FinalText, 0), Complete, "/svc/res"},
        {frame(kEvent, FrameKind::FinalText, 0, false, false), Complete, "/svc/res"},
        {longFrame(uint64_t{1} << 63, "", 0x87), ProtocolError,
         "Websocket opcodes 0x2 to 0x7 are not allowed"},
        // An early look at an unfragmented message.
        {frame(big), BodyIncomplete, "/svc/res", 9008 - 100, 100},
        {frame(std::string(9000, ' ')), ProtocolError, "Websocket message exceeds 8kiB", 0, 100},
        {frame(std::string(1000, ' ') + kEvent), FrameIncomplete, "", 0, 100},
        {longFrame(uint64_t{1} << 62, kEvent), BodyIncomplete, "/svc/res",
         (uint64_t{1} << 62) + 14 - (14 + kEvent.size())},
        {longFrame(~uint64_t{0}, kEvent), ProtocolError, "Websocket message exceeds 8kiB"},
        // None for a compressed one, whose first bytes must not reach the inflater twice.
        {frame(kEvent + std::string(500, ' '), FrameKind::FinalText, kKey, true), FrameIncomplete,
         "", 0, 100},
        {frame(big, FrameKind::FinalText, kKey, true), ProtocolError,
         "Websocket message exceeds 8kiB", 0, 100},
        {frame(testing_support::Deflater().message(kEvent), FrameKind::FinalText, 0, true, false),
         Complete, "/svc/res"},
    };
    for (const Case& c : cases) {
        ParseResult r;
        parse(r, c.bytes, c.cut);
        const bool carriesUri = c.status == Complete || c.status == BodyIncomplete;
        EXPECT_EQ(r.status, c.status) << c.text;
        EXPECT_EQ(carriesUri ? r.uri : r.errorMessage, c.text);
        EXPECT_EQ(r.missingBytes, c.missing) << c.text;
        EXPECT_EQ(r.overhead, c.status == FrameIncomplete ? std::min(c.cut, c.bytes.size()) : 0);
    }
}

// Every prefix of a frame waits for the rest (or, for an uncompressed whole message, lets it
// through early with the same event); two frames in one buffer are parsed one after the other.
TEST(WebSocketParserTest, SplitFramesAndFollowingFrames) {
    for (const std::string& bytes :
         {frame(kEvent), frame(std::string(300, ' ') + kEvent), frame("{}"),
          withFirst(frame("ping"), 0x89), frame(kEvent, FrameKind::FirstFragment),
          frame(testing_support::Deflater().message(kEvent), FrameKind::FinalText, kKey, true)}) {
        ParseResult whole;
        parse(whole, bytes + frame(std::string(24, ' ')));
        EXPECT_EQ(whole.overhead, 30u);
        for (size_t cut = 0; cut < bytes.size(); ++cut) {
            ParseResult r;
            parse(r, bytes, cut);
            if (r.status == BodyIncomplete) {
                EXPECT_FALSE(whole.compressed);
                EXPECT_EQ(whole.status, Complete);
                EXPECT_EQ(r.uri, whole.uri);
                EXPECT_EQ(r.missingBytes, bytes.size() - cut);
            } else {
                EXPECT_EQ(r.status, FrameIncomplete) << cut;
                EXPECT_FALSE(r.fragmentationRunning);
            }
        }
    }
}

// One connection's frames in order: the status of each, and the message a completed
// fragmentation is rebuilt into.
TEST(WebSocketParserTest, FragmentedMessages) {
    struct Step {
        std::string bytes;
        parser::ParseStatus status;
        std::string text = {};  // uri, or errorMessage for a refusal
    };
    const std::vector<Step> steps = {
        {frame(R"({"event":)", FrameKind::FirstFragment), FragmentStored},
        {withFirst(frame("ping"), 0x89), ControlFrame},
        {frame(R"("/svc)", FrameKind::MiddleFragment), FragmentStored},
        {frame(R"(/res"})", FrameKind::FinalFragment, 0), FragmentedMessageComplete, "/svc/res"},
        {frame(R"({"x":1,)", FrameKind::FirstFragment), FragmentStored},
        {frame(R"("y":2,)", FrameKind::FinalFragment), MessageRejected,
         "Could not parse URI from request"},
        // Nothing is left over from the refused message.
        {frame(kEvent, FrameKind::FirstFragment), FragmentStored},
        {frame(kEvent, FrameKind::FirstFragment), ProtocolError,
         "Websocket fragmentation start while fragmentation already running"},
        {frame(R"({"x":1})", FrameKind::FirstFragment), FragmentStored},
        {frame("}", FrameKind::FinalFragment), MessageRejected,
         "Websocket RSI parsing error at position 6"},
    };
    testing_support::RecordingLogger logger;
    ParseResult r;
    for (const Step& step : steps) {
        parse(r, step.bytes);
        EXPECT_EQ(r.status, step.status) << step.text;
        const bool refused = step.status == ProtocolError || step.status == MessageRejected;
        EXPECT_EQ(refused ? r.errorMessage : r.uri, step.text);
        if (refused) {
            EXPECT_FALSE(r.fragmentationRunning);
            EXPECT_TRUE(r.fragmentBuffer.empty());
        }
        if (r.status != FragmentedMessageComplete) {
            continue;
        }
        // The rebuilt frame carries exactly the collected message, masked with the last key.
        const std::string rebuilt = parser::buildWebSocketFrame(
            reinterpret_cast<const uint8_t*>(r.fragmentBuffer.data()), r.fragmentBuffer.size(),
            FrameKind::FinalText, r.masked, r.maskingKey, r.fragmentCompressed);
        EXPECT_EQ(rebuilt, frame(kEvent, FrameKind::FinalText, 0));
        r.fragmentBuffer.clear();
    }
    EXPECT_EQ(logger.count("double fragmentation initiation"), 1u);
}

}  // namespace
