#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

#include "libs/tlslib/IPAddress.h"
#include "libs/tlslib/OpenSslHandles.h"
#include "libs/tlslib/TlsClientSocket.h"

namespace tarn::tls {

// A TlsClientSocket over OpenSSL (see TlsClientSocket.h for the contract). Holds its own
// reference to the context it makes the session from.
class OpenSslClientSocket : public TlsClientSocket {
public:
    OpenSslClientSocket(SSL_CTX* context, std::shared_ptr<IPAddress> address, uint16_t port,
                        uint32_t options, std::chrono::milliseconds handshakeDeadline);
    ~OpenSslClientSocket() override;
    OpenSslClientSocket(const OpenSslClientSocket&) = delete;
    OpenSslClientSocket& operator=(const OpenSslClientSocket&) = delete;

    Result<TlsStream> connect() override;
    int descriptor() const override { return descriptor_; }

private:
    Result<TlsStream> connectFailed(int32_t code);

    SslContextPtr context_;
    std::shared_ptr<IPAddress> address_;
    uint16_t port_;
    uint32_t options_;
    std::chrono::milliseconds handshakeDeadline_;
    int descriptor_ = -1;
    bool connectCalled_ = false;
};

}  // namespace tarn::tls
