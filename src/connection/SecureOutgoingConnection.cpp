#include "connection/SecureOutgoingConnection.h"

#include <utility>

#include "libs/tlslib/ErrorCodes.h"
#include "libs/tlslib/InetAddressFactory.h"
#include "os/SocketHelpers.h"
#include "utils/logging/Logger.h"

namespace connection {

using utils::logging::Error;
using utils::logging::Info;

SecureOutgoingConnection::SecureOutgoingConnection(
    const std::shared_ptr<tarn::tls::TlsSocketFactory>& factory, const sockaddr_in6& destination,
    std::string serverName, bool confidential)
    : OutgoingConnection(State::Handshaking), serverName_(std::move(serverName)) {
    tarn::tls::Result<tarn::tls::IPAddress> address =
        tarn::tls::InetAddressFactory::makeIPAddress(os::addressToString(destination));
    tarn::tls::Result<tarn::tls::TlsClientSocket> created =
        factory == nullptr || address.object == nullptr
            ? tarn::tls::Result<tarn::tls::TlsClientSocket>::failure(
                  factory == nullptr ? tarn::tls::RC_TLS_UNAVAILABLE : address.errorCode)
            : factory->createClientSocket(address.object, os::portOf(destination), serverName_,
                                          confidential, tarn::tls::OPTION_NON_BLOCKING);
    if (created.errorCode != tarn::tls::RC_TLS_OK || created.object == nullptr) {
        AP_LOG(Error, "Secure Outgoing Connection socket creation failed", "tls error code",
               created.errorCode);
        status_ = StatusNoSocket;
        return;
    }
    clientSocket_ = std::move(created.object);
    // Starts the TCP connect only; the handler drives the rest.
    tarn::tls::Result<tarn::tls::TlsStream> connected = clientSocket_->connect();
    if (connected.errorCode != tarn::tls::RC_TLS_OK || connected.object == nullptr) {
        AP_LOG(Error, "Secure Outgoing Connection session failed", "tls error code",
               connected.errorCode);
        status_ = StatusNotConnected;
        clientSocket_.reset();
        return;
    }
    stream_ = std::move(connected.object);
    stream_->setMode(confidential);
    socket_ = clientSocket_->descriptor();
    os::setNoDelay(socket_);
    os::setKeepAlive(socket_);
}

SecureOutgoingConnection::~SecureOutgoingConnection() {
    if (!disconnected()) {
        // Leaves socket_ at -1, so the base destructor closes nothing a second time.
        closeDescriptor();
    }
}

int64_t SecureOutgoingConnection::rawSend(const char* data, uint32_t length) {
    return secureSend(tag_, data, length);
}

int64_t SecureOutgoingConnection::rawReceive(char* buffer, uint32_t length) {
    const int64_t result = secureReceive(tag_, buffer, length);
    if (result > 0 && hasPendingPlaintext()) {
        scheduleRead();
    }
    return result;
}

bool SecureOutgoingConnection::hasBufferedInput() const {
    return hasPendingPlaintext();
}

void SecureOutgoingConnection::closeDescriptor() {
    closeStream();
    // The client socket owns the descriptor and closes it as it goes.
    clientSocket_.reset();
    socket_ = -1;
}

bool SecureOutgoingConnection::continueSetUp(uint32_t /*events*/) {
    if (!handshakeStep(tag_, "Secure Outgoing Connection session failed", &setUpEvents_)) {
        return false;
    }
    if (!stream_->established()) {
        updateEvents();
        return true;
    }
    AP_LOG(Info, "Secure outgoing session established", tag_, "peer", stream_->peerIdentity(),
           "protocol", stream_->protocolVersion(), "cipher", stream_->cipherName());
    return setUpComplete();
}

}  // namespace connection
