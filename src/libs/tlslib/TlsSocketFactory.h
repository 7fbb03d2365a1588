#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "libs/tlslib/IPAddress.h"
#include "libs/tlslib/Result.h"
#include "libs/tlslib/TlsClientSocket.h"
#include "libs/tlslib/TlsStream.h"

namespace tarn::tls {

// createClientSocket option: connect() starts a non-blocking TCP connect and returns the stream
// at once, to be driven by TlsStream::handshake().
inline constexpr uint32_t OPTION_NON_BLOCKING = 1;

// How long a blocking handshake (TCP connect included, on the client side) may take in all.
inline constexpr std::chrono::milliseconds HANDSHAKE_DEADLINE{10000};

// Makes TLS sessions. One factory is yielded by initTLSLib and shared (by shared pointer) by
// every thread that sets up connections: all operations may be called from several threads
// at once. Abstract so that the system's tests can substitute it.
//
// Sessions are mutually authenticated: each side presents a certificate and verifies the
// peer's chain against the configured trust anchor. Mode true (confidential) allows TLS 1.2
// and 1.3 with AEAD suites only; mode false (authentic) is TLS 1.2 with integrity-only suites:
// every record is authenticated, none is encrypted.
class TlsSocketFactory {
public:
    virtual ~TlsSocketFactory() = default;

    // False when no credentials are configured: every create operation then fails with
    // RC_TLS_UNAVAILABLE, and links that need TLS must be refused.
    virtual bool available() const = 0;

    // Server side of a session on an accepted, connected descriptor. The descriptor is never
    // taken over nor closed, whatever the outcome: its owner closes it (after the stream's
    // close() when there is a stream). mode is true for confidential links, false for authentic
    // ones. nodeAddress is accepted for compatibility; the node's certificate is what names this
    // node to the peer.
    // Blocking descriptor: the whole handshake runs before the call returns, bounded by the
    // handshake deadline, so the result decides at once whether the connection is usable
    // (RC_TLS_HANDSHAKE_TIMEOUT, RC_TLS_IO_ERROR, RC_TLS_PEER_CLOSED on failure); the
    // descriptor is left blocking. Non-blocking descriptor: only sets the session up and
    // returns the stream at once; the owner drives TlsStream::handshake().
    virtual Result<TlsStream> createServerStream(int descriptor, const std::string& nodeAddress,
                                                 bool mode) = 0;
    // Prepares a client socket towards address and port (host order). serverName is the alias
    // of the application the link is made for: when the credentials directory holds
    // <serverName>.pem and <serverName>.key the client presents them, else the node's identity
    // (RC_TLS_BAD_CREDENTIALS when only one of the two exists or they do not load). The server's
    // host name is not checked (destinations are addresses); its chain must verify. options:
    // 0 or OPTION_NON_BLOCKING; other bits give RC_TLS_INVALID_ARGUMENT.
    virtual Result<TlsClientSocket> createClientSocket(std::shared_ptr<IPAddress> address,
                                                       uint16_t port, std::string serverName,
                                                       bool mode, uint32_t options) = 0;
};

}  // namespace tarn::tls
