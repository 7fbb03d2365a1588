#include "access/QueryCallback.h"

#include "connection/Connection.h"
#include "io/ConnectionHandlerBase.h"
#include "utils/logging/Logger.h"

namespace ccc {

void QueryCallback::response(bool allowed) {
    AP_LOG(utils::logging::Debug, "QueryCallback", "result", allowed, "fd",
           connection_ != nullptr ? connection_->socket() : -1);
    available_.store(true);
    denied_.store(!allowed);
    release();
}

void QueryCallback::queryCancelled() {
    if (waiting_.load()) {
        release();
    }
}

void QueryCallback::release() {
    // While waiting is true the handler keeps the connection (and this object inside it), so
    // everything that reaches the connection happens before waiting is cleared. The async event
    // is queued first: the handler re-checks its queue after it sees waiting false, so the
    // connection cannot be deleted between the two steps.
    connection::Connection* connection = connection_;
    io::ConnectionHandlerBase* handler = connection != nullptr ? connection->handler() : nullptr;
    if (handler != nullptr) {
        handler->postAsyncEvent(connection);
    }
    waiting_.store(false);
    // From here on neither this object nor the connection may be touched. The handler outlives
    // its connections; a second wake-up lets it delete a disconnected connection that it kept
    // only because waiting was still true when it last looked.
    if (handler != nullptr) {
        handler->postAsyncEvent(nullptr);
    }
}

}  // namespace ccc
