#include "connection/IncomingConnection.h"

#include <string>
#include <utility>

#include "connection/OpenWebSocketRegistry.h"
#include "os/SocketHelpers.h"
#include "utils/logging/Logger.h"

namespace connection {

IncomingConnection::IncomingConnection(int socket, const char* domain)
    : Connection(socket), domain_(domain != nullptr ? domain : "") {
    tag_ = std::to_string(socket);
    os::setNoDelay(socket_);
    os::setKeepAlive(socket_);
    os::setNonBlocking(socket_);
}

IncomingConnection::IncomingConnection(int socket, std::string&& domain, const char* address,
                                       uint16_t port)
    : Connection(socket),
      domain_(std::move(domain)),
      port_(port),
      address_(address != nullptr ? address : ""),
      registered_(true),
      offeringCheck_(true) {
    tag_ = std::to_string(socket);
}

IncomingConnection::IncomingConnection(const char* domain)
    : Connection(-1), domain_(domain != nullptr ? domain : "") {}

IncomingConnection::~IncomingConnection() {
    if (!disconnected_) {
        os::closeSocket(socket_);
        leaveRegistry();
    }
}

void IncomingConnection::disconnect() {
    AP_LOG(utils::logging::Info, "disconnect called", tag_);
    if (disconnectBase()) {
        leaveRegistry();
    }
}

bool IncomingConnection::hasPendingQuery() const {
    return queryCallback_.waiting();
}

std::string IncomingConnection::headerValue() {
    return domain_;
}

void IncomingConnection::leaveRegistry() {
    if (registered_ && websocket_) {
        AP_LOG(utils::logging::Info, "Remove websocket connection", tag_);
        OpenWebSocketRegistry::instance().remove(domain_, address_, port_);
    }
}

}  // namespace connection
