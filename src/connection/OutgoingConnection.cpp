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
    if (!responses_.active() && answers_.empty()) {
        return forwardRead();
    }
    char* received = nullptr;
    const ReadResult result = receive(&received);
    if (result != ReadResult::Done || received == nullptr) {
        return result;
    }
    const auto* bytes = reinterpret_cast<const uint8_t*>(received);
    const size_t total = static_cast<size_t>(bytesRead_);
    size_t position = 0;
    // The stream goes to the client piece by piece, with the proxy's own answers put in where
    // their turn comes; a change of the client's side follows the bytes that caused it.
    while (position < total) {
        const parser::ResponseTracker::Step step =
            responses_.advance(bytes + position, total - position);
        size_t piece = step.consumed;
        // Nothing taken means an answer is due first; should none be, the stream must not stall.
        if (piece == 0) {
            const int delivered = deliverDueAnswers();
            if (delivered < 0) {
                return ReadResult::ForwardFailed;
            }
            if (delivered == 0) {
                piece = total - position;
            }
        }
        if (piece > 0 && peer_ != nullptr && peer_->conWrite(received + position, piece) < 0) {
            return ReadResult::ForwardFailed;
        }
        position += piece;
        if (step.outcome != parser::ResponseTracker::Outcome::None && peer_ != nullptr) {
            peer_->upgradeAnswered(step.outcome == parser::ResponseTracker::Outcome::Switched);
        }
        if (deliverDueAnswers() < 0) {
            return ReadResult::ForwardFailed;
        }
    }
    return result;
}

bool OutgoingConnection::queueAnswer(const char* data, size_t length) {
    if (!responses_.queueAnswer()) {
        return false;
    }
    answers_.append(data, length);
    return true;
}

int OutgoingConnection::deliverDueAnswers() {
    int delivered = 0;
    while (!answers_.empty() && responses_.takeDueAnswer()) {
        const std::string_view answer = answers_.front();
        // Like a forwarded piece: a peer that cannot take its answer ends the read.
        const bool failed = peer_ != nullptr && peer_->conWrite(answer.data(), answer.size()) < 0;
        answers_.consume(answer.size());
        if (failed) {
            return -1;
        }
        ++delivered;
    }
    return delivered;
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
