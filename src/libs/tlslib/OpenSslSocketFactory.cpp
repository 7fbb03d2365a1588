#include "libs/tlslib/OpenSslSocketFactory.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <utility>

#include "libs/tlslib/OpenSslClientSocket.h"
#include "libs/tlslib/OpenSslErrorScope.h"
#include "libs/tlslib/OpenSslStream.h"
#include "libs/tlslib/TlsLib.h"

namespace tarn::tls {

namespace {

// The peer of an accepted IPv6 socket; no address for any other kind of descriptor.
std::shared_ptr<IPAddress> peerOf(int descriptor, uint16_t& port) {
    sockaddr_in6 peer{};
    socklen_t length = sizeof(peer);
    char text[INET6_ADDRSTRLEN] = {};
    port = 0;
    if (::getpeername(descriptor, reinterpret_cast<sockaddr*>(&peer), &length) != 0 ||
        peer.sin6_family != AF_INET6 ||
        ::inet_ntop(AF_INET6, &peer.sin6_addr, text, sizeof(text)) == nullptr) {
        return nullptr;
    }
    port = ntohs(peer.sin6_port);
    return std::make_shared<IPAddress>(peer.sin6_addr, text);
}

}  // namespace

OpenSslSocketFactory::OpenSslSocketFactory(std::shared_ptr<OpenSslContextStore> contexts,
                                           std::chrono::milliseconds handshakeDeadline)
    : contexts_(std::move(contexts)), handshakeDeadline_(handshakeDeadline) {}

int32_t OpenSslSocketFactory::refusal() const {
    if (!isTLSLibInitialized()) {
        return RC_TLS_NOT_INITIALIZED;
    }
    return contexts_ ? RC_TLS_OK : RC_TLS_UNAVAILABLE;
}

Result<TlsStream> OpenSslSocketFactory::createServerStream(int descriptor,
                                                           const std::string& /*nodeAddress*/,
                                                           bool mode) {
    if (const int32_t code = refusal(); code != RC_TLS_OK) {
        return Result<TlsStream>::failure(code);
    }
    const int flags = descriptor < 0 ? -1 : ::fcntl(descriptor, F_GETFL);
    if (flags == -1) {
        return Result<TlsStream>::failure(RC_TLS_INVALID_ARGUMENT);
    }
    SslPtr session;
    {
        OpenSslErrorScope errorScope;
        session.reset(SSL_new(contexts_->serverContext(mode)));
        if (!session || SSL_set_fd(session.get(), descriptor) != 1) {
            return Result<TlsStream>::failure(RC_TLS_IO_ERROR);
        }
    }
    SSL_set_accept_state(session.get());
    uint16_t port = 0;
    std::shared_ptr<IPAddress> address = peerOf(descriptor, port);
    auto stream = std::make_shared<OpenSslStream>(std::move(session), descriptor, false,
                                                  std::move(address), port);
    if ((flags & O_NONBLOCK) != 0) {
        return Result<TlsStream>::success(std::move(stream));
    }

    // A blocking read could wait for ever on a client that sends half a record; the handshake
    // runs non-blocking under poll instead, and the caller gets its blocking descriptor back.
    const auto deadline = std::chrono::steady_clock::now() + handshakeDeadline_;
    if (::fcntl(descriptor, F_SETFL, flags | O_NONBLOCK) == -1) {
        return Result<TlsStream>::failure(RC_TLS_IO_ERROR);
    }
    const int32_t code = stream->completeHandshake(deadline);
    ::fcntl(descriptor, F_SETFL, flags);
    if (code != RC_TLS_OK) {
        return Result<TlsStream>::failure(code);
    }
    return Result<TlsStream>::success(std::move(stream));
}

Result<TlsClientSocket> OpenSslSocketFactory::createClientSocket(std::shared_ptr<IPAddress> address,
                                                                 uint16_t port,
                                                                 std::string serverName, bool mode,
                                                                 uint32_t options) {
    if (const int32_t code = refusal(); code != RC_TLS_OK) {
        return Result<TlsClientSocket>::failure(code);
    }
    if (!address || (options & ~OPTION_NON_BLOCKING) != 0) {
        return Result<TlsClientSocket>::failure(RC_TLS_INVALID_ARGUMENT);
    }
    int32_t code = RC_TLS_OK;
    SSL_CTX* context = contexts_->clientContext(serverName, mode, code);
    if (context == nullptr) {
        return Result<TlsClientSocket>::failure(code);
    }
    return Result<TlsClientSocket>::success(std::make_shared<OpenSslClientSocket>(
        context, std::move(address), port, options, handshakeDeadline_));
}

}  // namespace tarn::tls
