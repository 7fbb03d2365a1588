#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "connection/ReadResult.h"
#include "io/ConnectionHandlerBase.h"
#include "io/ConnectionMultiplexer.h"
#include "io/Deadlines.h"

namespace io {

// Owns connection pairs and drives all their I/O from the one thread that runs run(): it waits
// on its own multiplexer, lets connections read, write and close, re-runs connections that a
// capability cache answer has woken or that hold input no event will announce, closes
// connections whose deadline passed, deletes ended connections once no answer can reach them
// any more, and takes over new pairs.
//
// Each pass of the loop waits once (at most until the next deadline), handles every event of
// that wait, then does its housekeeping; other threads only ever wake it to hand work in.
//
// Threading: adopt(), postAsyncEvent(), connectionCount() and shutdown() may be called from any
// thread; each that hands over work ends by interrupting the multiplexer. Everything else runs
// on the handler thread (asserted in test builds); connections take no lock. Two mutexes only
// pass pairs in (adoption) and answers in (async), and the handler thread never holds both.
// Ownership: the handler owns the connections it adopted and deletes them itself, never from
// inside a callback of the connection; it does not own the multiplexer.
class ConnectionHandler : public ConnectionHandlerBase {
public:
    explicit ConnectionHandler(ConnectionMultiplexer* multiplexer);
    // Cancels the capability cache queries its connections still wait for, so that no late
    // answer reaches a deleted connection, then deletes every connection.
    ~ConnectionHandler() override;

    ConnectionHandler(const ConnectionHandler&) = delete;
    ConnectionHandler& operator=(const ConnectionHandler&) = delete;

    void adopt(std::unique_ptr<connection::IncomingConnection>& incoming,
               std::unique_ptr<connection::OutgoingConnection>& outgoing) override;
    void removeConnection(connection::Connection* connection) override;
    bool modifyEvents(connection::Connection* connection, uint32_t events) override;
    // A null connection only wakes the handler.
    void postAsyncEvent(connection::Connection* connection) override;
    uint64_t connectionCount() const override;
    void setDeadline(connection::Connection* connection, DeadlineKind kind) override;
    void scheduleRead(connection::Connection* connection) override;
    bool inHandlerThread() const override;

    // The thread body; returns after shutdown().
    void run();
    // Ends run() after the current pass of its loop.
    void shutdown();

private:
    // One wait, bounded by the next deadline (not at all while reads are scheduled), and every
    // event it brought.
    void processEvents();
    void handleEvent(connection::Connection* connection, uint32_t flags);
    connection::ReadResult handleInput(connection::Connection* connection);
    void handleOutput(connection::Connection* connection);
    void handleHangup(connection::Connection* connection);
    // Stops polling a socket that reports a hang-up it is not reading yet; level-triggered, the
    // report would otherwise wake the handler on every pass. Polled again once it wants events.
    void park(connection::Connection* connection);
    // A half-closed pair carried traffic: its idle deadline starts again.
    void refreshHalfClose(connection::Connection* connection);
    void runScheduledReads();
    void expireDeadlines();
    void handleAsyncEvents();
    void deleteOldConnections();
    void adoptNewConnections();
    bool isOld(const connection::Connection* connection) const;
    // Interrupts the multiplexer if the handler thread waits in it.
    void wake();
    bool hasQueuedAsyncEvent(const connection::Connection* connection);

    ConnectionMultiplexer* multiplexer_;
    std::unordered_map<connection::Connection*, std::unique_ptr<connection::Connection>>
        connections_;
    std::vector<std::unique_ptr<connection::Connection>> newConnections_;
    std::mutex adoptionMutex_;
    std::vector<connection::Connection*> oldConnections_;
    std::vector<connection::Connection*> asyncEvents_;
    // Swapped with asyncEvents_ to work on the events outside the lock; keeps its capacity, so
    // passing answers in costs no allocation once both have grown.
    std::vector<connection::Connection*> asyncWork_;
    std::mutex asyncMutex_;
    // Set after work was handed in under the matching mutex, so that a pass without any takes
    // neither lock.
    std::atomic<bool> asyncQueued_{false};
    std::atomic<bool> adoptionQueued_{false};
    // The handler thread is in (or about to enter) a wait that only an interruption ends.
    std::atomic<bool> waiting_{false};
    std::atomic<bool> stop_{false};
    // Sizes of connections_ and newConnections_, readable from the dispatcher's threads.
    std::atomic<uint64_t> adoptedCount_{0};
    std::atomic<uint64_t> newCount_{0};
    Deadlines deadlines_;
    std::vector<connection::Connection*> scheduled_;
    std::vector<connection::Connection*> scheduledWork_;
    std::vector<connection::Connection*> parked_;
    std::atomic<std::thread::id> thread_{};
};

}  // namespace io
