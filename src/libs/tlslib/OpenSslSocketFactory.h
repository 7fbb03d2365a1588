#pragma once

#include "libs/tlslib/TlsSocketFactory.h"

namespace tarn::tls {

// The library's own factory, the one initTLSLib yields. Sessions over OpenSSL are not built
// yet: both create operations answer RC_TLS_NOT_IMPLEMENTED (RC_TLS_NOT_INITIALIZED after
// cleanupTLSLib) without touching the descriptor, so every secure connection is refused
// cleanly and plain links keep working. Stateless; callable from any thread.
class OpenSslSocketFactory : public TlsSocketFactory {
public:
    Result<TlsStream> createServerStream(int descriptor, const std::string& nodeAddress,
                                         bool mode) override;
    Result<TlsClientSocket> createClientSocket(std::shared_ptr<IPAddress> address, uint16_t port,
                                               std::string serverName, bool mode,
                                               uint32_t options) override;
};

}  // namespace tarn::tls
