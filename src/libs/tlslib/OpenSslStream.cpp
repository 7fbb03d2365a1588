#include "libs/tlslib/OpenSslStream.h"

#include <fcntl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <utility>

#include "libs/tlslib/ErrorCodes.h"
#include "libs/tlslib/OpenSslErrorScope.h"

namespace tarn::tls {

namespace {

std::atomic<uint32_t> nextSessionId{1};

// The subject's one common name. A certificate with none, several, or one holding control
// characters names nobody: the name travels on as a header value.
std::string commonNameOf(X509* certificate) {
    if (certificate == nullptr) {
        return {};
    }
    X509_NAME* subject = X509_get_subject_name(certificate);
    const int index = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
    if (index < 0 || X509_NAME_get_index_by_NID(subject, NID_commonName, index) >= 0) {
        return {};
    }
    unsigned char* text = nullptr;
    const int length =
        ASN1_STRING_to_UTF8(&text, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index)));
    if (length < 0) {
        return {};
    }
    std::string name(reinterpret_cast<char*>(text), static_cast<size_t>(length));
    OPENSSL_free(text);
    const bool printable = std::none_of(name.begin(), name.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7f;
    });
    return printable ? name : std::string();
}

}  // namespace

OpenSslStream::OpenSslStream(SslPtr session, int descriptor, bool connecting,
                             std::shared_ptr<IPAddress> peerAddress, uint16_t peerPort)
    : session_(std::move(session)),
      descriptor_(descriptor),
      state_(connecting ? State::Connecting : State::Handshaking),
      peerAddress_(std::move(peerAddress)),
      peerPort_(peerPort),
      sessionId_(nextSessionId.fetch_add(1)) {}

int32_t OpenSslStream::handshake() {
    switch (state_) {
        case State::Established:
            return RC_TLS_OK;
        case State::Closed:
            queue(RC_TLS_SEND_AFTER_SHUTDOWN);
            return RC_TLS_SEND_AFTER_SHUTDOWN;
        case State::Failed:
            queue(failureCode_);
            return failureCode_;
        case State::Connecting:
            if (int32_t code = finishConnect(); code != RC_TLS_OK) {
                return code;
            }
            break;
        case State::Handshaking:
            break;
    }
    OpenSslErrorScope errorScope;
    const int result = SSL_do_handshake(session_.get());
    if (result != 1) {
        const int32_t code = sessionFailure(result);
        // A close_notify before the session exists is as final as a reset.
        return code == RC_TLS_WANT_READ || code == RC_TLS_WANT_WRITE ? code : fail(code);
    }
    state_ = State::Established;
    peerIdentity_ = commonNameOf(SSL_get0_peer_certificate(session_.get()));
    cipherName_ = SSL_get_cipher_name(session_.get());
    protocolVersion_ = SSL_get_version(session_.get());
    return RC_TLS_OK;
}

int32_t OpenSslStream::finishConnect() {
    // A connecting socket turns writable once the connect has succeeded or failed.
    pollfd check{descriptor_, POLLOUT, 0};
    if (::poll(&check, 1, 0) == 0) {
        return RC_TLS_WANT_WRITE;
    }
    int error = 0;
    socklen_t length = sizeof(error);
    if (::getsockopt(descriptor_, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
        return fail(RC_TLS_IO_ERROR);
    }
    state_ = State::Handshaking;
    return RC_TLS_OK;
}

int32_t OpenSslStream::completeHandshake(std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        const int32_t code = handshake();
        if (code != RC_TLS_WANT_READ && code != RC_TLS_WANT_WRITE) {
            return code;
        }
        const auto remaining = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (remaining.count() <= 0) {
            return fail(RC_TLS_HANDSHAKE_TIMEOUT);
        }
        pollfd wait{descriptor_, static_cast<short>(code == RC_TLS_WANT_READ ? POLLIN : POLLOUT),
                    0};
        const int timeout = static_cast<int>(std::min<int64_t>(remaining.count(), INT_MAX));
        if (::poll(&wait, 1, timeout) < 0 && errno != EINTR) {
            return fail(RC_TLS_IO_ERROR);
        }
    }
}

