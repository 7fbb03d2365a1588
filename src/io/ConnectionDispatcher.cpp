#include "io/ConnectionDispatcher.h"

#include "connection/IncomingConnection.h"
#include "connection/OutgoingConnection.h"
#include "utils/logging/Logger.h"

namespace io {

void ConnectionDispatcher::addHandler(ConnectionHandlerBase* handler) {
    handlers_.push_back(handler);
}

void ConnectionDispatcher::dispatch(std::unique_ptr<connection::IncomingConnection>& incoming,
                                    std::unique_ptr<connection::OutgoingConnection>& outgoing) {
    if (handlers_.empty()) {
        AP_LOG(utils::logging::Error, "no handlers in connection dispatcher");
        return;
    }
    ConnectionHandlerBase* chosen = handlers_.front();
    uint64_t fewest = chosen->connectionCount();
    uint64_t total = fewest;
    for (size_t index = 1; index < handlers_.size(); ++index) {
        const uint64_t count = handlers_[index]->connectionCount();
        total += count;
        // Strictly fewer only, so ties stay with the lowest index.
        if (count < fewest) {
            fewest = count;
            chosen = handlers_[index];
        }
    }
    AP_LOG(utils::logging::Info, "Active connection pair count", (total + 2) / 2);
    chosen->adopt(incoming, outgoing);
}

}  // namespace io
