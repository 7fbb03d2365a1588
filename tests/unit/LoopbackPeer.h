#pragma once

#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <functional>

namespace peer_testing {

// A TCP connection over [::1] (port 0) made by this process.
class LoopbackConnection {
public:
    LoopbackConnection() {
        sockaddr_in6 server{};
        server.sin6_family = AF_INET6;
        server.sin6_addr = in6addr_loopback;
        socklen_t length = sizeof(server);
        auto* address = reinterpret_cast<sockaddr*>(&server);
        listener_ = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        client_ = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ok_ = ::bind(listener_, address, length) == 0 && ::listen(listener_, 1) == 0 &&
              ::getsockname(listener_, address, &length) == 0 &&
              ::connect(client_, address, length) == 0 &&
              (accepted_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC)) != -1 &&
              ::getsockname(client_, reinterpret_cast<sockaddr*>(&clientAddress_), &length) == 0;
        serverPort_ = ntohs(server.sin6_port);
    }
    ~LoopbackConnection() {
        for (int descriptor : {client_, accepted_, listener_}) {
            ::close(descriptor);
        }
    }

    bool ok() const { return ok_; }
    // The client end as the proxy sees it: the accepted socket's peer.
    const sockaddr_in6& clientAddress() const { return clientAddress_; }
    uint16_t serverPort() const { return serverPort_; }
    void closeClient() {
        ::close(client_);
        client_ = -1;
    }

private:
    bool ok_ = false;
    int listener_ = -1;
    int client_ = -1;
    int accepted_ = -1;
    uint16_t serverPort_ = 0;
    sockaddr_in6 clientAddress_{};
};

// A child process holding a copy of every descriptor this process had at construction until it
// is released. It runs inChild, then stops: the constructor returns once it has stopped.
class DescriptorHoldingChild {
public:
    explicit DescriptorHoldingChild(const std::function<void()>& inChild = {}) : pid_(::fork()) {
        if (pid_ == 0) {
            if (inChild) {
                inChild();
            }
            // Dies with the test; set last, since changing ids clears it.
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            ::raise(SIGSTOP);
            ::_exit(0);
        }
        if (pid_ > 0) {
            ::waitpid(pid_, nullptr, WUNTRACED);
        }
    }
    ~DescriptorHoldingChild() { release(); }

    pid_t pid() const { return pid_; }
    void release() {
        if (pid_ > 0 && ::kill(pid_, SIGKILL) == 0) {
            ::waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
    }

private:
    pid_t pid_;
};

}  // namespace peer_testing
