#pragma once

#include <cerrno>
#include <cstdint>
#include <string>
#include <utility>

#include "connection/ReadResult.h"
#include "connection/WriteQueue.h"
#include "io/ConnectionMultiplexer.h"
#include "io/Deadlines.h"

namespace io {
class ConnectionHandlerBase;
}

namespace connection {

// What the incoming side forwarded, so the outgoing side can tell which response answers what.
enum class RequestKind : uint8_t {
    Plain,    // any request whose response has a body as its head says
    Head,     // HEAD: its response never has a body
    Upgrade,  // a WebSocket upgrade request
};

// One socket that the proxy forwards between: the socket itself, its tag for log entries and the
// queue of bytes the socket did not take at once. It links to its peer (the other half of the
// pair) and to the handler that polls it; neither link owns. Received bytes land in the thread's
// ReceiveArea; a connection keeps only what it has not handled yet.
//
// Life cycle: Connecting (an outgoing connect in progress) or Handshaking (a TLS session being
// set up) -> Open -> Closing (requestDisconnect with bytes still queued) -> Disconnected.
// While Open, each direction ends on its own: the end of a socket's input is passed on to the peer
// as a shutdown of its output once the peer's queue is sent (half-close), and the pair closes once
// both directions have ended.
//
// Input is read only while nothing holds it. Each reason (an answer awaited, a full queue on
// either side, an upgrade answer awaited) is held and released on its own, so none can undo
// another.
//
// Threading: constructed on an establisher thread; once a handler has adopted the pair, every
// operation runs on that handler's thread and takes no lock. The one exception is
// hasPendingQuery(), whose answer is written by a capability library thread.
// Ownership: the connection owns its socket. The establisher owns the object until the pair is
// dispatched, then the handler does; destructors never call back into the handler.
class Connection {
public:
    // Creation result, asked by the establisher.
    static constexpr uint32_t StatusReady = 0;
    static constexpr uint32_t StatusNoSocket = 1;
    static constexpr uint32_t StatusNotConnected = 2;

    // Warn about a slow consumer once this many elements are queued (once per episode).
    static constexpr uint64_t LARGE_WRITE_BUFFER_COUNT = 4;

    enum class State : uint8_t { Connecting, Handshaking, Open, Closing, Disconnected };

    // Reasons to stop reading a socket.
    enum InputHold : uint8_t {
        HoldAnswer = 1,     // a capability cache answer is awaited
        HoldPeerQueue = 2,  // the peer's socket has more than the high mark queued
        HoldOwnQueue = 4,   // this socket has more than the high mark of our own answers queued
        HoldUpgrade = 8,    // the server's answer to an upgrade request is awaited
    };

    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // The raw transport; TLS connections replace both. Same results as send()/recv(); a would-block
    // condition is -1 with errno EAGAIN, the end of the peer's stream 0.
    virtual int64_t rawSend(const char* data, uint32_t length);
    virtual int64_t rawReceive(char* buffer, uint32_t length);

    virtual ~Connection();

    // Reads what the socket has and acts on it; called by the handler on an input event, when a
    // capability cache answer arrived, and when held input was released.
    virtual ReadResult conRead() = 0;
    // Ends this connection at once: leaves the handler's multiplexer, closes the socket and is
    // scheduled for deletion. Safe to call more than once.
    virtual void disconnect() = 0;
    // Whether a capability cache query of this connection may still call back; the handler
    // must not delete the connection while this is true.
    virtual bool hasPendingQuery() const;
    // Tells the capability cache to drop this connection's pending query, so that it never calls
    // back; for a handler that goes away while an answer is awaited.
    virtual void cancelPendingQuery();

    // Takes set-up a step further (connect completion, TLS handshake) on a readiness event while
    // Connecting or Handshaking. False when set-up failed (logged); the caller closes the pair.
    virtual bool continueSetUp(uint32_t events);
    // The handler adopted the connection: arms the deadlines its state needs.
    virtual void adopted();
    // The deadline set with setDeadline() passed; logs and closes the pair.
    virtual void deadlineExpired(io::DeadlineKind kind);
    // Bytes received from the socket and not handled yet, which no input event will announce.
    virtual bool hasBufferedInput() const;
    // The incoming side forwarded a request of this kind to this (outgoing) connection.
    virtual void requestForwarded(RequestKind kind);
    // The server answered the upgrade request this (incoming) connection forwarded.
    virtual void upgradeAnswered(bool switched);
    // An answer of the proxy's own for the client of this (outgoing) connection's peer, to be
    // written to the peer once the server's stream reaches a point where it fits; false when it
    // fits now (the caller writes it itself).
    virtual bool queueAnswer(const char* data, size_t length);

    // Sends data or queues what the socket would not take; with data null, flushes the queue
    // (on an output event). 0 when the data was sent or queued, -1 on a failure after which
    // the queue is empty: the caller closes the pair.
    int conWrite(const char* data, uint64_t length);

