#include "parser/HttpParser.h"

#include <cstddef>
#include <cstdint>
#include <limits>

#include "parser/BoundedNumber.h"

namespace parser {

namespace {

// GET / HTTP/1.1 CR LF CR LF
constexpr uint32_t kShortestRequest = 18;

uint8_t toLower(uint8_t c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<uint8_t>(c + ('a' - 'A')) : c;
}

// `pattern` is lower case; the buffer bytes are folded before the comparison.
bool matchesFolded(const uint8_t* data, const char* pattern, size_t count) {
    for (size_t k = 0; k < count; ++k) {
        if (toLower(data[k]) != static_cast<uint8_t>(pattern[k])) {
            return false;
        }
    }
    return true;
}

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

bool fitsLength(int64_t value, bool overflow) {
    return !overflow && value >= 0 && value <= std::numeric_limits<int32_t>::max();
}

// Indices are kept in size_t so that no sum of an index and a length can wrap around.
class RequestScanner {
public:
    RequestScanner(ParseResult& result, const uint8_t* data, size_t length)
        : result_(result), data_(data), length_(length) {}

    void run(size_t start);

private:
    enum class ChunkStep { Continue, SkipTo, Return };

    void finish();
    ChunkStep chunkedBody(size_t& i);
    void headerTests(size_t i);
    void incomplete() {
        result_.overhead = static_cast<uint32_t>(length_);
        result_.status = ParseStatus::Incomplete;
    }

