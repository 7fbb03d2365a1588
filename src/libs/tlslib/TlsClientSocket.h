#pragma once

#include "libs/tlslib/Result.h"
#include "libs/tlslib/TlsStream.h"

namespace tarn::tls {

// The client side of a TLS link before its session exists, from
// TlsSocketFactory::createClientSocket. Abstract so that the system's tests can substitute it.
// Used by one thread at a time.
//
// The socket owns the descriptor it creates and closes it when it is destroyed (or at once when
// connect() fails). Nobody else closes it: neither the stream connect() returns nor the caller,
// and the socket must outlive that stream.
class TlsClientSocket {
public:
    virtual ~TlsClientSocket() = default;

    // Connects to the address and port the socket was created for. Without OPTION_NON_BLOCKING
    // it blocks until the session is up or has failed, bounded by the handshake deadline
    // (RC_TLS_HANDSHAKE_TIMEOUT), and leaves the descriptor blocking. With OPTION_NON_BLOCKING it
    // only starts the TCP connect and returns the stream at once; the caller drives it with
    // TlsStream::handshake() (see TlsStream.h) on a descriptor that stays non-blocking. A TCP
    // connect refused at once fails here with RC_TLS_IO_ERROR. Called once per socket.
    virtual Result<TlsStream> connect() = 0;
    // The socket's descriptor, valid right after connect() returned a stream; -1 before, and
    // after a failed connect().
    virtual int descriptor() const = 0;
};

}  // namespace tarn::tls
