#pragma once

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace peer_testing {

// A TCP connection over [::1] made by this process: listener on port 0, client, accepted side.
class LoopbackConnection {
public:
    LoopbackConnection() {
        listener_ = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (listener_ == -1) {
            return;
        }
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_addr = in6addr_loopback;
        socklen_t length = sizeof(address);
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
            ::listen(listener_, 4) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            return;
        }
        serverPort_ = ntohs(address.sin6_port);
        client_ = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (client_ == -1 ||
            ::connect(client_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
            return;
        }
        server_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        length = sizeof(clientAddress_);
        ok_ = server_ != -1 &&
              ::getsockname(client_, reinterpret_cast<sockaddr*>(&clientAddress_), &length) == 0;
    }
    ~LoopbackConnection() {
        closeClient();
        closeDescriptor(server_);
        closeDescriptor(listener_);
    }
    LoopbackConnection(const LoopbackConnection&) = delete;
    LoopbackConnection& operator=(const LoopbackConnection&) = delete;

    bool ok() const { return ok_; }
    int clientDescriptor() const { return client_; }
    // The client end as the proxy sees it: the accepted socket's peer.
    const sockaddr_in6& clientAddress() const { return clientAddress_; }
    uint16_t serverPort() const { return serverPort_; }
    void closeClient() { closeDescriptor(client_); }

private:
    static void closeDescriptor(int& descriptor) {
        if (descriptor != -1) {
            ::close(descriptor);
            descriptor = -1;
        }
    }

    bool ok_ = false;
    int listener_ = -1;
    int client_ = -1;
    int server_ = -1;
    uint16_t serverPort_ = 0;
    sockaddr_in6 clientAddress_{};
};

// A child process holding a copy of every descriptor this process had at construction, until
// it is released. The child also ends by itself after a minute should the test never release it.
class DescriptorHoldingChild {
public:
    DescriptorHoldingChild() {
        int pipeEnds[2];
        if (::pipe(pipeEnds) != 0) {
            return;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(pipeEnds[1]);
            ::alarm(60);
            char byte;
            while (::read(pipeEnds[0], &byte, 1) < 0 && errno == EINTR) {
            }
            ::_exit(0);
        }
        ::close(pipeEnds[0]);
        if (pid_ == -1) {
            ::close(pipeEnds[1]);
            return;
        }
        release_ = pipeEnds[1];
    }
    ~DescriptorHoldingChild() { release(); }
    DescriptorHoldingChild(const DescriptorHoldingChild&) = delete;
    DescriptorHoldingChild& operator=(const DescriptorHoldingChild&) = delete;

    pid_t pid() const { return pid_; }

    // Lets the child exit and reaps it; it exits as soon as its pipe reports end of file.
    void release() {
        if (release_ != -1) {
            ::close(release_);
            release_ = -1;
        }
        if (pid_ > 0) {
            while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
            }
            pid_ = -1;
        }
    }

private:
    pid_t pid_ = -1;
    int release_ = -1;
};

}  // namespace peer_testing
