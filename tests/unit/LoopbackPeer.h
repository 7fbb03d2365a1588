#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

namespace peer_testing {

// A TCP connection over [::1] (port 0) made by this process. The client socket is inherited by
// child processes, so that another process can hold it too.
class LoopbackConnection {
public:
    LoopbackConnection() {
        socklen_t length = sizeof(server_);
        auto* address = reinterpret_cast<sockaddr*>(&server_);
        const int listener = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        client_ = ::socket(AF_INET6, SOCK_STREAM, 0);
        // Lets another socket listen on the client's own address and port.
        const int on = 1;
        ::setsockopt(client_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
        ok_ = ::bind(listener, address, length) == 0 && ::listen(listener, 1) == 0 &&
              ::getsockname(listener, address, &length) == 0 &&
              ::connect(client_, address, length) == 0 &&
              (accepted_ = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)) != -1 &&
              ::getsockname(client_, reinterpret_cast<sockaddr*>(&clientAddress_), &length) == 0;
        ::close(listener);
    }
    ~LoopbackConnection() {
        ::close(client_);
        ::close(accepted_);
    }

    // Closes the client end with a reset, so that no TIME_WAIT socket stays behind.
    void resetClient() {
        const linger reset{1, 0};
        ::setsockopt(client_, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
        ::close(client_);
        client_ = -1;
    }

    bool ok() const { return ok_; }
    uint16_t serverPort() const { return ntohs(server_.sin6_port); }
    // The server end: where the client connected to.
    const sockaddr_in6& serverAddress() const { return server_; }
    int clientSocket() const { return client_; }
    // The client end as the proxy sees it: the accepted socket's peer.
    const sockaddr_in6& clientAddress() const { return clientAddress_; }

private:
    sockaddr_in6 server_{AF_INET6, 0, 0, in6addr_loopback, 0};
    sockaddr_in6 clientAddress_{};
    bool ok_ = false;
    int client_ = -1;
    int accepted_ = -1;
};

}  // namespace peer_testing
