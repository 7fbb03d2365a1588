#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "libs/tlslib/IPAddress.h"
#include "libs/tlslib/Result.h"
#include "libs/tlslib/TlsClientSocket.h"
#include "libs/tlslib/TlsStream.h"

namespace tarn::tls {

// Makes TLS sessions. One factory is yielded by initTLSLib and shared (by shared pointer) by
// every thread that sets up connections: both operations may be called from several threads
// at once. Abstract so that the system's tests can substitute it.
class TlsSocketFactory {
public:
    virtual ~TlsSocketFactory() = default;

    // Runs the server side of the handshake on an accepted, connected descriptor and returns
    // the stream, synchronously. The descriptor is not taken over: on failure the caller still
    // owns and closes it. nodeAddress names this node to the peer; mode is true for
    // confidential links, false for authentic ones.
    virtual Result<TlsStream> createServerStream(int descriptor, const std::string& nodeAddress,
                                                 bool mode) = 0;
    // Prepares a client socket towards address and port (host order); serverName is the name
    // the server is expected to prove. options is reserved and must be 0.
    virtual Result<TlsClientSocket> createClientSocket(std::shared_ptr<IPAddress> address,
                                                       uint16_t port, std::string serverName,
                                                       bool mode, uint32_t options) = 0;
};

}  // namespace tarn::tls
