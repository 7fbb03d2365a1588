#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "parser/ChunkedBody.h"

namespace parser {

// Follows the responses a server sends on one HTTP/1.1 connection, without changing or holding
// back any byte of them, so that the proxy knows which response answers which request: in
// particular whether the server agreed to an upgrade request (101) or refused it. Heads are
// parsed; bodies are skipped by their length or chunk framing.
//
// A response that cannot be framed (a malformed head, a body delimited by the connection's end)
// ends the tracking: nothing after it can be told apart, and an upgrade answer awaited then
// counts as refused.
//
// Threading: used by one connection's handler thread only.
class ResponseTracker {
public:
    enum class Request : uint8_t { Plain, Head, Upgrade };
    enum class Outcome : uint8_t { None, Switched, Refused };

    // A request of this kind went to the server; its response is expected after those of the
    // requests before it.
    void expect(Request request);
    // Takes the next bytes of the server's stream. Returns the answer to an upgrade request when
    // that answer's head ends within them (or tracking ends while one is awaited).
    Outcome feed(const uint8_t* data, size_t length);
    // Whether the stream is still followed; false once it is a tunnel or could not be framed.
    bool active() const {
        return state_ == State::Head || state_ == State::Body || state_ == State::Chunked;
    }
    // Whether the next body bytes can pass without being looked at, and how many.
    uint64_t bodyBytesAhead() const { return state_ == State::Body ? remaining_ : 0; }

private:
    enum class State : uint8_t { Head, Body, Chunked, UntilClose, Tunnel, Lost };

    // A complete head of `length` bytes in head_: decides what follows it.
    Outcome headComplete();
    Outcome lose();
    bool upgradeAwaited() const;

    State state_ = State::Head;
    // The part of the current head received so far.
    std::string head_;
    uint64_t remaining_ = 0;
    ChunkedBody chunks_;
    // Requests whose final response has not come yet, oldest at next_.
    std::vector<Request> expected_;
    size_t next_ = 0;
};

}  // namespace parser
