#include "parser/ResponseTracker.h"

#include <algorithm>
#include <string_view>

namespace parser {

namespace {

// A response head longer than this is not followed further.
constexpr size_t MAX_HEAD = 16 * 1024;
constexpr std::string_view HEAD_END = "\r\n\r\n";
// More digits could not be a length any transfer reaches.
constexpr size_t MAX_LENGTH_DIGITS = 18;

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
}

bool equalsFolded(std::string_view text, std::string_view lowerCase) {
    if (text.size() != lowerCase.size()) {
        return false;
    }
    for (size_t k = 0; k < text.size(); ++k) {
        if (lower(text[k]) != lowerCase[k]) {
            return false;
        }
    }
    return true;
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// What a response head says about the body behind it.
struct ResponseHead {
    int status = 0;
    bool chunked = false;
    bool otherCoding = false;
    bool hasLength = false;
    uint64_t length = 0;
};

// Reads a status line and the fields that frame the body; false when the head is malformed.
bool parseHead(std::string_view head, ResponseHead& out) {
    // "HTTP/1.x NNN"
    if (head.size() < 12 || head.substr(0, 7) != "HTTP/1." || !isDigit(head[7]) || head[8] != ' ' ||
        !isDigit(head[9]) || !isDigit(head[10]) || !isDigit(head[11])) {
        return false;
    }
    out.status = (head[9] - '0') * 100 + (head[10] - '0') * 10 + (head[11] - '0');
    size_t start = head.find("\r\n");
    if (start == std::string_view::npos) {
        return false;
    }
    start += 2;
    while (start < head.size()) {
        const size_t end = head.find("\r\n", start);
        if (end == std::string_view::npos || end == start) {
            break;  // the empty line that ends the head
        }
        const std::string_view line = head.substr(start, end - start);
        start = end + 2;
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos) {
            return false;
        }
        const std::string_view name = line.substr(0, colon);
        const std::string_view value = trimmed(line.substr(colon + 1));
        if (equalsFolded(name, "content-length")) {
            if (value.empty() || value.size() > MAX_LENGTH_DIGITS) {
                return false;
            }
            uint64_t length = 0;
            for (const char c : value) {
                if (!isDigit(c)) {
                    return false;
                }
                length = length * 10 + static_cast<uint64_t>(c - '0');
            }
            if (out.hasLength && out.length != length) {
                return false;
            }
            out.hasLength = true;
            out.length = length;
        } else if (equalsFolded(name, "transfer-encoding")) {
            // The last coding decides; any coding but chunked last leaves the body to the end
            // of the connection.
            const size_t comma = value.rfind(',');
            const std::string_view last =
                trimmed(comma == std::string_view::npos ? value : value.substr(comma + 1));
            out.chunked = equalsFolded(last, "chunked");
            out.otherCoding = !out.chunked;
        }
    }
    return true;
}

}  // namespace

void ResponseTracker::expect(Request request) {
    expected_.push_back(request);
}

bool ResponseTracker::upgradeAwaited() const {
    for (size_t index = next_; index < expected_.size(); ++index) {
        if (expected_[index] == Request::Upgrade) {
            return true;
        }
    }
    return false;
}

ResponseTracker::Outcome ResponseTracker::lose() {
    const bool awaited = upgradeAwaited();
    state_ = State::Lost;
    std::string().swap(head_);
    std::vector<Request>().swap(expected_);
    next_ = 0;
    return awaited ? Outcome::Refused : Outcome::None;
}

ResponseTracker::Outcome ResponseTracker::feed(const uint8_t* data, size_t length) {
    Outcome outcome = Outcome::None;
    const char* bytes = reinterpret_cast<const char*>(data);
    size_t position = 0;
    while (position < length && active()) {
        switch (state_) {
            case State::Head: {
                const std::string_view rest(bytes + position, length - position);
                if (head_.empty()) {
                    // Usually the whole head is at hand: parsed where it lies, without a copy.
                    const size_t end = rest.find(HEAD_END);
                    if (end != std::string_view::npos) {
                        head_.assign(rest.substr(0, end + HEAD_END.size()));
                        position += end + HEAD_END.size();
                        if (const Outcome o = headComplete(); o != Outcome::None) {
                            outcome = o;
                        }
                        break;
                    }
                }
                const size_t before = head_.size();
                head_.append(rest);
                const size_t end = head_.find(HEAD_END, before >= 3 ? before - 3 : 0);
                if (end == std::string::npos) {
                    if (head_.size() > MAX_HEAD) {
                        return lose();
                    }
                    position = length;
                    break;
                }
                const size_t headLength = end + HEAD_END.size();
                position += headLength - before;
                head_.resize(headLength);
                if (const Outcome o = headComplete(); o != Outcome::None) {
                    outcome = o;
                }
                break;
            }
            case State::Body: {
                const uint64_t taken = std::min<uint64_t>(remaining_, length - position);
                remaining_ -= taken;
                position += static_cast<size_t>(taken);
                if (remaining_ == 0) {
                    state_ = State::Head;
                }
                break;
            }
            case State::Chunked: {
                size_t consumed = 0;
                const ChunkedBody::Result result =
                    chunks_.feed(data + position, length - position, consumed);
                if (result == ChunkedBody::Result::Invalid) {
                    return lose();
                }
                position += consumed;
                if (result == ChunkedBody::Result::Done) {
                    state_ = State::Head;
                }
                break;
            }
            case State::UntilClose:
            case State::Tunnel:
            case State::Lost:
                position = length;
                break;
        }
    }
    return outcome;
}

ResponseTracker::Outcome ResponseTracker::headComplete() {
    ResponseHead head;
    const bool parsed = parseHead(head_, head);
    head_.clear();
    if (!parsed) {
        return lose();
    }
    const bool anyExpected = next_ < expected_.size();
    const Request request = anyExpected ? expected_[next_] : Request::Plain;
    if (head.status >= 100 && head.status < 200) {
        if (head.status != 101) {
            // Interim: the final response to the same request follows.
            return Outcome::None;
        }
        // The protocol changes: nothing after this head is HTTP any more.
        const bool switched = request == Request::Upgrade;
        state_ = State::Tunnel;
        std::vector<Request>().swap(expected_);
        next_ = 0;
        return switched ? Outcome::Switched : Outcome::None;
    }
    if (anyExpected && ++next_ == expected_.size()) {
        expected_.clear();
        next_ = 0;
    }
    const Outcome outcome = request == Request::Upgrade ? Outcome::Refused : Outcome::None;
    if (request == Request::Head || head.status == 204 || head.status == 304) {
        state_ = State::Head;
    } else if (head.chunked) {
        chunks_.reset();
        state_ = State::Chunked;
    } else if (head.otherCoding || !head.hasLength) {
        // Delimited by the end of the connection: no response follows it.
        const bool awaited = upgradeAwaited();
        state_ = State::UntilClose;
        return awaited ? Outcome::Refused : outcome;
    } else {
        remaining_ = head.length;
        state_ = remaining_ == 0 ? State::Head : State::Body;
    }
    return outcome;
}

}  // namespace parser
