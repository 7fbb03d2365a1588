#include "connection/SecureIncomingConnection.h"

#include "libs/tlslib/ErrorCodes.h"
#include "utils/BuildConfig.h"
#include "utils/logging/Logger.h"

namespace connection {

using utils::logging::Debug;
using utils::logging::Error;
using utils::logging::Info;

SecureIncomingConnection::SecureIncomingConnection(
    const std::shared_ptr<tarn::tls::TlsSocketFactory>& factory, int descriptor, const char* domain,
    bool confidential)
    : IncomingConnection(domain, State::Handshaking) {
    // The first request of the link carries the client's proven identity.
    addHeader_ = true;
    // The descriptor was accepted non-blocking: the library never waits on it, and the
    // handshake is driven by the handler that adopts the connection.
    tarn::tls::Result<tarn::tls::TlsStream> created =
        factory != nullptr
            ? factory->createServerStream(descriptor, config::NODE_ADDRESS_VALUE, confidential)
            : tarn::tls::Result<tarn::tls::TlsStream>::failure(tarn::tls::RC_TLS_UNAVAILABLE);
    if (created.errorCode != tarn::tls::RC_TLS_OK || created.object == nullptr) {
        AP_LOG(Error, "Secure Incoming Connection session failed", created.errorCode);
        status_ = StatusNotConnected;
        return;
    }
    socket_ = descriptor;
    stream_ = std::move(created.object);
    stream_->setMode(confidential);
    // The client's first flight may be here already.
    if (!handshakeStep(tag_, "Secure Incoming Connection session failed", &setUpEvents_)) {
        status_ = StatusNotConnected;
        closeStream();
        socket_ = -1;
    }
}

SecureIncomingConnection::~SecureIncomingConnection() {
    if (!disconnected()) {
        // The base destructor closes the descriptor after the session is gone.
        closeStream();
    }
}

int64_t SecureIncomingConnection::rawSend(const char* data, uint32_t length) {
    return secureSend(tag_, data, length);
}

int64_t SecureIncomingConnection::rawReceive(char* buffer, uint32_t length) {
    const int64_t result = secureReceive(tag_, buffer, length);
    if (result > 0 && hasPendingPlaintext()) {
        scheduleRead();
    }
    return result;
}

bool SecureIncomingConnection::hasBufferedInput() const {
    return IncomingConnection::hasBufferedInput() || hasPendingPlaintext();
}

void SecureIncomingConnection::closeDescriptor() {
    closeStream();
    IncomingConnection::closeDescriptor();
}

bool SecureIncomingConnection::continueSetUp(uint32_t /*events*/) {
    if (!handshakeStep(tag_, "Secure Incoming Connection session failed", &setUpEvents_)) {
        return false;
    }
    if (!stream_->established()) {
        updateEvents();
        return true;
    }
    if (stream_->peerIdentity().empty()) {
        // The identity header would name nobody (or the name was not safe to send).
        AP_LOG(Error, "Secure Incoming Connection session failed",
               "peer certificate names no usable identity", tag_);
        return false;
    }
    AP_LOG(Info, "Secure incoming session established", tag_, "peer", stream_->peerIdentity(),
           "protocol", stream_->protocolVersion(), "cipher", stream_->cipherName());
    if (!setUpComplete()) {
        return false;
    }
    expectFirstRequest();
    return true;
}

std::string SecureIncomingConnection::headerValue() {
    return stream_ != nullptr ? stream_->peerIdentity() : std::string();
}

}  // namespace connection