    ParseResult& result_;
    const uint8_t* data_;
    size_t length_;
    // Header value first; once the chunked body starts, the sum of the chunks with their framing.
    int64_t contentLength_ = 0;
    bool contentLengthInvalid_ = false;
    bool chunked_ = false;
    bool versionSeen_ = false;
    bool upgradeSeen_ = false;
    size_t headerEnd_ = 0;
    size_t chunkBase_ = 0;
    bool headersDone_ = false;
};

void RequestScanner::run(size_t start) {
    size_t i = start;
    while (i < length_) {
        if (!headersDone_ && i + 3 < length_ && isCrLfCrLf(data_ + i)) {
            headerEnd_ = i + 4;
            if (!chunked_) {
                finish();
                return;
            }
            if (chunkBase_ == 0) {
                chunkBase_ = i + 3;
                headersDone_ = true;
                // A length header beside chunked framing means the request can be framed two
                // ways; the server behind us might pick the other one and see a request that was
                // never checked. Frame it by its chunks so the bytes after it stay in step, but
                // refuse it.
                if (contentLength_ != 0 || contentLengthInvalid_) {
                    result_.status = ParseStatus::Invalid;
                }
                contentLength_ = 0;
            }
        }
        if (chunked_ && chunkBase_ != 0 && chunkBase_ < i) {
            switch (chunkedBody(i)) {
                case ChunkStep::Return:
                    return;
                case ChunkStep::SkipTo:
                    continue;
                case ChunkStep::Continue:
                    break;
            }
        }
        headerTests(i);
        ++i;
    }
    if (!headersDone_) {
        incomplete();
    }
}

RequestScanner::ChunkStep RequestScanner::chunkedBody(size_t& i) {
    const uint64_t consumedSoFar = chunkBase_ + static_cast<uint64_t>(contentLength_);
    if (data_[i - 2] == '\r' && data_[i - 1] == '\n' && data_[i] != '0' && data_[i] != '\r') {
        const BoundedNumber size = readBoundedNumber(data_ + i, length_ - i, 16);
        if (size.reachedEnd) {
            // The size line is cut by the end of the buffer: its digits may go on.
            incomplete();
            return ChunkStep::Return;
        }
        if (data_[i + size.consumed] != '\r' || !fitsLength(size.value, size.overflow)) {
            result_.status = ParseStatus::Invalid;
            return ChunkStep::Return;
        }
        const uint64_t extent = size.consumed + static_cast<uint64_t>(size.value) + 4;
        if (i + extent > length_) {
            incomplete();
            return ChunkStep::Return;
        }
        const size_t next = i + static_cast<size_t>(extent);
        if (data_[next - 2] != '\r' || data_[next - 1] != '\n') {
            result_.status = ParseStatus::Invalid;
            return ChunkStep::Return;
        }
        contentLength_ += static_cast<int64_t>(extent);
        i = next;
        return ChunkStep::SkipTo;
    }
    if (i + 4 < length_ && matchesExactly(data_ + i, "0\r\n\r\n", 5)) {
        if (consumedSoFar + 6 < length_) {
            result_.overhead = static_cast<uint32_t>(length_ - 6 - consumedSoFar);
        }
        if (contentLength_ != 0) {
            result_.bodyStart = static_cast<uint32_t>(headerEnd_);
            result_.bodyEnd = static_cast<uint32_t>(headerEnd_ + contentLength_ - 1);
        }
        return ChunkStep::Return;
    }
    if (consumedSoFar + 6 > length_) {
        incomplete();
        return ChunkStep::Return;
    }
    return ChunkStep::Continue;
}

void RequestScanner::headerTests(size_t i) {
    const uint8_t* at = data_ + i;
    if (i + 16 < length_ && matchesFolded(at, "content-length", 14)) {
        // Once the chunked body has started the count is ours; a stray name there must not
        // replace it.
        if (!headersDone_) {
            // Read where ": " normally ends, with strtol's base 0, so 010 is eight and 0x10
            // sixteen.
            const BoundedNumber number = readBoundedNumber(at + 16, length_ - i - 16, 0);
            if (fitsLength(number.value, number.overflow)) {
                contentLength_ = number.value;
            } else {
                contentLengthInvalid_ = true;
                contentLength_ = 0;
                result_.status = ParseStatus::Invalid;
            }
        }
    } else if (i + 8 < length_ && matchesFolded(at, "chunked\r\n", 9)) {
        chunked_ = true;
    } else if (i + 10 < length_ && matchesFolded(at, "websocket\r\n", 11)) {
        upgradeSeen_ = true;
    } else if (i + 6 < length_ && matchesExactly(at + 1, "HTTP/", 5) && at[6] >= '0' &&
               at[6] <= '9') {
        versionSeen_ = true;
        // Only the major digit decides, so 1.0 passes as well.
        if (at[6] != '1') {
            result_.status = ParseStatus::Invalid;
        }
    } else if (!versionSeen_ && i > result_.method.size()) {
        // The bound counts from the buffer start, not from where the method was found; callers
        // see leading garbage as a target that does not start with a slash.
        result_.uri.push_back(static_cast<char>(*at));
    }
}

void RequestScanner::finish() {
    result_.upgradeRequested = upgradeSeen_;
    if (contentLengthInvalid_) {
        // The body cannot be delimited; the request ends with its header area as far as we know.
        result_.overhead = static_cast<uint32_t>(length_ - headerEnd_);
        result_.status = ParseStatus::Invalid;
        return;
    }
    const uint64_t end = headerEnd_ + static_cast<uint64_t>(contentLength_);
    if (end <= length_) {
        if (contentLength_ != 0) {
            result_.bodyStart = static_cast<uint32_t>(headerEnd_);
            result_.bodyEnd = static_cast<uint32_t>(end - 1);
        }
        result_.overhead = static_cast<uint32_t>(length_ - end);
        return;
    }
    if (result_.status == ParseStatus::Invalid) {
        // A refused request stays refused however much of its body has arrived.
        return;
    }
    result_.missingBytes = static_cast<uint32_t>(end - length_);
    // bodyEnd is the buffer length here, one past the last byte at hand: callers rely on this
    // value, and whoever copies the body so far must stop at the last byte received.
    result_.bodyStart = static_cast<uint32_t>(headerEnd_);
    result_.bodyEnd = static_cast<uint32_t>(length_);
    result_.status = ParseStatus::BodyIncomplete;
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
    result.method.clear();
    result.uri.clear();
    result.errorMessage.clear();
    result.overhead = 0;
    result.missingBytes = 0;
    result.bodyStart = 0;
    result.bodyEnd = 0;
    result.status = ParseStatus::Complete;
    result.upgradeRequested = false;

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
    RequestScanner(result, data, length).run(start);
}

}  // namespace parser
