#pragma once

#include "libs/tlslib/Result.h"
#include "libs/tlslib/TlsStream.h"

namespace tarn::tls {

// The client side of a TLS link before its session exists, from
// TlsSocketFactory::createClientSocket. Abstract so that the system's tests can substitute it.
// Used by one thread at a time.
class TlsClientSocket {
public:
    virtual ~TlsClientSocket() = default;

    // Connects to the address and port the socket was created for and runs the handshake.
    // Blocks until the session is up or has failed; on failure the record carries the code.
    virtual Result<TlsStream> connect() = 0;
    // The socket's descriptor, -1 while there is none. Owned by this object, which closes it.
    virtual int descriptor() const = 0;
};

}  // namespace tarn::tls
