#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "connection/IncomingConnection.h"
#include "connection/SecureConnection.h"
#include "libs/tlslib/TlsSocketFactory.h"

namespace connection {

// An accepted client connection wrapped in TLS (reverse role, authentic or confidential link).
// It reads like a plain incoming connection (the same gatekeeping read path); the identity header
// of its first forwarded request carries the common name of the client's certificate.
//
// The handshake runs on the handler, driven by readiness events, bounded by the handshake
// deadline: a client that never finishes it holds no thread.
// Ownership: the connection owns the accepted descriptor once the session is set up (socket()
// is then the descriptor); when set-up fails at once, status() is StatusNotConnected, socket()
// is -1 and the descriptor stays with the caller.
class SecureIncomingConnection : public IncomingConnection, public SecureConnection {
public:
    SecureIncomingConnection(const std::shared_ptr<tarn::tls::TlsSocketFactory>& factory,
                             int descriptor, const char* domain, bool confidential);
    ~SecureIncomingConnection() override;

    int64_t rawSend(const char* data, uint32_t length) override;
    int64_t rawReceive(char* buffer, uint32_t length) override;
    bool continueSetUp(uint32_t events) override;
    bool hasBufferedInput() const override;
    // The client certificate's common name.
    std::string headerValue() override;

protected:
    void closeDescriptor() override;
    // The plain drain before closing would take TLS records from under the session.
    void discardUnreadInputBeforeClose() override {}
    bool canHalfClose() const override { return false; }
};

}  // namespace connection