    // Ends the connection once the queue is sent; at once when nothing is queued.
    void requestDisconnect();
    // Ends this connection at once and lets the peer flush what it holds first.
    void disconnectPair();
    // The socket's input has ended (a receive returned 0): passes the end on to the peer and
    // closes the pair once both directions have ended.
    void endOfInput();

    void holdInput(InputHold reason);
    void releaseInput(InputHold reason);
    bool inputHeld(InputHold reason) const { return (inputHolds_ & reason) != 0; }
    // Whether conRead may receive now.
    bool readable() const { return state_ == State::Open && inputHolds_ == 0 && !inputEnded_; }

    // The events this connection wants from its handler's multiplexer in its current state.
    uint32_t wantedEvents() const;
    // The handler registered the socket for these events.
    void eventsRegistered(uint32_t events);

    int socket() const { return socket_; }
    const std::string& tag() const { return tag_; }
    void setTag(std::string tag) { tag_ = std::move(tag); }
    uint32_t status() const { return status_; }
    State state() const { return state_; }
    io::ConnectionHandlerBase* handler() const { return handler_; }
    void setHandler(io::ConnectionHandlerBase* handler) { handler_ = handler; }
    Connection* peer() const { return peer_; }
    void setPeer(Connection* peer) { peer_ = peer; }
    bool closing() const { return state_ == State::Closing; }
    bool disconnected() const { return state_ == State::Disconnected; }
    bool inputEnded() const { return inputEnded_; }
    bool outputShut() const { return outputShut_; }
    uint64_t writeBufferCount() const { return writeQueue_.count(); }
    uint64_t queuedBytes() const { return writeQueue_.bytes(); }
    io::DeadlineHook& deadlineHook() { return deadlineHook_; }

protected:
    explicit Connection(int socket, State state = State::Open);

    // Whether a failed send or receive only found the socket not ready.
    static bool wouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

    // One receive into the thread's receive area, forwarded unchanged to the peer.
    ReadResult forwardRead();
    // One receive into the thread's receive area: Done with bytesRead_ bytes at `received`, or
    // what ended the read.
    ReadResult receive(char** received);
    // Leaves the handler and closes the socket; false when already disconnected.
    bool disconnectBase();
    // Closes the descriptor; TLS connections whose descriptor belongs to the library override.
    virtual void closeDescriptor();
    // Stops the socket's output after what is queued (half-close); TLS sends its close alert.
    virtual void shutdownOutput();
    // Drops the link to the peer in both directions, so neither half can reach the other once
    // one of them is deleted.
    void unlinkPeer();
    // Reads and drops what the socket holds, so that closing it sends an orderly end.
    virtual void discardUnreadInputBeforeClose();
    // Whether the output can be shut down while the input goes on (a plain socket can; a TLS
    // session ends as a whole).
    virtual bool canHalfClose() const { return true; }
    void clearWriteQueue();
    // Set-up finished: the connection is Open and flushes what was queued meanwhile. False when
    // that flush failed.
    bool setUpComplete();
    // Asks the handler (when there is one) to poll for wantedEvents().
    void updateEvents();
    void setDeadline(io::DeadlineKind kind);
    void clearDeadline();
    // Asks the handler to run conRead soon, without waiting for an input event.
    void scheduleRead();
    // Whether this runs on the thread of the handler that owns the connection (or no handler
    // owns it yet); checked by assertions in test builds.
    bool onHandlerThread() const;

    int socket_;
    std::string tag_;
    uint32_t status_ = StatusReady;
    State state_;
    bool inputEnded_ = false;
    bool outputShut_ = false;
    // The output is to be shut down once the queue is sent.
    bool shutdownAfterFlush_ = false;
    // The queue is above the high mark and the peer's input is held for it.
    bool peerThrottled_ = false;
    bool largeBufferReported_ = false;
    uint8_t inputHolds_ = 0;
    // What set-up waits for while Connecting or Handshaking.
    uint32_t setUpEvents_ = io::EVENT_OUTPUT;
    // What the handler polls the socket for now.
    uint32_t polledEvents_ = 0;
    io::ConnectionHandlerBase* handler_ = nullptr;
    Connection* peer_ = nullptr;
    WriteQueue writeQueue_;
    int64_t bytesRead_ = 0;
    io::DeadlineHook deadlineHook_;

private:
    // Sends what is queued, on an output event.
    int flush();
    void enqueue(const char* data, uint64_t length);
    void logLargeWriteBuffer();
    // After bytes left the queue: releases flow-control holds and runs a pending shutdown.
    void afterFlush();
    // Shuts the output down now (queue empty) and closes the pair if both directions ended.
    void shutdownNow();
    void closePairIfFinished();
};

}  // namespace connection
