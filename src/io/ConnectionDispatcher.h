#pragma once

#include <vector>

#include "io/ConnectionDispatcherBase.h"
#include "io/ConnectionHandlerBase.h"

namespace io {

// Gives each new pair to the handler that holds the fewest connections.
//
// Threading: addHandler() during start-up only; dispatch() from any establisher thread, without
// a lock (the counts it reads are hints that may change under it).
// Ownership: owns neither the handlers nor the connections passing through.
class ConnectionDispatcher : public ConnectionDispatcherBase {
public:
    ConnectionDispatcher() = default;
    ~ConnectionDispatcher() override = default;

    void addHandler(ConnectionHandlerBase* handler);
    void dispatch(std::unique_ptr<connection::IncomingConnection>& incoming,
                  std::unique_ptr<connection::OutgoingConnection>& outgoing) override;

private:
    std::vector<ConnectionHandlerBase*> handlers_;
};

}  // namespace io