int32_t OpenSslStream::readyForData() {
    if (state_ == State::Established) {
        return RC_TLS_OK;
    }
    const int32_t code = handshake();
    if (code == RC_TLS_WANT_READ || code == RC_TLS_WANT_WRITE) {
        queue(code);  // handshake() reports these by its result only
    }
    return code;
}

int32_t OpenSslStream::send(const void* data, int32_t length) {
    if (length == 0 && state_ != State::Closed) {
        return 0;
    }
    if (data == nullptr || length < 0) {
        queue(RC_TLS_INVALID_ARGUMENT);
        return -1;
    }
    if (readyForData() != RC_TLS_OK) {
        return -1;
    }
    OpenSslErrorScope errorScope;
    const int result = SSL_write(session_.get(), data, length);
    if (result > 0) {
        return result;
    }
    queue(sessionFailure(result));
    return -1;
}

int32_t OpenSslStream::receive(void* buffer, int32_t length) {
    if (buffer == nullptr || length <= 0) {
        queue(RC_TLS_INVALID_ARGUMENT);
        return -1;
    }
    if (readyForData() != RC_TLS_OK) {
        return -1;
    }
    OpenSslErrorScope errorScope;
    const int result = SSL_read(session_.get(), buffer, length);
    if (result > 0) {
        return result;
    }
    // Records that carry no data (session tickets, key updates) end here as "want read" when
    // nothing else has arrived: no failure.
    queue(sessionFailure(result));
    return -1;
}

int32_t OpenSslStream::sessionFailure(int result) {
    switch (SSL_get_error(session_.get(), result)) {
        case SSL_ERROR_WANT_READ:
            return RC_TLS_WANT_READ;
        case SSL_ERROR_WANT_WRITE:
            return RC_TLS_WANT_WRITE;
        case SSL_ERROR_ZERO_RETURN:
            // The session stays usable for sending; OpenSSL keeps reporting the closure.
            return RC_TLS_PEER_CLOSED;
        default:
            // Resets, an end of stream without close_notify, refused certificates and broken
            // records alike: OpenSSL must not touch the session again beyond freeing it.
            state_ = State::Failed;
            failureCode_ = RC_TLS_IO_ERROR;
            return RC_TLS_IO_ERROR;
    }
}

int32_t OpenSslStream::fail(int32_t code) {
    state_ = State::Failed;
    failureCode_ = code;
    queue(code);
    return code;
}

void OpenSslStream::queue(int32_t code) {
    if (errors_.size() == MAX_QUEUED_ERRORS) {
        errors_.pop_front();
    }
    errors_.push_back(code);
}

void OpenSslStream::close() {
    if (state_ == State::Closed) {
        return;
    }
    if (state_ == State::Established) {
        OpenSslErrorScope errorScope;
        // close_notify is a courtesy: on a blocking descriptor a peer that stopped reading must
        // not hold the closing thread, so the alert goes out only if the socket takes it now.
        const int flags = ::fcntl(descriptor_, F_GETFL);
        const bool blocking = flags != -1 && (flags & O_NONBLOCK) == 0;
        if (blocking) {
            ::fcntl(descriptor_, F_SETFL, flags | O_NONBLOCK);
        }
        SSL_shutdown(session_.get());
        if (blocking) {
            ::fcntl(descriptor_, F_SETFL, flags);
        }
    }
    session_.reset();
    state_ = State::Closed;
}

int32_t OpenSslStream::popError() {
    if (errors_.empty()) {
        return RC_TLS_NO_ERROR_QUEUED;
    }
    const int32_t code = errors_.front();
    errors_.pop_front();
    return code;
}

void OpenSslStream::setMode(bool /*mode*/) {}

std::string OpenSslStream::peerIdentity() const {
    return peerIdentity_;
}

bool OpenSslStream::established() const {
    return state_ == State::Established;
}

int32_t OpenSslStream::pending() const {
    return state_ == State::Established ? SSL_pending(session_.get()) : 0;
}

std::string OpenSslStream::cipherName() const {
    return cipherName_;
}

std::string OpenSslStream::protocolVersion() const {
    return protocolVersion_;
}

std::shared_ptr<IPAddress> OpenSslStream::peerAddress() const {
    return peerAddress_;
}

uint16_t OpenSslStream::peerPort() const {
    return peerPort_;
}

uint32_t OpenSslStream::sessionId() const {
    return sessionId_;
}

}  // namespace tarn::tls
