#include "os/SocketHelpers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/tcp.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "utils/logging/Logger.h"

namespace os {

namespace {

constexpr int KEEPALIVE_PROBES = 5;
constexpr int KEEPALIVE_IDLE_SECONDS = 10;
constexpr int KEEPALIVE_INTERVAL_SECONDS = 1;
// Bounds how long sent data may stay unacknowledged, which keep-alive probes alone do not
// cover while the send queue is not empty.
constexpr int USER_TIMEOUT_MILLISECONDS = 14000;

// Sets one int option; on failure logs the message with the descriptor and errno.
bool setIntOption(int descriptor, int level, int option, int value, const char* failureMessage) {
    if (setsockopt(descriptor, level, option, &value, sizeof(value)) == 0) {
        return true;
    }
    const int error = errno;
    AP_LOG(utils::logging::Error, failureMessage, descriptor, "errno", error, "description",
           strerror(error));
    return false;
}

}  // namespace

int createNonBlockingSocket() {
    return socket(AF_INET6, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
}

int createSocket() {
    return socket(AF_INET6, SOCK_STREAM, IPPROTO_TCP);
}

int connectSocket(int& descriptor, const sockaddr_in6* address, socklen_t length) {
    return connect(descriptor, reinterpret_cast<const sockaddr*>(address), length);
}

int acceptSocket(int& descriptor, sockaddr_in6* address, socklen_t* length) {
    return accept4(descriptor, reinterpret_cast<sockaddr*>(address), length,
                   SOCK_NONBLOCK | SOCK_CLOEXEC);
}

int bindSocket(int& descriptor, const sockaddr_in6& address) {
    return bind(descriptor, reinterpret_cast<const sockaddr*>(&address), sizeof(sockaddr_in6));
}

int listenSocket(int& descriptor, int backlog) {
    return listen(descriptor, backlog);
}

std::string addressToString(const sockaddr_in6& address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (inet_ntop(AF_INET6, &address.sin6_addr, text, sizeof(text)) == nullptr) {
        return std::string();
    }
    return std::string(text);
}

uint16_t portOf(const sockaddr_in6& address) {
    return ntohs(address.sin6_port);
}

bool getInterfaceAddress(sockaddr_in6& address, const std::string& interfaceName, uint16_t port) {
    address.sin6_family = AF_INET6;

    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0 || list == nullptr) {
        return false;
    }

    bool found = false;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET6 ||
            entry->ifa_name == nullptr || interfaceName != entry->ifa_name) {
            continue;
        }
        in6_addr candidate;
        std::memcpy(&candidate, &reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr)->sin6_addr,
                    sizeof(candidate));
        char text[INET6_ADDRSTRLEN] = {};
        if (inet_ntop(AF_INET6, &candidate, text, sizeof(text)) == nullptr) {
            continue;
        }
        // Link-local addresses are only reachable with a scope id, which the listening socket
        // does not carry.
        if (std::strncmp(text, "fe80", 4) == 0) {
            continue;
        }
        // Keep walking: with several global addresses the last one in the list is used, and
        // each one taken is logged so that the choice can be followed.
        address.sin6_addr = candidate;
        AP_LOG(utils::logging::Info, "Setting address to", text);
        found = true;
    }
    freeifaddrs(list);

    if (found) {
        address.sin6_port = htons(port);
    }
    return found;
}

void closeSocket(int& descriptor) {
    if (descriptor == -1) {
        return;
    }
    if (close(descriptor) != 0) {
        const int error = errno;
        AP_LOG(utils::logging::Error, "Error closing file descriptor", descriptor, strerror(error));
    }
}

void setNonBlocking(int descriptor) {
    const int flags = fcntl(descriptor, F_GETFL);
    if (flags == -1) {
        const int error = errno;
        AP_LOG(utils::logging::Error, "Could not get socket status flags", descriptor,
               strerror(error));
        return;
    }
    if (fcntl(descriptor, F_SETFL, flags | O_NONBLOCK) == -1) {
        const int error = errno;
        AP_LOG(utils::logging::Error, "Could not set socket non-blocking", descriptor,
               strerror(error));
    }
}

void setNoDelay(int descriptor) {
    setIntOption(descriptor, IPPROTO_TCP, TCP_NODELAY, 1, "Could not set socket TCP no-delay");
}

void setReceiveTimeout(int descriptor, uint32_t seconds) {
    timeval timeout{};
    timeout.tv_sec = static_cast<time_t>(seconds);
    timeout.tv_usec = 0;
    if (setsockopt(descriptor, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout)) != 0) {
        const int error = errno;
        AP_LOG(utils::logging::Error, "Failed to set socket receive timeout", descriptor, "errno",
               error, "description", strerror(error));
    }
}

bool setAddressAndPortReuse(int descriptor) {
    // Only SO_REUSEPORT: the kernel then lets just sockets of the same user share the port.
    return setIntOption(descriptor, SOL_SOCKET, SO_REUSEPORT, 1,
                        "Failed to set socket address and port re-use");
}

void setKeepAlive(int descriptor) {
    // Every step is tried even after a failure, so that one unsupported option does not cost
    // the others.
    setIntOption(descriptor, SOL_SOCKET, SO_KEEPALIVE, 1, "Could not set socket TCP keep-alive");
    setIntOption(descriptor, IPPROTO_TCP, TCP_KEEPCNT, KEEPALIVE_PROBES,
                 "Could not set socket TCP keep-count");
    setIntOption(descriptor, IPPROTO_TCP, TCP_KEEPIDLE, KEEPALIVE_IDLE_SECONDS,
                 "Could not set socket TCP keep-idle");
    setIntOption(descriptor, IPPROTO_TCP, TCP_KEEPINTVL, KEEPALIVE_INTERVAL_SECONDS,
                 "Could not set socket TCP keep-interval");
    setIntOption(descriptor, IPPROTO_TCP, TCP_USER_TIMEOUT, USER_TIMEOUT_MILLISECONDS,
                 "Could not set socket TCP user-timeout");
}

}  // namespace os
