#include "connection/Connection.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "io/ConnectionHandlerBase.h"
#include "io/ConnectionMultiplexer.h"
#include "os/SocketHelpers.h"
#include "utils/logging/Logger.h"

namespace connection {

using utils::logging::Debug;
using utils::logging::Warning;

namespace {

// The raw transport takes 32-bit lengths; a longer write goes out as a partial send.
uint32_t sendChunk(uint64_t length) {
    return static_cast<uint32_t>(std::min<uint64_t>(length, std::numeric_limits<uint32_t>::max()));
}

bool peerClosed(int error) {
    return error == ECONNRESET || error == EPIPE;
}

bool wouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK;
}

}  // namespace

Connection::Connection(int socket) : socket_(socket) {}

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

uint32_t Connection::wantedEvents() const {
    uint32_t events = io::EVENT_HANGUP;
    // Input stays off while an answer is awaited, and while closing: a closing connection
    // ignores what it reads, and level-triggered input would wake the handler on every pass.
    if (!inputPaused_ && !closing_) {
        events |= io::EVENT_INPUT;
    }
    if (!writeQueue_.empty()) {
        events |= io::EVENT_OUTPUT;
    }
    return events;
}

void Connection::updateEvents() {
    if (handler_ != nullptr && !disconnected_) {
        handler_->modifyEvents(this, wantedEvents());
    }
}

void Connection::enqueue(const char* data, uint64_t length) {
    writeQueue_.push_back(WriteBuffer{std::string(data, length), length});
    ++writeBufferCount_;
    queuedBytes_ += length;
    queuedCapacity_ += writeQueue_.back().data.capacity();
}

void Connection::clearWriteQueue() {
    writeQueue_.clear();
    writeBufferCount_ = 0;
    queuedBytes_ = 0;
    queuedCapacity_ = 0;
}

void Connection::logLargeWriteBuffer() const {
    AP_LOG(Warning, "Large write buffer", tag_, "data bytes", queuedBytes_, "allocated bytes",
           queuedCapacity_, "buffer elements", writeBufferCount_);
}

int Connection::conWrite(const char* data, uint64_t length) {
    if (writeBufferCount_ >= LARGE_WRITE_BUFFER_COUNT) {
        logLargeWriteBuffer();
    }

    if (data != nullptr && writable_) {
        const int64_t result = rawSend(data, sendChunk(length));
        const int error = errno;  // logging below may change errno
        AP_LOG(Debug, "Send data", result, "fd", tag_);
        if (result >= 0 && static_cast<uint64_t>(result) == length) {
            return 0;
        }
        AP_LOG(Debug, "Could not send all data during write", tag_, "written bytes", result);
        writable_ = false;
        if (result < 0) {
            if (peerClosed(error)) {
                // Nothing to queue for a socket that is gone; the next read or hang-up event
                // of this socket closes the pair.
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

    if (data != nullptr) {
        // Never send past what is queued: the bytes must reach the socket in call order.
        AP_LOG(Debug, "Copy data that cannot be sent out", tag_);
        if (length > 0) {
            enqueue(data, length);
        }
        return 0;
    }

    AP_LOG(Debug, "Calling conWrite() after EWOULDBLOCK", tag_);
    while (!writeQueue_.empty()) {
        WriteBuffer& first = writeQueue_.front();
        const int64_t result = rawSend(first.data.data(), sendChunk(first.length));
        const int error = errno;
        AP_LOG(Debug, "Send buffered data", result, "fd", tag_);
        if (result >= 0 && static_cast<uint64_t>(result) == first.length) {
            queuedBytes_ -= first.length;
            queuedCapacity_ -= first.data.capacity();
            writeQueue_.pop_front();
            --writeBufferCount_;
            continue;
        }
        AP_LOG(Debug, "Could not send all buffered data", tag_, "written bytes", result);
        writable_ = false;
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
        }
        updateEvents();
        if (result > 0) {
            // The unsent rest stays first; erasing in place keeps the storage, so a partial
            // flush costs no allocation.
            const uint64_t sent = static_cast<uint64_t>(result);
            first.data.erase(0, sent);
            first.length -= sent;
            queuedBytes_ -= sent;
        }
        return 0;
    }

    writable_ = true;
    AP_LOG(Debug, "Disabling out event handling for connection", tag_);
    updateEvents();
    return 0;
}

ReadResult Connection::forwardRead() {
    if (closing_) {
        return ReadResult::Done;
    }
    bytesRead_ = rawReceive(receiveBuffer_.data(), static_cast<uint32_t>(receiveBuffer_.size()));
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
    if (peer_ == nullptr) {
        return ReadResult::Done;
    }
    return peer_->conWrite(receiveBuffer_.data(), static_cast<uint64_t>(bytesRead_)) < 0
               ? ReadResult::ForwardFailed
               : ReadResult::Done;
}

bool Connection::disconnectBase() {
    if (disconnected_) {
        return false;
    }
    disconnected_ = true;
    // Leave the multiplexer before the descriptor is closed and its number can be reused.
    if (handler_ != nullptr) {
        handler_->removeConnection(this);
    }
    discardUnreadInput();
    os::closeSocket(socket_);
    return true;
}

void Connection::discardUnreadInput() {
    // Closing a TCP socket with unread input resets the connection, and the reset throws away
    // what the kernel still holds to send: the bytes a closing connection has just flushed.
    // Input that arrives after this point can still cause that; this covers what is there now.
    for (int round = 0; round < 16 && socket_ != -1; ++round) {
        const ssize_t result =
            ::recv(socket_, receiveBuffer_.data(), receiveBuffer_.size(), MSG_DONTWAIT);
        if (result <= 0) {
            return;
        }
    }
}

void Connection::requestDisconnect() {
    AP_LOG(Debug, "requestDisconnect() called", tag_);
    unlinkPeer();
    if (writeQueue_.empty()) {
        disconnect();
        return;
    }
    if (!closing_) {
        closing_ = true;
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
