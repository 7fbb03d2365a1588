#pragma once

#include <cstdint>
#include <memory>

#include "io/Deadlines.h"

namespace connection {
class Connection;
class IncomingConnection;
class OutgoingConnection;
}  // namespace connection

namespace io {

// A worker that owns connection pairs and drives all their I/O from one thread.
//
// Threading: adopt(), postAsyncEvent() and connectionCount() may be called from any thread;
// removeConnection(), modifyEvents(), setDeadline() and scheduleRead() belong to the handler's own
// thread (they are called by the connections it drives).
class ConnectionHandlerBase {
public:
    virtual ~ConnectionHandlerBase() = default;

    // Takes over both connections of a pair, links them to each other and to this handler;
    // both pointers are empty afterwards.
    virtual void adopt(std::unique_ptr<connection::IncomingConnection>& incoming,
                       std::unique_ptr<connection::OutgoingConnection>& outgoing) = 0;
    // The connection was disconnected: stop polling it and delete it once no capability cache
    // answer can still reach it.
    virtual void removeConnection(connection::Connection* connection) = 0;
    // Polls the connection for these event flags from now on; false when the change failed.
    virtual bool modifyEvents(connection::Connection* connection, uint32_t events) = 0;
    // A capability cache answer for the connection arrived: run its read path again.
    virtual void postAsyncEvent(connection::Connection* connection) = 0;
    // Connections held, both of a pair counted; a hint that may be stale by the time it is used.
    virtual uint64_t connectionCount() const = 0;

    // Gives the connection a deadline of this kind from now, replacing any it had; None clears
    // it. When it passes, the handler calls the connection's deadlineExpired().
    virtual void setDeadline(connection::Connection* /*connection*/, DeadlineKind /*kind*/) {}
    // Runs the connection's read path soon without waiting for an input event: it holds bytes it
    // has taken from its socket and not handled.
    virtual void scheduleRead(connection::Connection* /*connection*/) {}
    // Whether the caller runs on the handler's thread (always true while no thread runs it).
    virtual bool inHandlerThread() const { return true; }
};

}  // namespace io
