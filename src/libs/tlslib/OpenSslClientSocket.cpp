#include "libs/tlslib/OpenSslClientSocket.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "libs/tlslib/ErrorCodes.h"
#include "libs/tlslib/OpenSslErrorScope.h"
#include "libs/tlslib/OpenSslStream.h"
#include "libs/tlslib/TlsSocketFactory.h"

namespace tarn::tls {

OpenSslClientSocket::OpenSslClientSocket(SSL_CTX* context, std::shared_ptr<IPAddress> address,
                                         uint16_t port, uint32_t options,
                                         std::chrono::milliseconds handshakeDeadline)
    : context_(context),
      address_(std::move(address)),
      port_(port),
      options_(options),
      handshakeDeadline_(handshakeDeadline) {
    SSL_CTX_up_ref(context);
}

OpenSslClientSocket::~OpenSslClientSocket() {
    if (descriptor_ != -1) {
        ::close(descriptor_);
    }
}

Result<TlsStream> OpenSslClientSocket::connect() {
    if (connectCalled_) {
        return Result<TlsStream>::failure(RC_TLS_INVALID_ARGUMENT);
    }
    connectCalled_ = true;
    const auto deadline = std::chrono::steady_clock::now() + handshakeDeadline_;

    // Even a blocking connect() runs non-blocking underneath, so that poll bounds the TCP
    // connect and every handshake step by the deadline.
    descriptor_ = ::socket(AF_INET6, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (descriptor_ == -1) {
        return Result<TlsStream>::failure(RC_TLS_IO_ERROR);
    }
    sockaddr_in6 target{};
    target.sin6_family = AF_INET6;
    target.sin6_addr = address_->bytes();
    target.sin6_port = htons(port_);
    bool connecting = false;
    if (::connect(descriptor_, reinterpret_cast<const sockaddr*>(&target), sizeof(target)) != 0) {
        if (errno != EINPROGRESS) {
            return connectFailed(RC_TLS_IO_ERROR);
        }
        connecting = true;
    }

    OpenSslErrorScope errorScope;
    SslPtr session(SSL_new(context_.get()));
    if (!session || SSL_set_fd(session.get(), descriptor_) != 1) {
        return connectFailed(RC_TLS_IO_ERROR);
    }
    SSL_set_connect_state(session.get());
    auto stream = std::make_shared<OpenSslStream>(std::move(session), descriptor_, connecting,
                                                  address_, port_);
    if ((options_ & OPTION_NON_BLOCKING) != 0) {
        return Result<TlsStream>::success(std::move(stream));
    }
    if (const int32_t code = stream->completeHandshake(deadline); code != RC_TLS_OK) {
        stream.reset();
        return connectFailed(code);
    }
    const int flags = ::fcntl(descriptor_, F_GETFL);
    if (flags == -1 || ::fcntl(descriptor_, F_SETFL, flags & ~O_NONBLOCK) == -1) {
        return connectFailed(RC_TLS_IO_ERROR);
    }
    return Result<TlsStream>::success(std::move(stream));
}

Result<TlsStream> OpenSslClientSocket::connectFailed(int32_t code) {
    // Nobody else can use the descriptor of a failed connect; holding it until destruction
    // would only keep a dead socket around.
    ::close(descriptor_);
    descriptor_ = -1;
    return Result<TlsStream>::failure(code);
}

}  // namespace tarn::tls
