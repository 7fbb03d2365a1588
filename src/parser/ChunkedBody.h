#pragma once

#include <cstddef>
#include <cstdint>

namespace parser {

// Follows one chunked request body across any number of reads, so that the proxy knows exactly
// where the body ends and the next request starts, as a strict server would. It keeps a few
// integers of state and never allocates or copies: a body of any size, split anywhere, passes
// with constant memory, and feeding the same bytes in any split gives the same results.
//
// Accepted: chunk-size as hexadecimal digits (any number of leading zeros, at most
// kMaxSizeDigits significant ones), optional extensions `;name[=value]` with token or
// quoted-string values and optional blanks around ';' and '=', CR LF, the chunk data, CR LF;
// then a chunk of size zero, trailer field lines (a token name directly followed by a colon, a
// value without control characters, CR LF) and the final CR LF. Anything else is Invalid, as are
// a size line longer than kMaxSizeLine bytes, a trailer section longer than kMaxTrailer bytes
// and a trailer field named X-SWID (a server may merge trailer fields into the head, where that
// field would claim an identity the proxy never checked).
//
// Not thread-safe; used by the owning connection's thread only.
class ChunkedBody {
public:
    enum class Result { NeedMore, Done, Invalid };

    // 15 hexadecimal digits keep every size below 2^60, so sizes and counts never overflow.
    static constexpr unsigned kMaxSizeDigits = 15;
    // A size line with its extensions and its CR LF.
    static constexpr size_t kMaxSizeLine = 4096;
    // Every trailer field line and the final CR LF together.
    static constexpr size_t kMaxTrailer = 8192;

    // Prepares for the first byte of a new body.
    void reset() { *this = ChunkedBody(); }

    // Takes the next `length` bytes of the stream. `consumed` is the number of them that belong
    // to the body: all of them on NeedMore; on Done, up to and including the body's final CR LF
    // (the bytes after it belong to the next request); on Invalid, those before the byte at
    // which the body went wrong. Once Done or Invalid, further calls repeat that result and
    // consume nothing until reset. `data` may be null when `length` is 0.
    Result feed(const uint8_t* data, size_t length, size_t& consumed);

private:
    enum class State : uint8_t {
        SizeFirst,         // first hexadecimal digit of a chunk size
        Size,              // further digits
        ExtBlank,          // blanks after the size or a value: only ';' may follow
        ExtNameStart,      // after ';'
        ExtName,           //
        ExtAfterName,      // blanks after a name: ';' or '=' must follow
        ExtValueStart,     // after '='
        ExtToken,          //
        ExtQuoted,         // inside a quoted string
        ExtQuotedPair,     // after a backslash inside a quoted string
        ExtAfterQuoted,    // after the closing quote
        SizeLf,            // CR of the size line seen
        Data,              // chunk data, remaining_ bytes left
        DataCr,            // CR LF after the chunk data
        DataLf,            //
        TrailerLineStart,  // a field line or the final CR LF
        TrailerName,       //
        TrailerValue,      //
        TrailerLf,         // CR of a field line seen
        FinalLf,           // CR of the final line seen
        Done,
        Invalid,
    };

    State step(uint8_t c);

    State state_ = State::SizeFirst;
    // The chunk size while its line is read, then the data bytes still to come.
    uint64_t remaining_ = 0;
    // Bytes of the current size line, or of the trailer section so far.
    size_t lineLength_ = 0;
    // Significant digits of the chunk size read so far.
    uint8_t sizeDigits_ = 0;
    // Length of the trailer field name while it still spells a prefix of X-SWID; past it, a
    // value that no prefix has.
    uint8_t identityMatch_ = 0;
};

}  // namespace parser
