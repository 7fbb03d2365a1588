#pragma once

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>

#include "connection/IncomingConnection.h"
#include "connection/OutgoingConnection.h"
#include "io/ConnectionHandlerBase.h"

// Real sockets, bounded I/O and stand-ins for the connection, handler and multiplexer tests.
namespace testing_support {

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    ~Fd() { reset(); }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1) {
        if (const int old = std::exchange(fd_, fd); old != -1) {
            ::close(old);
        }
    }

private:
    int fd_;
};

// A listening socket on [::1], port of the kernel's choice, which address receives.
inline Fd listenLoopback(sockaddr_in6& address) {
    Fd fd(::socket(AF_INET6, SOCK_STREAM, 0));
    address = {AF_INET6, 0, 0, in6addr_loopback, 0};
    socklen_t length = sizeof(address);
    const bool ok = ::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), length) == 0 &&
                    ::listen(fd.get(), 16) == 0 &&
                    ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length) == 0;
    return ok ? std::move(fd) : Fd();
}

// Two connected ends, over loopback TCP or, when local is set, a Unix socketpair. The near end
// is non-blocking like the proxy's sockets; the far end blocks, each call for at most 30 s.
inline bool socketPair(Fd& near, Fd& far, bool local = false) {
    int ends[2] = {-1, -1};
    sockaddr_in6 address;
    if (local) {
        ::socketpair(AF_UNIX, SOCK_STREAM, 0, ends);
    } else if (Fd listener = listenLoopback(address); listener.get() >= 0) {
        ends[1] = ::socket(AF_INET6, SOCK_STREAM, 0);
        if (::connect(ends[1], reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
            ends[0] = ::accept(listener.get(), nullptr, nullptr);
        }
    }
    near.reset(ends[0]);
    far.reset(ends[1]);
    const timeval bound{30, 0};
    return ::fcntl(near.get(), F_SETFL, O_NONBLOCK) == 0 &&
           ::setsockopt(far.get(), SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof(bound)) == 0 &&
           ::setsockopt(far.get(), SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof(bound)) == 0;
}

inline bool waitFor(int fd, short events, int timeoutMs = 30000) {
    pollfd entry{fd, events, 0};
    return ::poll(&entry, 1, timeoutMs) == 1;
}
inline bool writeAll(int fd, const std::string& data) {
    return ::send(fd, data.data(), data.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(data.size());
}
inline bool readExactly(int fd, std::string& out, size_t length) {
    out.assign(length, '\0');
    return ::recv(fd, out.data(), length, MSG_WAITALL) == static_cast<ssize_t>(length);
}
// What is there to read now.
inline std::string drain(int fd) {
    std::string out;
    char buffer[65536];
    for (ssize_t n; (n = ::recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT)) > 0;) {
        out.append(buffer, static_cast<size_t>(n));
    }
    return out;
}
// An orderly end, and nothing before it; on a far end only.
inline bool seesEndOfStream(int fd) {
    char byte;
    return ::recv(fd, &byte, 1, 0) == 0;
}

// Differs from its own shifted copies, so lost, repeated or reordered chunks show.
inline std::string pattern(uint64_t offset, size_t length) {
    std::string out(length, '\0');
    for (uint64_t i = offset; i < offset + length; ++i) {
        const uint64_t x = (i / 7) * 0x9E3779B97F4A7C15ull;
        out[i - offset] = static_cast<char>(((x ^ (x >> 29)) + i % 7 * 31) & 0xff);
    }
    return out;
}

template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds bound = std::chrono::seconds(30)) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!condition() && std::chrono::steady_clock::now() < deadline) {
        ::usleep(1000);
    }
    return condition();
}

class PeerOutgoing : public connection::OutgoingConnection {
public:
    explicit PeerOutgoing(int descriptor) : OutgoingConnection(State::Open) {
        socket_ = descriptor;
    }
};

// Records what connections ask of their handler; each async event with whether its connection
// still counted as waiting for an answer at that moment.
class RecordingHandler : public io::ConnectionHandlerBase {
public:
    explicit RecordingHandler(uint64_t count = 0) : count(count) {}
    void adopt(std::unique_ptr<connection::IncomingConnection>& incoming,
               std::unique_ptr<connection::OutgoingConnection>& outgoing) override {
        adopted.push_back(std::move(incoming));
        adopted.push_back(std::move(outgoing));
    }
    void removeConnection(connection::Connection* connection) override {
        removed.push_back(connection);
    }
    bool modifyEvents(connection::Connection*, uint32_t flags) override {
        events.push_back(flags);
        return true;
    }
    void postAsyncEvent(connection::Connection* connection) override {
        posts.emplace_back(connection, connection != nullptr && connection->hasPendingQuery());
    }
    uint64_t connectionCount() const override { return count; }

    std::vector<std::unique_ptr<connection::Connection>> adopted;
    std::vector<connection::Connection*> removed;
    std::vector<uint32_t> events;
    std::vector<std::pair<connection::Connection*, bool>> posts;
    const uint64_t count;
};

}  // namespace testing_support
