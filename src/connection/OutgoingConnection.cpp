#include "connection/OutgoingConnection.h"

#include "os/SocketHelpers.h"
#include "utils/logging/Logger.h"

namespace connection {

OutgoingConnection::OutgoingConnection() : Connection(-1) {}

OutgoingConnection::OutgoingConnection(const sockaddr_in6* destination, const socklen_t* length)
    : Connection(os::createSocket()) {
    if (socket_ == -1) {
        status_ = StatusNoSocket;
        return;
    }
    if (os::connectSocket(socket_, destination, *length) < 0) {
        status_ = StatusNotConnected;
        return;
    }
    os::setNonBlocking(socket_);
    os::setNoDelay(socket_);
    os::setKeepAlive(socket_);
}

OutgoingConnection::~OutgoingConnection() {
    if (!disconnected_) {
        os::closeSocket(socket_);
    }
}

ReadResult OutgoingConnection::conRead() {
    return forwardRead();
}

void OutgoingConnection::disconnect() {
    AP_LOG(utils::logging::Info, "disconnect called", tag_);
    disconnectBase();
}

}  // namespace connection
