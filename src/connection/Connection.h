#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <string>
#include <utility>

#include "connection/ReadResult.h"
#include "utils/BuildConfig.h"

namespace io {
class ConnectionHandlerBase;
}

namespace connection {

// One socket that the proxy forwards between: the socket itself, its tag for log entries, a
// fixed receive buffer and the queue of bytes the socket did not take at once. It links to its
// peer (the other half of the pair) and to the handler that polls it; neither link owns.
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

    // Warn about a slow consumer once this many elements are queued.
    static constexpr uint64_t LARGE_WRITE_BUFFER_COUNT = 4;

    // One queued write: a private copy of bytes not yet sent. length is the number of bytes
    // still to be sent and always equals data.size().
    struct WriteBuffer {
        std::string data;
        uint64_t length;
    };

    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // The raw transport; TLS connections replace both. Same results as send()/recv().
    virtual int64_t rawSend(const char* data, uint32_t length);
    virtual int64_t rawReceive(char* buffer, uint32_t length);

    virtual ~Connection();

    // Reads what the socket has and acts on it; called by the handler on an input event and
    // when a capability cache answer arrived.
    virtual ReadResult conRead() = 0;
    // Ends this connection at once: leaves the handler's multiplexer, closes the socket and is
    // scheduled for deletion. Safe to call more than once.
    virtual void disconnect() = 0;
    // Whether a capability cache query of this connection may still call back; the handler
    // must not delete the connection while this is true.
    virtual bool hasPendingQuery() const;

    // Sends data or queues what the socket would not take; with data null, flushes the queue
    // (on an output event). 0 when the data was sent or queued, -1 on a failure after which
    // the queue is empty: the caller closes the pair.
    int conWrite(const char* data, uint64_t length);

    // Ends the connection once the queue is sent; at once when nothing is queued.
    void requestDisconnect();
    // Ends this connection at once and lets the peer flush what it holds first.
    void disconnectPair();

    // The events this connection wants from its handler's multiplexer in its current state:
    // hang-up always, input unless the connection waits for an answer or is closing, output
    // while bytes are queued.
    uint32_t wantedEvents() const;

    // Set by the handler while conRead waits for a capability cache answer, so that queueing
    // or flushing output does not switch input events back on under it.
    void setInputPaused(bool paused) { inputPaused_ = paused; }
    bool inputPaused() const { return inputPaused_; }

    int socket() const { return socket_; }
    const std::string& tag() const { return tag_; }
    void setTag(std::string tag) { tag_ = std::move(tag); }
    uint32_t status() const { return status_; }
    io::ConnectionHandlerBase* handler() const { return handler_; }
    void setHandler(io::ConnectionHandlerBase* handler) { handler_ = handler; }
    Connection* peer() const { return peer_; }
    void setPeer(Connection* peer) { peer_ = peer; }
    bool writable() const { return writable_; }
    bool closing() const { return closing_; }
    bool disconnected() const { return disconnected_; }
    uint64_t writeBufferCount() const { return writeBufferCount_; }
    uint64_t queuedBytes() const { return queuedBytes_; }
    int64_t bytesRead() const { return bytesRead_; }

protected:
    explicit Connection(int socket);

    // One receive into the receive buffer, forwarded unchanged to the peer.
    ReadResult forwardRead();
    // Leaves the handler and closes the socket; false when already disconnected.
    bool disconnectBase();
    // Drops the link to the peer in both directions, so neither half can reach the other once
    // one of them is deleted.
    void unlinkPeer();
    // Reads and drops what the socket holds, so that closing it sends an orderly end.
    void discardUnreadInput();
    void logLargeWriteBuffer() const;
    void clearWriteQueue();
    void enqueue(const char* data, uint64_t length);
    // Asks the handler (when there is one) to poll for wantedEvents().
    void updateEvents();

    int socket_;
    std::string tag_;
    uint32_t status_ = StatusReady;
    bool writable_ = true;
    bool closing_ = false;
    bool disconnected_ = false;
    bool inputPaused_ = false;
    io::ConnectionHandlerBase* handler_ = nullptr;
    Connection* peer_ = nullptr;
    std::deque<WriteBuffer> writeQueue_;
    uint64_t writeBufferCount_ = 0;
    // Running sums for the "Large write buffer" warning, so it costs nothing per write.
    uint64_t queuedBytes_ = 0;
    uint64_t queuedCapacity_ = 0;
    int64_t bytesRead_ = 0;
    std::array<char, config::BUFFER_SIZE> receiveBuffer_{};
};

}  // namespace connection
