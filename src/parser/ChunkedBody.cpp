#include "parser/ChunkedBody.h"

#include <algorithm>

#include "parser/HttpSyntax.h"

namespace parser {

namespace {

using namespace syntax;

int hexValue(uint8_t c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    const uint8_t folded = toLower(c);
    if (folded >= 'a' && folded <= 'f') {
        return folded - 'a' + 10;
    }
    return -1;
}

// Marks a trailer field name that can no longer be the identity field.
constexpr uint8_t kNotIdentity = 0xFF;

}  // namespace

ChunkedBody::Result ChunkedBody::feed(const uint8_t* data, size_t length, size_t& consumed) {
    consumed = 0;
    while (consumed < length && state_ != State::Done && state_ != State::Invalid) {
        if (state_ == State::Data) {
            // Chunk data is only counted, never looked at.
            const uint64_t taken = std::min<uint64_t>(remaining_, length - consumed);
            consumed += static_cast<size_t>(taken);
            remaining_ -= taken;
            if (remaining_ == 0) {
                state_ = State::DataCr;
            }
            continue;
        }
        const bool inSizeLine = state_ <= State::SizeLf;
        const size_t bound = inSizeLine ? kMaxSizeLine : kMaxTrailer;
        if (inSizeLine || state_ >= State::TrailerLineStart) {
            if (++lineLength_ > bound) {
                state_ = State::Invalid;
                break;
            }
        }
        const State next = step(data[consumed]);
        state_ = next;
        if (next == State::Invalid) {
            break;
        }
        ++consumed;
    }
    switch (state_) {
        case State::Done:
            return Result::Done;
        case State::Invalid:
            return Result::Invalid;
        default:
            return Result::NeedMore;
    }
}

ChunkedBody::State ChunkedBody::step(uint8_t c) {
    switch (state_) {
        case State::SizeFirst:
        case State::Size: {
            const int digit = hexValue(c);
            if (digit >= 0) {
                // Leading zeros are not significant and do not count against the bound.
                if (sizeDigits_ != 0 || digit != 0) {
                    if (++sizeDigits_ > kMaxSizeDigits) {
                        return State::Invalid;
                    }
                    remaining_ = remaining_ * 16 + static_cast<uint64_t>(digit);
                }
                return State::Size;
            }
            if (state_ == State::SizeFirst) {
                return State::Invalid;
            }
            if (c == ';') {
                return State::ExtNameStart;
            }
            if (c == '\r') {
                return State::SizeLf;
            }
            return isBlank(c) ? State::ExtBlank : State::Invalid;
        }
        case State::ExtBlank:
            if (c == ';') {
                return State::ExtNameStart;
            }
            return isBlank(c) ? State::ExtBlank : State::Invalid;
        case State::ExtNameStart:
            if (isTokenChar(c)) {
                return State::ExtName;
            }
            return isBlank(c) ? State::ExtNameStart : State::Invalid;
        case State::ExtName:
        case State::ExtAfterName:
            if (state_ == State::ExtName && isTokenChar(c)) {
                return State::ExtName;
            }
            if (c == '=') {
                return State::ExtValueStart;
            }
            if (c == ';') {
                return State::ExtNameStart;
            }
            if (c == '\r' && state_ == State::ExtName) {
                return State::SizeLf;
            }
            return isBlank(c) ? State::ExtAfterName : State::Invalid;
        case State::ExtValueStart:
            if (isTokenChar(c)) {
                return State::ExtToken;
            }
            if (c == '"') {
                return State::ExtQuoted;
            }
            return isBlank(c) ? State::ExtValueStart : State::Invalid;
        case State::ExtToken:
        case State::ExtAfterQuoted:
            if (state_ == State::ExtToken && isTokenChar(c)) {
                return State::ExtToken;
            }
            if (c == ';') {
                return State::ExtNameStart;
            }
            if (c == '\r') {
                return State::SizeLf;
            }
            return isBlank(c) ? State::ExtBlank : State::Invalid;
        case State::ExtQuoted:
            if (c == '"') {
                return State::ExtAfterQuoted;
            }
            if (c == '\\') {
                return State::ExtQuotedPair;
            }
            return isFieldValueByte(c) ? State::ExtQuoted : State::Invalid;
        case State::ExtQuotedPair:
            return isFieldValueByte(c) ? State::ExtQuoted : State::Invalid;
        case State::SizeLf:
            if (c != '\n') {
                return State::Invalid;
            }
            lineLength_ = 0;
            return remaining_ == 0 ? State::TrailerLineStart : State::Data;
        case State::DataCr:
            return c == '\r' ? State::DataLf : State::Invalid;
        case State::DataLf:
            if (c != '\n') {
                return State::Invalid;
            }
            sizeDigits_ = 0;
            lineLength_ = 0;
            return State::SizeFirst;
        case State::TrailerLineStart:
            if (c == '\r') {
                return State::FinalLf;
            }
            identityMatch_ = 0;
            [[fallthrough]];
        case State::TrailerName:
            if (isTokenChar(c)) {
                const bool extends = identityMatch_ < kIdentityFieldLength &&
                                     toLower(c) == kIdentityField[identityMatch_];
                identityMatch_ = extends ? static_cast<uint8_t>(identityMatch_ + 1) : kNotIdentity;
                return State::TrailerName;
            }
            // Blanks before the colon, a folded line, a line without a name or without a colon.
            if (c != ':' || state_ == State::TrailerLineStart ||
                identityMatch_ == kIdentityFieldLength) {
                return State::Invalid;
            }
            return State::TrailerValue;
        case State::TrailerValue:
            if (c == '\r') {
                return State::TrailerLf;
            }
            return isFieldValueByte(c) ? State::TrailerValue : State::Invalid;
        case State::TrailerLf:
            return c == '\n' ? State::TrailerLineStart : State::Invalid;
        case State::FinalLf:
            return c == '\n' ? State::Done : State::Invalid;
        case State::Data:
        case State::Done:
        case State::Invalid:
            break;
    }
    return state_;
}

}  // namespace parser
