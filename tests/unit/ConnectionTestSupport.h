#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

// Loopback sockets and bounded I/O for the connection and handler tests.
namespace testing_support {

// Owns one descriptor.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        reset(std::exchange(other.fd_, -1));
        return *this;
    }
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
    int fd_ = -1;
};

// A listening socket on [::1] with a port of the kernel's choice.
struct Listener {
    Fd fd;
    sockaddr_in6 address{};
    socklen_t length = sizeof(sockaddr_in6);
    bool ok = false;
};

inline Listener makeListener() {
    Listener listener;
    listener.fd.reset(::socket(AF_INET6, SOCK_STREAM, 0));
    listener.address.sin6_family = AF_INET6;
    listener.address.sin6_addr = in6addr_loopback;
    listener.address.sin6_port = 0;
    if (listener.fd.get() < 0 ||
        ::bind(listener.fd.get(), reinterpret_cast<sockaddr*>(&listener.address),
               sizeof(listener.address)) != 0 ||
        ::listen(listener.fd.get(), 16) != 0 ||
        ::getsockname(listener.fd.get(), reinterpret_cast<sockaddr*>(&listener.address),
                      &listener.length) != 0) {
        return listener;
    }
    listener.ok = true;
    return listener;
}

inline bool waitFor(int fd, short events, int timeoutMs) {
    pollfd entry{fd, events, 0};
    return ::poll(&entry, 1, timeoutMs) == 1;
}

// Accepts one connection, waiting at most timeoutMs.
inline Fd acceptOne(const Listener& listener, int timeoutMs = 10000) {
    if (!waitFor(listener.fd.get(), POLLIN, timeoutMs)) {
        return Fd();
    }
    return Fd(::accept(listener.fd.get(), nullptr, nullptr));
}

inline Fd connectTo(const Listener& listener) {
    Fd fd(::socket(AF_INET6, SOCK_STREAM, 0));
    if (fd.get() < 0 || ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&listener.address),
                                  sizeof(listener.address)) != 0) {
        return Fd();
    }
    return fd;
}

inline void makeNonBlocking(int fd) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

inline bool isNonBlocking(int fd) {
    return (::fcntl(fd, F_GETFL) & O_NONBLOCK) != 0;
}

inline void setBufferSizes(int fd, int sendBytes, int receiveBytes) {
    if (sendBytes > 0) {
        ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBytes, sizeof(sendBytes));
    }
    if (receiveBytes > 0) {
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBytes, sizeof(receiveBytes));
    }
}

// Closes with a reset instead of an orderly shutdown.
inline void resetAndClose(Fd& fd) {
    linger option{1, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &option, sizeof(option));
    fd.reset();
}

// A byte stream that differs from its own shifted copies, so lost, repeated or reordered
// chunks are caught. stream selects one of several independent streams.
inline char patternByte(uint64_t offset, uint32_t stream = 0) {
    uint64_t x = (offset / 7) * 0x9E3779B97F4A7C15ull + stream * 0xD1B54A32D192ED03ull;
    x ^= x >> 29;
    return static_cast<char>((x + offset % 7 * 31) & 0xff);
}

inline std::string pattern(uint64_t offset, size_t length, uint32_t stream = 0) {
    std::string out(length, '\0');
    for (size_t i = 0; i < length; ++i) {
        out[i] = patternByte(offset + i, stream);
    }
    return out;
}

// Writes the pattern into a non-blocking socket until the kernel takes no more; returns the
// number of bytes written. A delayed acknowledgement can free send space after the first
// EAGAIN, so the socket only counts as full once a round after a quiet spell takes nothing.
inline uint64_t fillSocket(int fd, uint32_t stream = 0) {
    uint64_t written = 0;
    for (int round = 0; round < 50; ++round) {
        const uint64_t before = written;
        for (;;) {
            const std::string data = pattern(written, 65536, stream);
            const ssize_t result = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
            if (result <= 0) {
                break;
            }
            written += static_cast<uint64_t>(result);
        }
        if (round > 0 && written == before) {
            return written;
        }
        ::usleep(250000);
    }
    return written;
}

// Reads exactly length bytes, waiting at most timeoutMs for each next chunk.
inline bool readExactly(int fd, std::string& out, size_t length, int timeoutMs = 10000) {
    out.clear();
    char buffer[65536];
    while (out.size() < length) {
        if (!waitFor(fd, POLLIN, timeoutMs)) {
            return false;
        }
        const size_t want = std::min(sizeof(buffer), length - out.size());
        const ssize_t result = ::recv(fd, buffer, want, MSG_DONTWAIT);
        if (result < 0 && (errno == EAGAIN || errno == EINTR)) {
            continue;
        }
        if (result <= 0) {
            return false;
        }
        out.append(buffer, static_cast<size_t>(result));
    }
    return true;
}

// True when the other side closed in an orderly way within the bound (and nothing else came).
inline bool seesEndOfStream(int fd, int timeoutMs = 10000) {
    if (!waitFor(fd, POLLIN, timeoutMs)) {
        return false;
    }
    char byte;
    return ::recv(fd, &byte, 1, MSG_DONTWAIT) == 0;
}

inline bool writeAll(int fd, const std::string& data, int timeoutMs = 10000) {
    size_t done = 0;
    while (done < data.size()) {
        if (!waitFor(fd, POLLOUT, timeoutMs)) {
            return false;
        }
        const ssize_t result =
            ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (result < 0 && (errno == EAGAIN || errno == EINTR)) {
            continue;
        }
        if (result <= 0) {
            return false;
        }
        done += static_cast<size_t>(result);
    }
    return true;
}

// Polls a condition until it holds or the bound passes.
template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds bound = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        ::usleep(1000);
    }
    return true;
}

}  // namespace testing_support
