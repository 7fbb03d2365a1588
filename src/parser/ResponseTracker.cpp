#include "parser/ResponseTracker.h"

#include <algorithm>
#include <string_view>

#include "parser/HttpSyntax.h"

namespace parser {

namespace {

using syntax::equalsFolded;
using syntax::isDigit;
using syntax::trimBlanks;

// A response head longer than this is not followed further.
constexpr size_t MAX_HEAD = 16 * 1024;
constexpr std::string_view HEAD_END = "\r\n\r\n";
// More digits could not be a length any transfer reaches.
constexpr size_t MAX_LENGTH_DIGITS = 18;
// A frame payload announced longer than this is not followed further.
constexpr uint64_t MAX_FRAME_PAYLOAD = uint64_t{1} << 62;

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
        const std::string_view value = trimBlanks(line.substr(colon + 1));
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
                trimBlanks(comma == std::string_view::npos ? value : value.substr(comma + 1));
            out.chunked = equalsFolded(last, "chunked");
            out.otherCoding = !out.chunked;
        }
    }
    return true;
}

}  // namespace

void ResponseTracker::expect(Request request) {
    expected_.push_back(request == Request::Upgrade ? Entry::Upgrade
                        : request == Request::Head  ? Entry::Head
                                                    : Entry::Plain);
}

bool ResponseTracker::queueAnswer() {
    if (!active() || (atBoundary() && next_ == expected_.size())) {
        return false;
    }
    expected_.push_back(Entry::Answer);
    return true;
}

bool ResponseTracker::takeDueAnswer() {
    if (next_ < expected_.size() && expected_[next_] == Entry::Answer &&
        (atBoundary() || !active())) {
        popExpected();
        return true;
    }
    return false;
}

bool ResponseTracker::atBoundary() const {
    switch (state_) {
        case State::Head:
            return head_.empty();
        case State::Frames:
            return !inFrame_ && frameHeaderFill_ == 0 && !inMessage_;
        default:
            return false;
    }
}

void ResponseTracker::popExpected() {
    if (++next_ >= expected_.size()) {
        expected_.clear();
        next_ = 0;
    }
}

bool ResponseTracker::upgradeAwaited() const {
    for (size_t index = next_; index < expected_.size(); ++index) {
        if (expected_[index] == Entry::Upgrade) {
            return true;
        }
    }
    return false;
}

ResponseTracker::Outcome ResponseTracker::lose() {
    const bool awaited = upgradeAwaited();
    state_ = State::Lost;
    std::string().swap(head_);
    // Answers of the proxy's own still wait for their turn; now it has come.
    std::vector<Entry> answers;
    for (size_t index = next_; index < expected_.size(); ++index) {
        if (expected_[index] == Entry::Answer) {
            answers.push_back(Entry::Answer);
        }
    }
    expected_.swap(answers);
    next_ = 0;
    return awaited ? Outcome::Refused : Outcome::None;
}

ResponseTracker::Step ResponseTracker::advance(const uint8_t* data, size_t length) {
    Step step;
    const char* bytes = reinterpret_cast<const char*>(data);
    size_t& position = step.consumed;
    while (position < length && active()) {
        if (next_ < expected_.size() && expected_[next_] == Entry::Answer && atBoundary()) {
            return step;  // the caller passes this much on, then sends the answer
        }
        switch (state_) {
            case State::Head: {
                const std::string_view rest(bytes + position, length - position);
                size_t end = std::string_view::npos;
                if (head_.empty()) {
                    // Usually the whole head is at hand: parsed where it lies, without a copy.
                    end = rest.find(HEAD_END);
                    if (end != std::string_view::npos) {
                        position += end + HEAD_END.size();
                        step.outcome = headComplete(rest.substr(0, end + HEAD_END.size()));
                        if (step.outcome != Outcome::None) {
                            return step;
                        }
                        break;
                    }
                }
                const size_t before = head_.size();
                head_.append(rest);
                end = head_.find(HEAD_END, before >= 3 ? before - 3 : 0);
                if (end == std::string::npos) {
                    if (head_.size() > MAX_HEAD) {
                        step.outcome = lose();
                        return step;
                    }
                    position = length;
                    break;
                }
                const size_t headLength = end + HEAD_END.size();
                position += headLength - before;
                head_.resize(headLength);
                const std::string head = std::move(head_);
                head_.clear();
                step.outcome = headComplete(head);
                if (step.outcome != Outcome::None) {
                    return step;
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
                    step.outcome = lose();
                    return step;
                }
                position += consumed;
                if (result == ChunkedBody::Result::Done) {
                    state_ = State::Head;
                }
                break;
            }
            case State::Frames:
                position += frameBytes(data + position, length - position);
                break;
            case State::UntilClose:
            case State::Tunnel:
            case State::Lost:
                position = length;
                break;
        }
    }
    if (!active()) {
        position = length;
    }
    return step;
}

size_t ResponseTracker::frameBytes(const uint8_t* data, size_t length) {
    size_t position = 0;
    while (!inFrame_ && position < length) {
        frameHeader_[frameHeaderFill_++] = data[position++];
        if (frameHeaderFill_ < 2) {
            continue;
        }
        if (frameHeaderFill_ < websocket::headerLength(frameHeader_[1])) {
            continue;
        }
        const uint64_t payload = websocket::payloadLength(frameHeader_);
        if (payload > MAX_FRAME_PAYLOAD) {
            lose();
            return length;
        }
        remaining_ = payload;
        frameHeaderFill_ = 0;
        inFrame_ = true;
    }
    if (!inFrame_) {
        return position;
    }
    const uint64_t taken = std::min<uint64_t>(remaining_, length - position);
    remaining_ -= taken;
    position += static_cast<size_t>(taken);
    if (remaining_ == 0) {
        inFrame_ = false;
        // Control frames may come between the frames of a message; data frames end it with FIN.
        const uint8_t opcode = frameHeader_[0] & websocket::kOpcodeBits;
        if (opcode < websocket::kFirstControlOpcode) {
            inMessage_ = (frameHeader_[0] & websocket::kFinBit) == 0;
        }
    }
    return position;
}

ResponseTracker::Outcome ResponseTracker::headComplete(std::string_view text) {
    ResponseHead head;
    if (!parseHead(text, head)) {
        return lose();
    }
    const bool anyExpected = next_ < expected_.size();
    const Entry request = anyExpected ? expected_[next_] : Entry::Plain;
    if (head.status >= 100 && head.status < 200) {
        if (head.status != 101) {
            // Interim: the final response to the same request follows.
            return Outcome::None;
        }
        if (request == Entry::Upgrade) {
            // From here on the server sends WebSocket frames.
            popExpected();
            state_ = State::Frames;
            return Outcome::Switched;
        }
        // Another protocol, not understood: nothing after this head can be followed.
        state_ = State::Tunnel;
        return Outcome::None;
    }
    if (anyExpected) {
        popExpected();
    }
    const Outcome outcome = request == Entry::Upgrade ? Outcome::Refused : Outcome::None;
    if (request == Entry::Head || head.status == 204 || head.status == 304) {
        state_ = State::Head;
    } else if (head.chunked) {
        chunks_.reset();
        state_ = State::Chunked;
    } else if (head.otherCoding || !head.hasLength) {
        // Delimited by the end of the connection: no response follows it.
        const Outcome lost = lose();
        state_ = State::UntilClose;
        return lost == Outcome::Refused ? lost : outcome;
    } else {
        remaining_ = head.length;
        state_ = remaining_ == 0 ? State::Head : State::Body;
    }
    return outcome;
}

}  // namespace parser
