#include <gtest/gtest.h>

#include <random>

#include "Deflater.h"
#include "RecordingLogger.h"
#include "parser/Inflate.h"

namespace {

using parser::ParseResult;
using testing_support::Deflater;

const std::string kEvent = R"({"event":"/a/b"})";

std::string pseudoRandom(size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string text(size, '\0');
    for (char& c : text) {
        c = static_cast<char>('!' + generator() % 90);
    }
    return text;
}

// Every message must inflate to what was sent, whether the sender kept its history, dropped it or
// ended the stream (with or without the stray byte some senders put after the final block).
TEST(InflateTest, ConnectionKeepsItsStreamAcrossMessages) {
    const std::vector<std::string> texts = {kEvent, kEvent, pseudoRandom(3000, 1), kEvent,
                                            pseudoRandom(3000, 1) + kEvent};
    for (const int flush : {Z_SYNC_FLUSH, Z_FULL_FLUSH, Z_FINISH, -1}) {
        Deflater deflater;
        ParseResult result;
        for (size_t k = 0; k < texts.size(); ++k) {
            // -1: a final block for the second message only, the history kept otherwise.
            std::string payload = deflater.message(
                texts[k], flush != -1 ? flush : (k == 1 ? Z_FINISH : Z_SYNC_FLUSH));
            if (flush == Z_FINISH && k % 2 == 1) {
                payload.push_back('\0');
            }
            ASSERT_TRUE(parser::inflateMessage(result, payload)) << flush << " " << k;
            EXPECT_EQ(payload, texts[k]) << flush << " " << k;
        }
    }
}

TEST(InflateTest, FailuresAreLoggedAndReported) {
    struct Case {
        std::string compressed;
        const char* log;
    };
    Deflater deflater;
    const std::vector<Case> cases = {
        {std::string(20, '\xff'), "Z_DATA_ERROR"},  // a reserved block type
        {Deflater().message(std::string(8193, 'a')), "Not enough zlib out buffer storage"},
        {Deflater().message(pseudoRandom(8193, 2)), "Not enough zlib out buffer storage"},
        {Deflater().message(std::string(8192, 'a')), nullptr},
        {Deflater().message(pseudoRandom(8192, 2)), nullptr},
    };
    for (const Case& c : cases) {
        testing_support::RecordingLogger logger;
        ParseResult result;
        std::string payload = c.compressed;
        EXPECT_EQ(parser::inflateMessage(result, payload), c.log == nullptr);
        if (c.log == nullptr) {
            EXPECT_EQ(payload.size(), 8192u);
            EXPECT_TRUE(logger.texts().empty());
        } else {
            EXPECT_EQ(logger.count(c.log), 1u) << c.log;
        }
    }
}

}  // namespace
