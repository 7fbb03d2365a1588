#pragma once

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "connection/IncomingConnection.h"
#include "connection/OutgoingConnection.h"
#include "io/ConnectionHandlerBase.h"

// Real sockets, bounded I/O and stand-ins for the connection, handler and multiplexer tests.
namespace testing_support {

// Owns one descriptor.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    ~Fd() { reset(); }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1) {
        if (fd_ != -1) {
            ::close(fd_);
        }
        fd_ = fd;
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

// Two connected non-blocking ends: over loopback TCP, or a Unix socketpair when local is set.
inline bool socketPair(Fd& near, Fd& far, bool local = false) {
    int ends[2] = {-1, -1};
    sockaddr_in6 address;
    if (local) {
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, ends);
    } else if (Fd listener = listenLoopback(address); listener.get() >= 0) {
        ends[1] = ::socket(AF_INET6, SOCK_STREAM, 0);
        if (::connect(ends[1], reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
            ends[0] = ::accept4(listener.get(), nullptr, nullptr, SOCK_NONBLOCK);
        }
        ::fcntl(ends[1], F_SETFL, O_NONBLOCK);
    }
    near.reset(ends[0]);
    far.reset(ends[1]);
    return near.get() >= 0 && far.get() >= 0;
}

inline bool waitFor(int fd, short events, int timeoutMs = 10000) {
    pollfd entry{fd, events, 0};
    return ::poll(&entry, 1, timeoutMs) == 1;
}

// Sends or receives exactly length bytes, waiting at most timeoutMs for each next chunk.
inline bool transfer(int fd, bool sending, char* data, size_t length, int timeoutMs = 10000) {
    for (ssize_t n = 0; length > 0; data += n, length -= static_cast<size_t>(n)) {
        if (!waitFor(fd, sending ? POLLOUT : POLLIN, timeoutMs)) {
            return false;
        }
        n = sending ? ::send(fd, data, length, MSG_NOSIGNAL) : ::recv(fd, data, length, 0);
        if (n <= 0 && !(n < 0 && errno == EAGAIN)) {
            return false;
        }
        n = std::max<ssize_t>(n, 0);
    }
    return true;
}
inline bool writeAll(int fd, std::string data, int timeoutMs = 10000) {
    return transfer(fd, true, data.data(), data.size(), timeoutMs);
}
inline bool readExactly(int fd, std::string& out, size_t length, int timeoutMs = 10000) {
    out.assign(length, '\0');
    return transfer(fd, false, out.data(), length, timeoutMs);
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
// True when the other side closed in an orderly way within the bound, and nothing else came.
inline bool seesEndOfStream(int fd) {
    char byte;
    return waitFor(fd, POLLIN) && ::recv(fd, &byte, 1, MSG_DONTWAIT) == 0;
}

// A byte stream that differs from its own shifted copies, so lost, repeated or reordered
// chunks are caught; stream selects one of several independent streams.
inline std::string pattern(uint64_t offset, size_t length, uint32_t stream = 0) {
    std::string out(length, '\0');
    for (uint64_t i = offset; i < offset + length; ++i) {
        const uint64_t x = (i / 7) * 0x9E3779B97F4A7C15ull + stream * 0xD1B54A32D192ED03ull;
        out[i - offset] = static_cast<char>(((x ^ (x >> 29)) + i % 7 * 31) & 0xff);
    }
    return out;
}

// Polls a condition until it holds or the bound passes.
template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds bound = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    for (; !condition(); ::usleep(1000)) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
    }
    return true;
}

// An outgoing connection on a descriptor the test made.
class PeerOutgoing : public connection::OutgoingConnection {
public:
    explicit PeerOutgoing(int descriptor) { socket_ = descriptor; }
};

// Stands in for the handler and records what connections ask of it; each async event with
// whether its connection still counted as waiting for an answer at that moment.
class RecordingHandler : public io::ConnectionHandlerBase {
public:
    explicit RecordingHandler(uint64_t count = 0) : count_(count) {}
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
    uint64_t connectionCount() const override { return count_; }

    std::vector<std::unique_ptr<connection::Connection>> adopted;
    std::vector<connection::Connection*> removed;
    std::vector<uint32_t> events;
    std::vector<std::pair<connection::Connection*, bool>> posts;

private:
    uint64_t count_;
};

}  // namespace testing_support
