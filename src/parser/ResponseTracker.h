#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "parser/ChunkedBody.h"
#include "parser/WebSocketFrameHeader.h"

namespace parser {

// Follows what a server sends on one connection, without changing or holding back any byte of
// it, so that the proxy knows where one response (or, after an upgrade, one WebSocket message)
// ends and the next begins:
//  - which response answers which request, in particular whether the server agreed to an upgrade
//    request (101) or refused it;
//  - where an answer of the proxy's own (a refusal of a later request, an error frame) may go to
//    the client without cutting into the server's stream or overtaking responses to requests
//    the client sent before.
// HTTP heads are parsed; bodies are skipped by their length or chunk framing; WebSocket frames by
// their header's length.
//
// A stream that cannot be framed (a malformed head, a body delimited by the connection's end)
// ends the tracking: an upgrade answer awaited then counts as refused, and answers of the proxy
// go out at once.
//
// Threading: used by one connection's handler thread only.
class ResponseTracker {
public:
    enum class Request : uint8_t { Plain, Head, Upgrade };
    enum class Outcome : uint8_t { None, Switched, Refused };

    // What advance() met.
    struct Step {
        // Bytes of the stream taken, to be passed on before anything else is done.
        size_t consumed = 0;
        // The answer to an upgrade request, when its head ended within those bytes.
        Outcome outcome = Outcome::None;
    };

    // A request of this kind went to the server; its response is expected after those of the
    // requests before it.
    void expect(Request request);
    // An answer of the proxy's own is to reach the client after the responses to the requests
    // expected so far (after the server's current message, on a WebSocket). False when it may go
    // out now; true when it waits, and takeDueAnswer() tells when its turn has come.
    bool queueAnswer();
    // Whether the oldest waiting answer of the proxy's own may go out now, at the point the
    // stream has reached; true takes it off the queue.
    bool takeDueAnswer();

    // Takes the next bytes of the server's stream, up to the point where a waiting answer falls
    // due or the answer to an upgrade request is known, or all of them.
    Step advance(const uint8_t* data, size_t length);

    // Whether the stream is still followed.
    bool active() const {
        return state_ == State::Head || state_ == State::Body || state_ == State::Chunked ||
               state_ == State::Frames;
    }

private:
    enum class State : uint8_t { Head, Body, Chunked, Frames, UntilClose, Tunnel, Lost };
    // Entries of the queue of expected responses; Answer stands for one of the proxy's own.
    enum class Entry : uint8_t { Plain, Head, Upgrade, Answer };

    // A complete head: decides what follows it.
    Outcome headComplete(std::string_view head);
    // Takes bytes of one WebSocket frame from the server.
    size_t frameBytes(const uint8_t* data, size_t length);
    Outcome lose();
    bool upgradeAwaited() const;
    // Whether the stream stands between two responses (between two messages on a WebSocket).
    bool atBoundary() const;
    void popExpected();

    State state_ = State::Head;
    // The part of the current head received so far.
    std::string head_;
    uint64_t remaining_ = 0;
    ChunkedBody chunks_;
    // WebSocket frames: the header received so far, and whether a fragmented message is open.
    uint8_t frameHeader_[websocket::kLongestHeader] = {};
    uint8_t frameHeaderFill_ = 0;
    bool inFrame_ = false;
    bool inMessage_ = false;
    // Responses (and answers of the proxy's own) still to come, oldest at next_.
    std::vector<Entry> expected_;
    size_t next_ = 0;
};

}  // namespace parser
