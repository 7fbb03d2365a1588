#include "connection/IncomingConnection.h"

#include <string>
#include <utility>

#include "access/CapabilityQueries.h"
#include "connection/OpenWebSocketRegistry.h"
#include "os/SocketHelpers.h"
#include "utils/logging/Logger.h"

namespace connection {

using utils::logging::Info;
using utils::logging::Warning;

IncomingConnection::IncomingConnection(int socket, const char* domain, SocketOptions options)
    : Connection(socket), domain_(domain != nullptr ? domain : "") {
    tag_ = std::to_string(socket);
    if (options == SocketOptions::Set) {
        os::setNoDelay(socket_);
        os::setKeepAlive(socket_);
        os::setNonBlocking(socket_);
    }
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

IncomingConnection::IncomingConnection(const char* domain, State state)
    : Connection(-1, state), domain_(domain != nullptr ? domain : "") {}

IncomingConnection::~IncomingConnection() {
    if (!disconnected()) {
        closeDescriptor();
        leaveRegistry();
    }
}

void IncomingConnection::disconnect() {
    AP_LOG(Info, "disconnect called", tag_);
    if (disconnectBase()) {
        leaveRegistry();
    }
}

bool IncomingConnection::hasPendingQuery() const {
    return queryCallback_.waiting();
}

void IncomingConnection::cancelPendingQuery() {
    ccc::cancelQueries(&queryCallback_);
}

std::string IncomingConnection::headerValue() {
    return domain_;
}

void IncomingConnection::adopted() {
    Connection::adopted();
    if (state_ == State::Open) {
        expectFirstRequest();
    }
}

void IncomingConnection::expectFirstRequest() {
    // A client that connects and sends nothing holds a pair (and an upstream connection) as
    // long as it likes otherwise.
    setDeadline(io::DeadlineKind::RequestHead);
}

void IncomingConnection::deadlineExpired(io::DeadlineKind kind) {
    if (kind != io::DeadlineKind::RequestHead) {
        Connection::deadlineExpired(kind);
        return;
    }
    AP_LOG(Warning, "Request head not complete in time, closing connection pair", tag_,
           "buffered bytes", static_cast<uint64_t>(parseBuffer_.size()));
    disconnectPair();
}

bool IncomingConnection::hasBufferedInput() const {
    return heldUnparsed_ && !parseBuffer_.empty();
}

void IncomingConnection::leaveRegistry() {
    if (inRegistry_) {
        inRegistry_ = false;
        AP_LOG(Info, "Remove websocket connection", tag_);
        OpenWebSocketRegistry::instance().remove(domain_, address_, port_);
    }
}

void IncomingConnection::upgradeAnswered(bool switched) {
    if (mode_ != StreamMode::AwaitingUpgrade) {
        return;
    }
    if (switched) {
        AP_LOG(Info, "Upgrading to websocket", tag_);
        websocket_ = true;
    } else {
        // The key was taken for a WebSocket that never came; the next attempt must find it free.
        AP_LOG(Info, "Upgrade refused by the server, staying with HTTP", tag_);
        leaveRegistry();
    }
    mode_ = messageMode();
    releaseInput(HoldUpgrade);
}

}  // namespace connection
