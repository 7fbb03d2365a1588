#include "connection/SecureConnection.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "io/ConnectionMultiplexer.h"
#include "libs/tlslib/ErrorCodes.h"
#include "utils/logging/Logger.h"

namespace connection {

using utils::logging::Error;
using utils::logging::Warning;

namespace {

void report(tarn::tls::TlsStream& stream, const char* text, int32_t code, bool withCode) {
    const auto address = stream.peerAddress();
    const std::string message =
        withCode ? std::string(text) + std::to_string(code) + " treated as non-fatal" : text;
    if (address != nullptr) {
        AP_LOG(Error, message.c_str(), address->text(), stream.peerPort(), stream.sessionId());
    } else {
        AP_LOG(Error, message.c_str(), stream.peerPort(), stream.sessionId());
    }
}

}  // namespace

SecureConnection::Failure SecureConnection::classify(tarn::tls::TlsStream& stream,
                                                     const std::string& tag) {
    Failure failure = Failure::WouldBlock;
    for (int32_t code = stream.popError(); code != tarn::tls::RC_TLS_NO_ERROR_QUEUED;
         code = stream.popError()) {
        switch (code) {
            case tarn::tls::RC_TLS_WANT_READ:
            case tarn::tls::RC_TLS_WANT_WRITE:
                break;
            case tarn::tls::RC_TLS_PEER_CLOSED:
                AP_LOG(utils::logging::Debug, "SecureConnection peer closed the session", tag);
                if (failure != Failure::Fatal) {
                    failure = Failure::PeerClosed;
                }
                break;
            case tarn::tls::RC_TLS_IO_ERROR:
                report(stream, "SecureConnection error RC_TLS_IO_ERROR", code, false);
                failure = Failure::Fatal;
                break;
            case tarn::tls::RC_TLS_SEND_AFTER_SHUTDOWN:
                report(stream, "SecureConnection error RC_TLS_SEND_AFTER_SHUTDOWN", code, false);
                failure = Failure::Fatal;
                break;
            default:
                report(stream, "SecureConnection error ", code, true);
                break;
        }
    }
    return failure;
}

bool SecureConnection::hasPendingPlaintext() const {
    return stream_ != nullptr && stream_->established() && stream_->pending() > 0;
}

int64_t SecureConnection::secureSend(const std::string& tag, const char* data, uint32_t length) {
    if (stream_ == nullptr) {
        errno = EIO;
        return -1;
    }
    const int32_t chunk = static_cast<int32_t>(std::min<uint32_t>(length, INT32_MAX));
    const int32_t result = stream_->send(data, chunk);
    if (result >= 0) {
        return result;
    }
    // A failed send is a failure: conWrite reports it and the pair closes, instead of waiting
    // for output events that a broken session never brings.
    if (classify(*stream_, tag) == Failure::WouldBlock) {
        errno = EAGAIN;
    } else {
        AP_LOG(Warning, "Error writing secure socket", tag);
        errno = EIO;
    }
    return -1;
}

int64_t SecureConnection::secureReceive(const std::string& tag, char* buffer, uint32_t length) {
    if (stream_ == nullptr) {
        errno = EPIPE;
        return -1;
    }
    const int32_t chunk = static_cast<int32_t>(std::min<uint32_t>(length, INT32_MAX));
    const int32_t result = stream_->receive(buffer, chunk);
    if (result > 0) {
        return result;
    }
    switch (classify(*stream_, tag)) {
        case Failure::WouldBlock:
            // Only protocol records (session tickets, key updates) or part of a record came:
            // the session is fine, there is just nothing to hand out yet.
            errno = EAGAIN;
            return -1;
        case Failure::PeerClosed:
            return 0;
        case Failure::Fatal:
            break;
    }
    AP_LOG(Warning, "Error reading secure socket", tag);
    errno = EPIPE;
    return -1;
}

bool SecureConnection::handshakeStep(const std::string& tag, const char* failure,
                                     uint32_t* events) {
    const int32_t code = stream_ != nullptr ? stream_->handshake() : tarn::tls::RC_TLS_IO_ERROR;
    switch (code) {
        case tarn::tls::RC_TLS_OK:
            return true;
        case tarn::tls::RC_TLS_WANT_READ:
            *events = io::EVENT_INPUT;
            return true;
        case tarn::tls::RC_TLS_WANT_WRITE:
            *events = io::EVENT_OUTPUT;
            return true;
        default:
            break;
    }
    if (stream_ != nullptr) {
        classify(*stream_, tag);
    }
    AP_LOG(Error, failure, tag, "tls error code", code);
    return false;
}

void SecureConnection::closeStream() {
    if (stream_ != nullptr) {
        stream_->close();
        stream_.reset();
    }
}

}  // namespace connection
