#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <memory>
#include <string>

#include "connection/OutgoingConnection.h"
#include "connection/SecureConnection.h"
#include "libs/tlslib/TlsClientSocket.h"
#include "libs/tlslib/TlsSocketFactory.h"

namespace connection {

// The connection to the original destination wrapped in TLS (forward role, authentic or
// confidential link), presenting the credentials of the client's application (the server name)
// or the node's. It forwards like a plain outgoing connection.
//
// The TCP connect and the handshake run on the handler, driven by readiness events and bounded
// by the handshake deadline.
// Ownership: the TLS client socket owns the descriptor and closes it when released (disconnect
// or destruction); nothing else closes it.
class SecureOutgoingConnection : public OutgoingConnection, public SecureConnection {
public:
    SecureOutgoingConnection(const std::shared_ptr<tarn::tls::TlsSocketFactory>& factory,
                             const sockaddr_in6& destination, std::string serverName,
                             bool confidential);
    ~SecureOutgoingConnection() override;

    int64_t rawSend(const char* data, uint32_t length) override;
    int64_t rawReceive(char* buffer, uint32_t length) override;
    bool continueSetUp(uint32_t events) override;
    bool hasBufferedInput() const override;

protected:
    void closeDescriptor() override;
    void discardUnreadInputBeforeClose() override {}
    bool canHalfClose() const override { return false; }

private:
    std::shared_ptr<tarn::tls::TlsClientSocket> clientSocket_;
    std::string serverName_;
};

}  // namespace connection
