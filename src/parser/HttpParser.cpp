#include "parser/HttpParser.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "parser/ChunkedBody.h"
#include "parser/HttpSyntax.h"

namespace parser {

namespace {

using namespace syntax;

// GET / HTTP/1.1 CR LF CR LF
constexpr uint32_t kShortestRequest = 18;

// Bodies are passed through by count and never held, so the bound only has to keep every sum of
// an index and a length inside 64 bits.
constexpr uint64_t kMaxContentLength = uint64_t{1} << 62;

bool matchesExactly(const uint8_t* data, const char* pattern, size_t count) {
    for (size_t k = 0; k < count; ++k) {
        if (data[k] != static_cast<uint8_t>(pattern[k])) {
            return false;
        }
    }
    return true;
}

bool isCrLfCrLf(const uint8_t* data) {
    return data[0] == '\r' && data[1] == '\n' && data[2] == '\r' && data[3] == '\n';
}

// The fields the parser acts on; all others are only checked for their syntax.
enum class Field { Other, ContentLength, TransferEncoding, Upgrade, Identity };

Field classify(const uint8_t* name, size_t length) {
    if (length == 14 && matchesFolded(name, "content-length", 14)) {
        return Field::ContentLength;
    }
    if (length == 17 && matchesFolded(name, "transfer-encoding", 17)) {
        return Field::TransferEncoding;
    }
    if (length == 7 && matchesFolded(name, "upgrade", 7)) {
        return Field::Upgrade;
    }
    if (length == kIdentityFieldLength && matchesFolded(name, kIdentityField, length)) {
        return Field::Identity;
    }
    return Field::Other;
}

// One Content-Length value: decimal digits, blanks around them. Signs, prefixes, lists and
// anything else would be read differently by some server.
class ContentLengthValue {
public:
    bool take(uint8_t c) {
        if (isBlank(c)) {
            after_ = digits_;
            return true;
        }
        if (!isDigit(c) || after_ || value_ > kMaxContentLength / 10) {
            return false;
        }
        digits_ = true;
        value_ = value_ * 10 + static_cast<uint64_t>(c - '0');
        return value_ <= kMaxContentLength;
    }
    bool complete() const { return digits_; }
    uint64_t value() const { return value_; }

private:
    uint64_t value_ = 0;
    bool digits_ = false;
    bool after_ = false;
};

// The transfer codings of all Transfer-Encoding fields of a head, read as one comma-separated
// list of tokens. Only a list whose last element is chunked, and which has chunked nowhere
// else, frames a body the way every server does.
class TransferCodings {
public:
    void startField() { position_ = Position::Before; }
    bool take(uint8_t c) {
        if (isBlank(c)) {
            if (position_ == Position::In) {
                position_ = Position::After;
            }
            return true;
        }
        if (c == ',') {
            return endElement();
        }
        // Parameters, quotes and blanks inside an element are refused rather than interpreted.
        if (!isTokenChar(c) || position_ == Position::After) {
            return false;
        }
        if (position_ == Position::Before) {
            position_ = Position::In;
            length_ = 0;
            chunkedSoFar_ = true;
        }
        chunkedSoFar_ = chunkedSoFar_ && length_ < 7 && toLower(c) == "chunked"[length_];
        ++length_;
        return true;
    }
    bool endField() { return endElement(); }
    bool seen() const { return seen_; }
    bool chunked() const { return lastChunked_; }

private:
    enum class Position { Before, In, After };

    bool endElement() {
        // An empty element (or an empty field), or anything after chunked.
        if (position_ == Position::Before || lastChunked_) {
            return false;
        }
        lastChunked_ = chunkedSoFar_ && length_ == 7;
        seen_ = true;
        position_ = Position::Before;
        return true;
    }

    Position position_ = Position::Before;
    size_t length_ = 0;
    bool chunkedSoFar_ = false;
    bool lastChunked_ = false;
    bool seen_ = false;
};

enum class Scan { Ok, NeedMore, Bad };

// One pass over the head, line by line: the request line, the field lines, the empty line. Any
// shape that two HTTP implementations could frame differently is a framing error.
// Indices are kept in size_t so that no sum of an index and a length can wrap around.
class RequestScanner {
public:
    RequestScanner(ParseResult& result, const uint8_t* data, size_t length)
        : result_(result), data_(data), length_(length) {}

    void run(size_t position);

private:
    Scan requestLine(size_t position, size_t& i);
    Scan version(size_t& i);
    Scan fieldLines(size_t& i);
    Scan fieldLine(size_t& i);
    void finish(size_t headEnd);
    void chunkedBody(size_t headEnd, bool supported);
    void framingError() {
        result_.overhead = 0;
        result_.chunked = false;
        result_.upgradeRequested = false;
        result_.framingError = true;
        result_.status = ParseStatus::Invalid;
    }

