#pragma once

#include <memory>

namespace connection {
class IncomingConnection;
class OutgoingConnection;
}  // namespace connection

namespace io {

// Hands a new connection pair to one of the connection handlers. Called by establisher threads.
class ConnectionDispatcherBase {
public:
    virtual ~ConnectionDispatcherBase() = default;

    // On success both pointers are empty and a handler owns the pair; when no handler can take
    // it, both stay with the caller.
    virtual void dispatch(std::unique_ptr<connection::IncomingConnection>& incoming,
                          std::unique_ptr<connection::OutgoingConnection>& outgoing) = 0;
};

}  // namespace io
