#pragma once

#include <cstdint>
#include <memory>
#include <utility>

namespace connection {
class Connection;
}

namespace io {

// Event flags in both directions (registration and hand-out); independent of epoll's bits.
constexpr uint32_t EVENT_INPUT = 1;
constexpr uint32_t EVENT_OUTPUT = 2;
constexpr uint32_t EVENT_HANGUP = 4;
constexpr uint32_t EVENT_ERROR = 8;
constexpr uint32_t EVENT_NEW_CONNECTION = 16;
// Handed out only, beside EVENT_HANGUP: the socket is closed in both directions (epoll's
// EPOLLHUP), not merely at the end of its input (EPOLLRDHUP).
constexpr uint32_t EVENT_CLOSED = 32;

// The events a connection normally runs with: input and hang-up, plus output while data is
// queued. Connection::wantedEvents() derives the set from the connection's state.
constexpr uint32_t EVENTS_DEFAULT = EVENT_INPUT | EVENT_HANGUP;
constexpr uint32_t EVENTS_WITH_OUTPUT = EVENT_INPUT | EVENT_OUTPUT | EVENT_HANGUP;

// One (connection, flags) pair handed out by nextEvent(). A null connection with flags 0 is an
// interruption, a blanked event or a failed wait; with EVENT_NEW_CONNECTION it is the listening
// socket.
using MultiplexerEvent = std::pair<connection::Connection*, uint32_t>;

// The single place where a worker thread waits for socket readiness.
//
// Threading: every operation except interrupt() belongs to the owning thread and takes no lock.
// interrupt() may be called from any thread at any time.
// Ownership: the multiplexer stores connection addresses only; it never owns connections, nor
// the listening socket.
class ConnectionMultiplexer {
public:
    virtual ~ConnectionMultiplexer() = default;

    virtual bool addConnection(connection::Connection* connection, uint32_t flags) = 0;
    virtual bool modifyConnection(connection::Connection* connection, uint32_t flags) = 0;
    // After this returns, nextEvent() never yields this connection from an earlier wait, so the
    // caller may delete it.
    virtual void removeConnection(connection::Connection* connection) = 0;
    // As removeConnection, for a socket that is closed right after: closing takes it out of
    // epoll by itself, so only the events of the last wait are blanked, without a system call.
    virtual void forgetConnection(connection::Connection* connection) = 0;
    // Blocks until an event is available when none is pending from the last wait; a wait that
    // lasts timeoutMilliseconds (-1: no limit) without an event yields (null, 0).
    virtual MultiplexerEvent nextEvent(int timeoutMilliseconds = -1) = 0;
    // Whether events of the last wait are still to be handed out, so the next nextEvent() does
    // not wait.
    virtual bool eventsPending() const = 0;
    // Makes a blocked nextEvent() return (null, 0); N calls give N such results.
    virtual void interrupt() = 0;
    // Only one listening socket can be registered; a second call fails without a system call.
    virtual bool addListeningSocket(int descriptor) = 0;
    // Returns the descriptor that was registered (the caller closes it), or -1 when none was.
    virtual int removeListeningSocket() = 0;

    // Builds the epoll implementation; null when its set-up failed. The caller owns the result.
    static std::unique_ptr<ConnectionMultiplexer> create();
};

}  // namespace io