    ParseResult& result_;
    const uint8_t* data_;
    size_t length_;
    uint8_t major_ = 0;
    uint8_t minor_ = 0;
    bool contentLengthSeen_ = false;
    uint64_t contentLength_ = 0;
    TransferCodings codings_;
    bool upgrade_ = false;
};

void RequestScanner::run(size_t position) {
    size_t i = 0;
    Scan scan = requestLine(position, i);
    if (scan == Scan::Ok) {
        scan = fieldLines(i);
    }
    switch (scan) {
        case Scan::Ok:
            finish(i);
            return;
        case Scan::NeedMore:
            result_.overhead = static_cast<uint32_t>(length_);
            result_.status = ParseStatus::Incomplete;
            return;
        case Scan::Bad:
            framingError();
            return;
    }
}

Scan RequestScanner::requestLine(size_t position, size_t& i) {
    const size_t methodEnd = position + result_.method.size();
    // The blank is required in both forms: without it the target of a request found behind
    // leading garbage could start with a slash and be checked and forwarded.
    if (data_[methodEnd] != ' ') {
        return Scan::Bad;
    }
    if (position == 0) {
        const size_t targetStart = methodEnd + 1;
        i = targetStart;
        while (i < length_ && data_[i] >= 0x21 && data_[i] <= 0x7E) {
            ++i;
        }
        if (i == length_) {
            return Scan::NeedMore;
        }
        if (data_[i] != ' ' || i == targetStart) {
            return Scan::Bad;
        }
        result_.uri.assign(reinterpret_cast<const char*>(data_) + targetStart, i - targetStart);
        ++i;
        return version(i);
    }
    // A method found behind leading bytes: the target runs from the blank after the method to
    // the byte before "HTTP/", so it starts with that blank and the caller refuses it.
    for (i = methodEnd;; ++i) {
        if (data_[i] == '\r' || data_[i] == '\n') {
            return Scan::Bad;
        }
        if (i + 6 >= length_) {
            return Scan::NeedMore;
        }
        if (matchesExactly(data_ + i + 1, "HTTP/", 5) && isDigit(data_[i + 6])) {
            result_.uri.assign(reinterpret_cast<const char*>(data_) + methodEnd, i - methodEnd);
            ++i;
            return version(i);
        }
    }
}

Scan RequestScanner::version(size_t& i) {
    static constexpr char kShape[] = "HTTP/#.#\r\n";
    for (size_t k = 0; k + 1 < sizeof(kShape); ++k) {
        if (i + k >= length_) {
            return Scan::NeedMore;
        }
        const uint8_t c = data_[i + k];
        if (kShape[k] == '#' ? !isDigit(c) : c != static_cast<uint8_t>(kShape[k])) {
            return Scan::Bad;
        }
    }
    major_ = data_[i + 5];
    minor_ = data_[i + 7];
    i += sizeof(kShape) - 1;
    return Scan::Ok;
}

Scan RequestScanner::fieldLines(size_t& i) {
    while (i < length_) {
        if (data_[i] == '\r') {
            if (i + 1 == length_) {
                return Scan::NeedMore;
            }
            if (data_[i + 1] != '\n') {
                return Scan::Bad;
            }
            i += 2;
            return Scan::Ok;
        }
        if (const Scan scan = fieldLine(i); scan != Scan::Ok) {
            return scan;
        }
    }
    return Scan::NeedMore;
}

Scan RequestScanner::fieldLine(size_t& i) {
    // A line that starts with a blank (a folded line), blanks before the colon, an empty name or
    // no colon at all all end this loop on a byte other than a colon.
    const size_t nameStart = i;
    while (i < length_ && isTokenChar(data_[i])) {
        ++i;
    }
    if (i == length_) {
        return Scan::NeedMore;
    }
    if (data_[i] != ':' || i == nameStart) {
        return Scan::Bad;
    }
    const Field field = classify(data_ + nameStart, i - nameStart);
    const size_t valueStart = i + 1;
    ContentLengthValue length;
    if (field == Field::TransferEncoding) {
        codings_.startField();
    }
    for (++i; i < length_ && data_[i] != '\r'; ++i) {
        const uint8_t c = data_[i];
        if (!isFieldValueByte(c)) {
            return Scan::Bad;
        }
        switch (field) {
            case Field::ContentLength:
                if (!length.take(c)) {
                    return Scan::Bad;
                }
                break;
            case Field::TransferEncoding:
                if (!codings_.take(c)) {
                    return Scan::Bad;
                }
                break;
            case Field::Upgrade:
            case Field::Identity:
            case Field::Other:
                break;
        }
    }
    if (i + 1 >= length_) {
        return Scan::NeedMore;
    }
    if (data_[i + 1] != '\n') {
        return Scan::Bad;
    }
    const std::string_view value(reinterpret_cast<const char*>(data_ + valueStart), i - valueStart);
    i += 2;
    switch (field) {
        case Field::ContentLength:
            // Repeats of one value are harmless; differing ones leave the choice to the server.
            if (!length.complete() || (contentLengthSeen_ && length.value() != contentLength_)) {
                return Scan::Bad;
            }
            contentLengthSeen_ = true;
            contentLength_ = length.value();
            break;
        case Field::TransferEncoding:
            if (!codings_.endField()) {
                return Scan::Bad;
            }
            break;
        case Field::Upgrade:
            upgrade_ = upgrade_ || equalsFolded(trimBlanks(value), "websocket");
            break;
        case Field::Identity:
            result_.claimsIdentity = true;
            break;
        case Field::Other:
            break;
    }
    return Scan::Ok;
}

void RequestScanner::finish(size_t headEnd) {
    if (codings_.seen()) {
        // A body framed both by length and by chunks can be cut either way, and an HTTP/1.0
        // server may not know transfer codings at all.
        if (!codings_.chunked() || contentLengthSeen_ || (major_ == '1' && minor_ == '0')) {
            framingError();
            return;
        }
    }
    // Another major version is refused, but its extent is still reported so that the caller
    // can skip the request and its body and go on after it.
    const bool supported = major_ == '1';
    if (supported) {
        result_.upgradeRequested = upgrade_;
    } else {
        result_.status = ParseStatus::Invalid;
    }
    if (codings_.seen()) {
        chunkedBody(headEnd, supported);
        return;
    }
    const uint64_t end = headEnd + contentLength_;
    if (end <= length_) {
        if (contentLength_ != 0) {
            result_.bodyStart = static_cast<uint32_t>(headEnd);
            result_.bodyEnd = static_cast<uint32_t>(end - 1);
        }
        result_.overhead = static_cast<uint32_t>(length_ - end);
        return;
    }
    result_.missingBytes = end - length_;
    // bodyEnd is the buffer length here, one past the last byte at hand: callers rely on this
    // value, and whoever copies the body so far must stop at the last byte received.
    result_.bodyStart = static_cast<uint32_t>(headEnd);
    result_.bodyEnd = static_cast<uint32_t>(length_);
    if (supported) {
        result_.status = ParseStatus::BodyIncomplete;
    }
}

void RequestScanner::chunkedBody(size_t headEnd, bool supported) {
    result_.chunked = true;
    ChunkedBody& body = result_.chunkedBody;
    body.reset();
    size_t consumed = 0;
    switch (body.feed(data_ + headEnd, length_ - headEnd, consumed)) {
        case ChunkedBody::Result::Done:
            result_.bodyStart = static_cast<uint32_t>(headEnd);
            result_.bodyEnd = static_cast<uint32_t>(headEnd + consumed - 1);
            result_.overhead = static_cast<uint32_t>(length_ - headEnd - consumed);
            return;
        case ChunkedBody::Result::NeedMore:
            // The rest of the body arrives in later reads, which the caller feeds to
            // result_.chunkedBody until it is done.
            result_.bodyStart = static_cast<uint32_t>(headEnd);
            result_.bodyEnd = static_cast<uint32_t>(length_);
            if (supported) {
                result_.status = ParseStatus::BodyIncomplete;
            }
            return;
        case ChunkedBody::Result::Invalid:
            framingError();
            return;
    }
}

}  // namespace

std::string findHttpMethod(const uint8_t* data, uint32_t& position, uint32_t length) {
    if (data == nullptr) {
        return {};
    }
    // Written as p + 5 < length rather than p < length - 5 so that short buffers do not wrap.
    for (size_t p = position; p + 5 < length; ++p) {
        const uint8_t* at = data + p;
        const char* found = nullptr;
        switch (at[0]) {
            case 'G':
                if (matchesExactly(at + 1, "ET", 2)) {
                    found = "GET";
                }
                break;
            case 'P':
                if (matchesExactly(at + 1, "UT", 2)) {
                    found = "PUT";
                } else if (matchesExactly(at + 1, "OST", 3)) {
                    found = "POST";
                }
                break;
            case 'H':
                if (matchesExactly(at + 1, "EAD", 3)) {
                    found = "HEAD";
                }
                break;
            case 'D':
                if (matchesExactly(at + 1, "ELETE", 5)) {
                    found = "DELETE";
                }
                break;
            case '\r':
                if (isCrLfCrLf(at)) {
                    position = static_cast<uint32_t>(p);
                    return {};
                }
                break;
            default:
                break;
        }
        if (found != nullptr) {
            position = static_cast<uint32_t>(p);
            return found;
        }
        position = static_cast<uint32_t>(p + 1);
    }
    return {};
}

void parseHttpRequest(ParseResult& result, const uint8_t* data, uint32_t length) {
    result.resetMessage();
    result.framingError = false;
    result.chunked = false;
    result.claimsIdentity = false;

    if (data == nullptr || length < kShortestRequest) {
        result.overhead = length;
        result.status = ParseStatus::Incomplete;
        return;
    }

    uint32_t position = 0;
    result.method = findHttpMethod(data, position, length);
    if (result.method.empty()) {
        result.status = ParseStatus::NoMethod;
        return;
    }

    const size_t start = size_t{position} + result.method.size();
    if (start >= length) {
        result.overhead = length;
        result.status = ParseStatus::Incomplete;
        return;
    }
    RequestScanner(result, data, length).run(position);
}

}  // namespace parser
