#pragma once

#include <chrono>
#include <memory>

#include "libs/tlslib/OpenSslContextStore.h"
#include "libs/tlslib/TlsSocketFactory.h"

namespace tarn::tls {

// The library's own factory, the one initTLSLib yields (see TlsSocketFactory.h for the
// contract). Without a context store (no credentials configured) it is not available and
// refuses every session with RC_TLS_UNAVAILABLE; after cleanupTLSLib it refuses with
// RC_TLS_NOT_INITIALIZED. In both cases the descriptor is left untouched.
class OpenSslSocketFactory : public TlsSocketFactory {
public:
    explicit OpenSslSocketFactory(std::shared_ptr<OpenSslContextStore> contexts,
                                  std::chrono::milliseconds handshakeDeadline = HANDSHAKE_DEADLINE);

    bool available() const override { return contexts_ != nullptr; }
    Result<TlsStream> createServerStream(int descriptor, const std::string& nodeAddress,
                                         bool mode) override;
    Result<TlsClientSocket> createClientSocket(std::shared_ptr<IPAddress> address, uint16_t port,
                                               std::string serverName, bool mode,
                                               uint32_t options) override;

private:
    // RC_TLS_OK when sessions may be made now, else why not.
    int32_t refusal() const;

    std::shared_ptr<OpenSslContextStore> contexts_;
    std::chrono::milliseconds handshakeDeadline_;
};

}  // namespace tarn::tls
