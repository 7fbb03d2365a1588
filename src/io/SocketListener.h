#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "io/ConnectionMultiplexer.h"
#include "io/PendingConnectionQueue.h"

namespace io {

// The one thread that accepts connections. It waits on its own multiplexer, where the listening
// socket is the only registered socket, accepts one connection per readiness event and appends
// it to the pending-connection queue. It does nothing else with the accepted socket: whichever
// establisher wakes up takes it. A full queue refuses the connection at once; running out of
// descriptors pauses accepting with a growing back-off until descriptors are free again.
//
// Threading: run() is the listener thread's body; shutdown() may be called from any thread.
// Ownership: neither the queue nor the multiplexer is owned. The listening socket is borrowed
// until run() ends: run() then deregisters and closes it, and socketClosed() tells the owner so;
// when run() never got that far (not registered, or never started) the owner closes it.
class SocketListener {
public:
    // Registers the listening socket with the multiplexer at once; isRegistered() tells whether
    // that worked (never with a -1 socket or a null multiplexer).
    SocketListener(int listeningSocket, PendingConnectionQueue* queue,
                   ConnectionMultiplexer* multiplexer);
    ~SocketListener();

    SocketListener(const SocketListener&) = delete;
    SocketListener& operator=(const SocketListener&) = delete;

    bool isRegistered() const { return registered_; }

    // Accepts until shutdown(); returns at once when the socket is not registered.
    void run();
    // Ends run() after the connection it is handling, if any.
    void shutdown();

    // Whether run() has closed the listening socket. Read it after the listener thread ended.
    bool socketClosed() const { return socketClosed_.load(); }

private:
    using Clock = std::chrono::steady_clock;

    // Accepts one connection and queues it; false when there was none to accept or the listener
    // backed off. Only the first accept after a readiness event reports a lack of connections.
    bool acceptOne(bool first);
    static constexpr int ACCEPTS_PER_EVENT = 16;
    // Out of descriptors: stops polling the listening socket for a while, so that neither the
    // loop nor the log spins; connections wait in the backlog meanwhile. Returns with the socket
    // polled again, or on shutdown().
    void backOff();

    // A trouble that lasts (descriptors out, the queue full), warned about once per episode.
    // While peers keep the table or the queue full, every connection that ends makes room for
    // just one more: the episode ends only after a quiet time without the trouble, not at the
    // first success.
    struct Episode {
        // The trouble occurred; true when that starts an episode.
        bool occurred(Clock::time_point now);
        // A success; the occurrences of the episode when that ends it, otherwise 0.
        uint64_t succeeded(Clock::time_point now);

        uint64_t occurrences = 0;
        Clock::time_point last;
    };

    int listeningSocket_;
    std::atomic<bool> stop_{false};
    PendingConnectionQueue* queue_;
    ConnectionMultiplexer* multiplexer_;
    bool registered_;
    std::atomic<bool> socketClosed_{false};
    // Milliseconds of the current back-off; 0 once an accept has succeeded.
    int backOffMilliseconds_ = 0;
    // Accept failures for want of descriptors, and connections refused for a full queue.
    Episode shortage_;
    Episode refusals_;
};

}  // namespace io
