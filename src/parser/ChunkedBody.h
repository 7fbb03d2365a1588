#pragma once

#include <cstddef>
#include <cstdint>

namespace parser {

// Placeholder until the chunked decoder lands: every body is invalid.
class ChunkedBody {
public:
    enum class Result { NeedMore, Done, Invalid };
    void reset() {}
    Result feed(const uint8_t* /*data*/, size_t /*length*/, size_t& consumed) {
        consumed = 0;
        return Result::Invalid;
    }
};

}  // namespace parser
