#include "connection/OutgoingConnection.h"

#include <cerrno>

#include "os/SocketHelpers.h"
#include "utils/logging/Logger.h"

namespace connection {

OutgoingConnection::OutgoingConnection(State state) : Connection(-1, state) {}

OutgoingConnection::OutgoingConnection(const sockaddr_in6* destination, const socklen_t* length)
    : Connection(os::createNonBlockingSocket(), State::Connecting) {
    if (socket_ == -1) {
        status_ = StatusNoSocket;
        return;
    }
    if (os::connectSocket(socket_, destination, *length) == 0) {
        // Loopback destinations may connect at once.
        state_ = State::Open;
        writable_ = true;
    } else if (errno != EINPROGRESS) {
        status_ = StatusNotConnected;
        return;
    }
    const int error = errno;
    os::setNoDelay(socket_);
    os::setKeepAlive(socket_);
    errno = error;
}

OutgoingConnection::~OutgoingConnection() {
    if (!disconnected()) {
        closeDescriptor();
    }
}

ReadResult OutgoingConnection::conRead() {
    const char* received = nullptr;
    const ReadResult result = forwardRead(&received);
    if (result != ReadResult::Done || received == nullptr || !responses_.active()) {
        return result;
    }
    // The bytes went to the client as they came; only then may the client's side change mode.
    const parser::ResponseTracker::Outcome outcome = responses_.feed(
        reinterpret_cast<const uint8_t*>(received), static_cast<size_t>(bytesRead_));
    if (outcome != parser::ResponseTracker::Outcome::None && peer_ != nullptr) {
        peer_->upgradeAnswered(outcome == parser::ResponseTracker::Outcome::Switched);
    }
    return result;
}

void OutgoingConnection::requestForwarded(RequestKind kind) {
    using Request = parser::ResponseTracker::Request;
    responses_.expect(kind == RequestKind::Upgrade ? Request::Upgrade
                      : kind == RequestKind::Head  ? Request::Head
                                                   : Request::Plain);
    if (kind == RequestKind::Upgrade && !responses_.active() && peer_ != nullptr) {
        // The server's responses can no longer be told apart: its answer could never be found.
        AP_LOG(utils::logging::Warning, "Responses cannot be followed, upgrade not possible", tag_);
        peer_->upgradeAnswered(false);
    }
}

void OutgoingConnection::disconnect() {
    AP_LOG(utils::logging::Info, "disconnect called", tag_);
    disconnectBase();
}

}  // namespace connection
