#include "os/SocketHelpers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "NetworkNamespaceGuard.h"
#include "RecordingLogger.h"

namespace {

using testing_support::RecordingLogger;
using Texts = std::vector<std::string>;

// Closes what a test opened, however the test ends.
struct Closer {
    int fd;
    ~Closer() {
        if (fd >= 0) {
            close(fd);
        }
    }
};

int intOption(int fd, int level, int option) {
    int value = -1;
    socklen_t length = sizeof(value);
    EXPECT_EQ(getsockopt(fd, level, option, &value, &length), 0) << strerror(errno);
    return value;
}

TEST(SocketHelpersTest, LoopbackRoundTripAndOptionsLogNothing) {
    RecordingLogger logger;
    Closer listener{os::createSocket()};
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    ASSERT_EQ(os::bindSocket(listener.fd, address), 0) << strerror(errno);
    ASSERT_EQ(os::listenSocket(listener.fd, 4), 0) << strerror(errno);
    socklen_t length = sizeof(address);
    ASSERT_EQ(getsockname(listener.fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
    Closer client{os::createSocket()};
    ASSERT_EQ(os::connectSocket(client.fd, &address, sizeof(address)), 0) << strerror(errno);
    sockaddr_in6 clientAddress{};
    ASSERT_EQ(getsockname(client.fd, reinterpret_cast<sockaddr*>(&clientAddress), &length), 0);
    sockaddr_in6 peer{};
    socklen_t peerLength = sizeof(peer);
    Closer accepted{os::acceptSocket(listener.fd, &peer, &peerLength)};
    ASSERT_GE(accepted.fd, 0) << strerror(errno);
    EXPECT_EQ(os::addressToString(peer), "::1");
    EXPECT_EQ(os::portOf(peer), ntohs(clientAddress.sin6_port));
    // The call wrappers leave errno to the caller, who logs.
    EXPECT_EQ(os::bindSocket(accepted.fd, address), -1);
    EXPECT_EQ(errno, EINVAL);

    const int fd = accepted.fd;
    const int flags = fcntl(fd, F_GETFL);
    os::setNoDelay(fd);
    os::setKeepAlive(fd);
    EXPECT_TRUE(os::setAddressAndPortReuse(fd));
    os::setReceiveTimeout(fd, 8);
    os::setNonBlocking(fd);
    const struct {
        int level, option, value;
    } expected[] = {{IPPROTO_TCP, TCP_NODELAY, 1},   {SOL_SOCKET, SO_KEEPALIVE, 1},
                    {IPPROTO_TCP, TCP_KEEPCNT, 5},   {IPPROTO_TCP, TCP_KEEPIDLE, 10},
                    {IPPROTO_TCP, TCP_KEEPINTVL, 1}, {IPPROTO_TCP, TCP_USER_TIMEOUT, 14000},
                    {SOL_SOCKET, SO_REUSEPORT, 1},   {SOL_SOCKET, SO_REUSEADDR, 0}};
    for (const auto& option : expected) {
        EXPECT_EQ(intOption(fd, option.level, option.option), option.value) << option.option;
    }
    timeval timeout{};
    length = sizeof(timeout);
    ASSERT_EQ(getsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, &length), 0);
    EXPECT_TRUE(timeout.tv_sec == 8 && timeout.tv_usec == 0);
    EXPECT_EQ(fcntl(fd, F_GETFL), flags | O_NONBLOCK);
    EXPECT_TRUE(logger.texts().empty());
}

TEST(SocketHelpersTest, EveryFailureIsLoggedAndEveryKeepAliveStepTried) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    Closer notSocket{ends[0]}, other{ends[1]};
    RecordingLogger logger;
    os::setKeepAlive(notSocket.fd);
    os::setNoDelay(notSocket.fd);
    os::setReceiveTimeout(notSocket.fd, 8);
    EXPECT_FALSE(os::setAddressAndPortReuse(notSocket.fd));
    Texts expected;
    for (const char* message :
         {"Could not set socket TCP keep-alive", "Could not set socket TCP keep-count",
          "Could not set socket TCP keep-idle", "Could not set socket TCP keep-interval",
          "Could not set socket TCP user-timeout", "Could not set socket TCP no-delay",
          "Failed to set socket receive timeout", "Failed to set socket address and port re-use"}) {
        expected.push_back(std::string("[FP] : ERROR   : ") + message + " : " +
                           std::to_string(notSocket.fd) + " : errno : " + std::to_string(ENOTSOCK) +
                           " : description : " + strerror(ENOTSOCK));
    }
    EXPECT_EQ(logger.texts(), expected);

    // A closed descriptor: -1 is skipped silently, a stale number is a logged failure.
    logger.clear();
    int none = -1;
    os::closeSocket(none);
    int fd = os::createSocket();
    const int number = fd;
    os::closeSocket(fd);
    EXPECT_EQ(fd, number) << "the owner resets its own copy";
    EXPECT_EQ(fcntl(number, F_GETFD), -1) << "still open";
    EXPECT_TRUE(logger.texts().empty());
    os::closeSocket(fd);
    os::setNonBlocking(fd);
    const std::string suffix = " : " + std::to_string(number) + " : Bad file descriptor";
    EXPECT_EQ(logger.texts(),
              (Texts{"[FP] : ERROR   : Error closing file descriptor" + suffix,
                     "[FP] : ERROR   : Could not get socket status flags" + suffix}));
}

TEST(SocketHelpersTest, InterfaceAddressIsTheLastGlobalOne) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to create network namespaces";
    }
    testing_support::NetworkNamespaceGuard ns;
    ASSERT_TRUE(ns.created());
    // apg: two global addresses and a link-local one; apl: link-local only; apgp: IPv4 only.
    ASSERT_TRUE(ns.addInterface("apg", {"fd00:1::1/64", "fd00:1::2/64", "fe80::2/64"}));
    ASSERT_TRUE(ns.addInterface("apl", {"fe80::1/64"}));
    ASSERT_TRUE(ns.ip("addr add 192.0.2.1/24 dev apgp"));
    ASSERT_TRUE(ns.enter());
    RecordingLogger logger;
    sockaddr_in6 address{};
    EXPECT_TRUE(os::getInterfaceAddress(address, "apg", 29178));
    EXPECT_EQ(address.sin6_family, AF_INET6);
    EXPECT_EQ(ntohs(address.sin6_port), 29178);
    // Each global address is logged as it is taken, so the last entry names the one kept,
    // whatever order the kernel lists them in.
    const std::string setting = "[FP] : INFO    : Setting address to : ";
    const Texts logs = logger.texts();
    EXPECT_EQ(std::set<std::string>(logs.begin(), logs.end()),
              (std::set<std::string>{setting + "fd00:1::1", setting + "fd00:1::2"}));
    ASSERT_EQ(logs.size(), 2u);
    EXPECT_EQ(logs[1], setting + os::addressToString(address));

    // Prefixes and extensions of a real name are other names.
    for (const char* name : {"apl", "apgp", "ap", "apg0", "nosuch0"}) {
        logger.clear();
        sockaddr_in6 none{};
        none.sin6_port = htons(7);
        EXPECT_FALSE(os::getInterfaceAddress(none, name, 29178)) << name;
        EXPECT_EQ(ntohs(none.sin6_port), 7) << name << ": the port must stay untouched";
        EXPECT_EQ(os::addressToString(none), "::") << name;
        EXPECT_TRUE(logger.texts().empty()) << name;
    }
}

}  // namespace
