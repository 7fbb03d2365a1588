#include "connection/Connection.h"

#include <sys/socket.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstring>
#include <limits>

#include "connection/ReceiveArea.h"
#include "io/ConnectionHandlerBase.h"
#include "io/ConnectionMultiplexer.h"
#include "os/SocketHelpers.h"
#include "utils/BuildConfig.h"
#include "utils/logging/Logger.h"

namespace connection {

using utils::logging::Debug;
using utils::logging::Error;
using utils::logging::Info;
using utils::logging::Warning;

namespace {

// The raw transport takes 32-bit lengths; a longer write goes out as a partial send.
uint32_t sendChunk(uint64_t length) {
    return static_cast<uint32_t>(std::min<uint64_t>(length, std::numeric_limits<uint32_t>::max()));
}

bool peerClosed(int error) {
    return error == ECONNRESET || error == EPIPE;
}

}  // namespace

Connection::Connection(int socket, State state) : socket_(socket), state_(state) {}

Connection::~Connection() {
    // The pair may be destroyed one at a time (and in any order when a handler goes away), so
    // the survivor must never keep a link to the dead half.
    unlinkPeer();
}

void Connection::unlinkPeer() {
    if (peer_ != nullptr && peer_->peer_ == this) {
        peer_->peer_ = nullptr;
    }
    peer_ = nullptr;
}

int64_t Connection::rawSend(const char* data, uint32_t length) {
    return send(socket_, data, length, MSG_NOSIGNAL);
}

int64_t Connection::rawReceive(char* buffer, uint32_t length) {
    return recv(socket_, buffer, length, 0);
}

bool Connection::hasPendingQuery() const {
    return false;
}

void Connection::cancelPendingQuery() {}

bool Connection::hasBufferedInput() const {
    return false;
}

void Connection::requestForwarded(RequestKind /*kind*/) {}

void Connection::upgradeAnswered(bool /*switched*/) {}

bool Connection::queueAnswer(const char* /*data*/, size_t /*length*/) {
    return false;
}

bool Connection::onHandlerThread() const {
    return handler_ == nullptr || handler_->inHandlerThread();
}

uint32_t Connection::wantedEvents() const {
    switch (state_) {
        case State::Connecting:
        case State::Handshaking:
            return setUpEvents_;
        case State::Open: {
            // Hang-up only together with input: a socket whose input is held or has ended must
            // not wake the handler for a hang-up it is not going to read yet.
            uint32_t events = readable() ? io::EVENT_INPUT | io::EVENT_HANGUP : 0;
            if (!writeQueue_.empty()) {
                events |= io::EVENT_OUTPUT;
            }
            return events;
        }
        case State::Closing:
            return writeQueue_.empty() ? 0 : io::EVENT_OUTPUT;
        case State::Disconnected:
            break;
    }
    return 0;
}

void Connection::updateEvents() {
    if (handler_ == nullptr || state_ == State::Disconnected) {
        return;
    }
    const uint32_t wanted = wantedEvents();
    if (wanted != polledEvents_) {
        polledEvents_ = wanted;
        handler_->modifyEvents(this, wanted);
    }
}

void Connection::eventsRegistered(uint32_t events) {
    polledEvents_ = events;
}

void Connection::setDeadline(io::DeadlineKind kind) {
    if (handler_ != nullptr) {
        handler_->setDeadline(this, kind);
    }
}

void Connection::clearDeadline() {
    if (handler_ != nullptr && deadlineHook_.kind != io::DeadlineKind::None) {
        handler_->setDeadline(this, io::DeadlineKind::None);
    }
}

void Connection::scheduleRead() {
    if (handler_ != nullptr) {
        handler_->scheduleRead(this);
    }
}

void Connection::holdInput(InputHold reason) {
    const bool wasReadable = readable();
    inputHolds_ |= reason;
    if (wasReadable) {
        updateEvents();
    }
}

void Connection::releaseInput(InputHold reason) {
    if ((inputHolds_ & reason) == 0) {
        return;
    }
    inputHolds_ &= static_cast<uint8_t>(~reason);
    if (readable()) {
        updateEvents();
        // Bytes already taken from the socket would otherwise wait for input that may never
        // come.
        if (hasBufferedInput()) {
            scheduleRead();
        }
    }
}

bool Connection::continueSetUp(uint32_t events) {
    assert(onHandlerThread());
    int error = 0;
    // Writable without an error report means connected; only a failure needs the reason.
    if ((events & (io::EVENT_ERROR | io::EVENT_HANGUP)) != 0 || (events & io::EVENT_OUTPUT) == 0) {
        socklen_t length = sizeof(error);
        if (getsockopt(socket_, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
            error = errno;
        }
        if (error == 0 && (events & io::EVENT_OUTPUT) == 0) {
            return true;  // not there yet
        }
    }
    if (error != 0) {
        AP_LOG(Error, "Could not connect to destination, closing connection pair", tag_, "errno",
               error, "description", strerror(error));
        return false;
    }
    AP_LOG(Debug, "Connected to destination", tag_);
    return setUpComplete();
}

bool Connection::setUpComplete() {
    state_ = State::Open;
    clearDeadline();
    if (!writeQueue_.empty()) {
        if (conWrite(nullptr, 0) < 0) {
            return false;
        }
    } else {
        updateEvents();
    }
    if (readable() && hasBufferedInput()) {
        scheduleRead();
    }
    return true;
}

void Connection::adopted() {
    if (state_ == State::Connecting) {
        setDeadline(io::DeadlineKind::Connect);
    } else if (state_ == State::Handshaking) {
        setDeadline(io::DeadlineKind::Handshake);
    }
}

void Connection::deadlineExpired(io::DeadlineKind kind) {
    switch (kind) {
        case io::DeadlineKind::Connect:
            AP_LOG(Error, "Could not connect to destination in time, closing connection pair",
                   tag_);
            break;
        case io::DeadlineKind::HalfClose:
            AP_LOG(Info, "Half-closed connection idle too long, closing connection pair", tag_);
            break;
        default:
            AP_LOG(Warning, "Deadline passed, closing connection pair", tag_, "deadline",
                   io::nameOf(kind));
            break;
    }
    disconnectPair();
}

void Connection::enqueue(const char* data, uint64_t length) {
    writeQueue_.append(data, length);
    if (!peerThrottled_ && writeQueue_.bytes() > config::WRITE_QUEUE_HIGH_MARK &&
        peer_ != nullptr) {
        // The peer produces what piles up here: it stops reading until the queue drains.
        peerThrottled_ = true;
        peer_->holdInput(HoldPeerQueue);
    }
}

void Connection::clearWriteQueue() {
    writeQueue_.clear();
    largeBufferReported_ = false;
}

void Connection::logLargeWriteBuffer() {
    // Once per episode: a slow reader would otherwise produce an entry for every write.
    largeBufferReported_ = true;
    AP_LOG(Warning, "Large write buffer", tag_, "data bytes", writeQueue_.bytes(),
           "allocated bytes", writeQueue_.capacity(), "buffer elements",
           static_cast<uint64_t>(writeQueue_.count()));
}

void Connection::afterFlush() {
    if (peerThrottled_ && writeQueue_.bytes() <= config::WRITE_QUEUE_LOW_MARK) {
        peerThrottled_ = false;
        if (peer_ != nullptr) {
            peer_->releaseInput(HoldPeerQueue);
        }
    }
    if (inputHeld(HoldOwnQueue) && writeQueue_.bytes() <= config::WRITE_QUEUE_LOW_MARK) {
        releaseInput(HoldOwnQueue);
    }
    if (writeQueue_.empty()) {
        largeBufferReported_ = false;
        if (shutdownAfterFlush_) {
            shutdownNow();
        }
    }
}

int Connection::conWrite(const char* data, uint64_t length) {
    assert(onHandlerThread());
    if (writeQueue_.count() >= LARGE_WRITE_BUFFER_COUNT && !largeBufferReported_) {
        logLargeWriteBuffer();
    }
    if (data == nullptr) {
        return flush();
    }
    if (state_ == State::Disconnected) {
        return -1;
    }

    if (writeQueue_.empty() && state_ == State::Open) {
        const int64_t result = rawSend(data, sendChunk(length));
        const int error = errno;  // logging below may change errno
        AP_LOG(Debug, "Send data", result, "fd", tag_);
        if (result >= 0 && static_cast<uint64_t>(result) == length) {
            return 0;
        }
        AP_LOG(Debug, "Could not send all data during write", tag_, "written bytes", result);
        if (result < 0) {
            if (peerClosed(error)) {
                // Nothing to queue for a socket that is gone; its error event closes the pair.
                AP_LOG(Warning, "Connection closed by peer", tag_);
                return 0;
            }
            if (!wouldBlock(error)) {
                AP_LOG(Warning, "Error writing socket", tag_, "errno", error, "description",
                       strerror(error));
                clearWriteQueue();
                return -1;
            }
        }
        AP_LOG(Debug, "Enabling out event handling for connection", tag_);
        const uint64_t sent = result > 0 ? static_cast<uint64_t>(result) : 0;
        enqueue(data + sent, length - sent);
        updateEvents();
        return 0;
    }

    // Never send past what is queued: the bytes must reach the socket in call order. Bytes for
    // a socket that is still being set up wait the same way.
    AP_LOG(Debug, "Copy data that cannot be sent out", tag_);
    enqueue(data, length);
    return 0;
}

int Connection::flush() {
    AP_LOG(Debug, "Calling conWrite() after EWOULDBLOCK", tag_);
    if (state_ != State::Open && state_ != State::Closing) {
        return 0;
    }
    while (!writeQueue_.empty()) {
        const std::string_view first = writeQueue_.front();
        const int64_t result = rawSend(first.data(), sendChunk(first.size()));
        const int error = errno;
        AP_LOG(Debug, "Send buffered data", result, "fd", tag_);
        if (result >= 0 && static_cast<uint64_t>(result) == first.size()) {
            writeQueue_.consume(first.size());
            continue;
        }
        AP_LOG(Debug, "Could not send all buffered data", tag_, "written bytes", result);
        if (result < 0) {
            if (peerClosed(error)) {
                AP_LOG(Warning, "Connection closed by peer", tag_);
                clearWriteQueue();
                return -1;
            }
            if (!wouldBlock(error)) {
                AP_LOG(Warning, "Error writing socket", tag_, "errno", error, "description",
                       strerror(error));
                clearWriteQueue();
                return -1;
            }
        } else {
            // The unsent rest stays first, where it is.
            writeQueue_.consume(static_cast<size_t>(result));
        }
        afterFlush();
        updateEvents();
        return 0;
    }
    AP_LOG(Debug, "Disabling out event handling for connection", tag_);
    afterFlush();
    updateEvents();
    return 0;
}

ReadResult Connection::forwardRead() {
    char* area = nullptr;
    const ReadResult result = receive(&area);
    if (result != ReadResult::Done || area == nullptr || peer_ == nullptr) {
        return result;
    }
    return peer_->conWrite(area, static_cast<uint64_t>(bytesRead_)) < 0 ? ReadResult::ForwardFailed
                                                                        : ReadResult::Done;
}

ReadResult Connection::receive(char** received) {
    assert(onHandlerThread());
    *received = nullptr;
    if (state_ != State::Open || inputEnded_) {
        return ReadResult::Done;
    }
    char* area = ReceiveArea::data();
    bytesRead_ = rawReceive(area, static_cast<uint32_t>(ReceiveArea::SIZE));
    if (bytesRead_ < 0) {
        const int error = errno;
        if (!wouldBlock(error)) {
            AP_LOG(Warning, "Error reading socket", tag_, "errno", error, "description",
                   strerror(error));
            clearWriteQueue();
            return ReadResult::Failed;
        }
        AP_LOG(Debug, "Read would block", tag_);
        return ReadResult::WouldBlock;
    }
    if (bytesRead_ == 0) {
        AP_LOG(Debug, "Connection already closed", tag_);
        return ReadResult::Closed;
    }
    AP_LOG(Debug, "Bytes read", bytesRead_, "fd", tag_);
    *received = area;
    return ReadResult::Done;
}

void Connection::endOfInput() {
    assert(onHandlerThread());
    if (state_ == State::Disconnected || inputEnded_) {
        return;
    }
    inputEnded_ = true;
    Connection* peer = peer_;
    if (peer == nullptr || peer->disconnected() || peer->closing()) {
        // Nobody is left to pass the end to.
        disconnect();
        return;
    }
    if (!canHalfClose() || !peer->canHalfClose()) {
        // A TLS session cannot end one direction alone: both sides send what they hold, then
        // close.
        AP_LOG(Debug, "End of input, closing connection pair after the queued data", tag_);
        requestDisconnect();
        peer->requestDisconnect();
        return;
    }
    if (peer->inputEnded_ && peer->writeQueue_.empty() && writeQueue_.empty()) {
        // The other direction has ended and everything is sent: closing both sends the last end
        // of stream as well as a shutdown would.
        AP_LOG(Debug, "Both directions ended, closing connection pair", tag_);
        disconnect();
        peer->disconnect();
        return;
    }
    updateEvents();
    AP_LOG(Debug, "End of input, shutting down the peer's output after its queue", tag_);
    // The other direction goes on; it has a bounded time of silence to end as well.
    setDeadline(io::DeadlineKind::HalfClose);
    if (peer->writeQueue_.empty()) {
        peer->shutdownNow();
    } else {
        peer->shutdownAfterFlush_ = true;
    }
}

void Connection::shutdownOutput() {
    if (::shutdown(socket_, SHUT_WR) != 0 && errno != ENOTCONN) {
        const int error = errno;
        AP_LOG(Warning, "Error shutting down socket output", tag_, "errno", error, "description",
               strerror(error));
    }
}

void Connection::shutdownNow() {
    shutdownAfterFlush_ = false;
    if (outputShut_ || state_ == State::Disconnected) {
        return;
    }
    outputShut_ = true;
    shutdownOutput();
    closePairIfFinished();
}

void Connection::closePairIfFinished() {
    Connection* peer = peer_;
    const bool thisDone = inputEnded_ && outputShut_;
    if (!thisDone) {
        return;
    }
    if (peer == nullptr) {
        disconnect();
        return;
    }
    if (peer->inputEnded_ && peer->outputShut_) {
        AP_LOG(Debug, "Both directions ended, closing connection pair", tag_);
        disconnect();
        peer->disconnect();
    }
}

bool Connection::disconnectBase() {
    if (state_ == State::Disconnected) {
        return false;
    }
    state_ = State::Disconnected;
    // Leave the multiplexer before the descriptor is closed and its number can be reused.
    if (handler_ != nullptr) {
        handler_->removeConnection(this);
    }
    discardUnreadInputBeforeClose();
    closeDescriptor();
    clearWriteQueue();
    return true;
}

void Connection::closeDescriptor() {
    os::closeSocket(socket_);
}

void Connection::discardUnreadInputBeforeClose() {
    // Closing a TCP socket with unread input resets the connection, and the reset throws away
    // what the kernel still holds to send: the bytes a closing connection has just flushed.
    // Input that arrives after this point can still cause that; this covers what is there now.
    if (socket_ == -1 || inputEnded_) {
        return;
    }
    char* area = ReceiveArea::data();
    for (int round = 0; round < 16; ++round) {
        const ssize_t result = ::recv(socket_, area, ReceiveArea::SIZE, MSG_DONTWAIT);
        if (result <= 0) {
            return;
        }
    }
}

void Connection::requestDisconnect() {
    AP_LOG(Debug, "requestDisconnect() called", tag_);
    unlinkPeer();
    if (writeQueue_.empty() || (state_ != State::Open && state_ != State::Closing)) {
        disconnect();
        return;
    }
    if (state_ == State::Open) {
        state_ = State::Closing;
        updateEvents();
    }
}

void Connection::disconnectPair() {
    AP_LOG(Debug, "disconnectPair() called", tag_);
    Connection* peer = peer_;
    disconnect();
    if (peer != nullptr) {
        peer->requestDisconnect();
    }
    peer_ = nullptr;
}

}  // namespace connection
