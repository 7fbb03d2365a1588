#include "parser/ChunkedBody.h"

#include <gtest/gtest.h>

namespace {

using parser::ChunkedBody;
using Result = ChunkedBody::Result;

struct Fed {
    Result result;
    size_t consumed;
};

// Feeds the body in pieces of the given sizes (the last piece takes the rest), stopping at the
// first result other than NeedMore, and adds up what was consumed.
Fed feedPieces(const std::string& body, const std::vector<size_t>& sizes) {
    ChunkedBody decoder;
    const auto* data = reinterpret_cast<const uint8_t*>(body.data());
    Fed fed{Result::NeedMore, 0};
    size_t offset = 0;
    for (size_t k = 0; k <= sizes.size() && fed.result == Result::NeedMore; ++k) {
        const size_t size = k < sizes.size() ? sizes[k] : body.size() - offset;
        size_t consumed = 0;
        fed.result = decoder.feed(data + offset, size, consumed);
        EXPECT_TRUE(fed.result != Result::NeedMore || consumed == size);
        fed.consumed += consumed;
        offset += size;
    }
    if (fed.result != Result::NeedMore) {
        // Finished: further bytes are not taken.
        size_t consumed = 1;
        EXPECT_EQ(decoder.feed(data, body.size(), consumed), fed.result);
        EXPECT_EQ(consumed, 0u);
    }
    return fed;
}

TEST(ChunkedBodyTest, SameResultWhereverTheBytesAreSplit) {
    const std::string line4092 = "4;" + std::string(4092, 'a') + "\r\n";
    const std::string trailer8192 = "0\r\nA: " + std::string(8185, 'b') + "\r\n\r\n";
    const struct {
        std::string body;
        Result result;
        size_t consumed;  // on Invalid: the offset of the byte found wrong
    } cases[] = {
        {"0\r\n\r\n", Result::Done, 5},
        {"4\r\nabcd\r\n0\r\n\r\nGET /", Result::Done, 14},
        {"000A\r\n0123456789\r\n00\r\n\r\n", Result::Done, 24},
        {"4;a\r\nabcd\r\n0;b=c;d=\"e\\\"f;\" ;g = h\t;i\r\n\r\n", Result::Done, 40},
        {"0\r\nExpires: x\r\nA:\r\n\r\nrest", Result::Done, 21},
        {line4092 + "abcd\r\n0\r\n\r\n", Result::Done, 4096 + 11},
        {trailer8192, Result::Done, 3 + 8192},
        {"00fffffffffffffff\r\nab", Result::NeedMore, 21},
        {"4\r\nab", Result::NeedMore, 5},
        // Sizes: not hexadecimal, signed, prefixed, blank around, too many digits.
        {"x\r\n", Result::Invalid, 0},
        {"-4\r\n", Result::Invalid, 0},
        {"0x4\r\n", Result::Invalid, 1},
        {" 4\r\n", Result::Invalid, 0},
        {"4 \r\n", Result::Invalid, 2},
        {"1000000000000000\r\n", Result::Invalid, 15},
        // Extensions without a name or value, blanks inside, an open quote.
        {"4;\r\n", Result::Invalid, 2},
        {"4;a=\r\n", Result::Invalid, 4},
        {"4;a b\r\n", Result::Invalid, 4},
        {"4;a=\"x\r\n", Result::Invalid, 6},
        // Line ends: bare LF, no CR LF after the data.
        {"4\nabcd", Result::Invalid, 1},
        {"4\r\nabcdX\r\n", Result::Invalid, 7},
        {"4\r\nabcd\n0\r\n\r\n", Result::Invalid, 7},
        {"0\r\n\n", Result::Invalid, 3},
        // Trailer fields: the identity field, folding, blanks before the colon, controls.
        {"0\r\nX-SWID: a\r\n\r\n", Result::Invalid, 9},
        {"0\r\nx-swid:a\r\n\r\n", Result::Invalid, 9},
        {"0\r\n folded\r\n\r\n", Result::Invalid, 3},
        {"0\r\nA : b\r\n\r\n", Result::Invalid, 4},
        {"0\r\nA: b\n\r\n", Result::Invalid, 7},
        {"0\r\nA: b\x01\r\n\r\n", Result::Invalid, 7},
        // Over-long size line and trailer section.
        {"4;" + std::string(4093, 'a') + "\r\n", Result::Invalid, 4096},
        {"0\r\nA: " + std::string(8186, 'b') + "\r\n\r\n", Result::Invalid, 3 + 8192},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body.substr(0, 40));
        // The long bodies are split more coarsely; byte by byte below covers every offset.
        const size_t step = c.body.size() > 100 ? 61 : 1;
        for (size_t split = 0; split <= c.body.size(); split += step) {
            const Fed fed = feedPieces(c.body, {split});
            ASSERT_EQ(fed.result, c.result) << "split at " << split;
            ASSERT_EQ(fed.consumed, c.consumed) << "split at " << split;
        }
        const Fed bytewise = feedPieces(c.body, std::vector<size_t>(c.body.size(), 1));
        EXPECT_EQ(bytewise.result, c.result);
        EXPECT_EQ(bytewise.consumed, c.consumed);
    }
}

}  // namespace
