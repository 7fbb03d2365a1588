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
    ~Closer() { close(fd); }
};

int intOption(int fd, int level, int option) {
    int value = -1;
    socklen_t length = sizeof(value);
    EXPECT_EQ(getsockopt(fd, level, option, &value, &length), 0) << strerror(errno);
    return value;
}

TEST(SocketHelpersTest, OptionSettersSetTheirValuesSilently) {
    RecordingLogger logger;
    Closer socket{os::createSocket()};
    EXPECT_EQ(intOption(socket.fd, SOL_SOCKET, SO_DOMAIN), AF_INET6);
    EXPECT_EQ(intOption(socket.fd, SOL_SOCKET, SO_PROTOCOL), IPPROTO_TCP);
    const int flags = fcntl(socket.fd, F_GETFL);
    os::setNoDelay(socket.fd);
    os::setKeepAlive(socket.fd);
    EXPECT_TRUE(os::setAddressAndPortReuse(socket.fd));
    os::setReceiveTimeout(socket.fd, 8);
    os::setNonBlocking(socket.fd);
    const struct {
        int level, option, value;
    } expected[] = {{IPPROTO_TCP, TCP_NODELAY, 1},   {SOL_SOCKET, SO_KEEPALIVE, 1},
                    {IPPROTO_TCP, TCP_KEEPCNT, 5},   {IPPROTO_TCP, TCP_KEEPIDLE, 10},
                    {IPPROTO_TCP, TCP_KEEPINTVL, 1}, {IPPROTO_TCP, TCP_USER_TIMEOUT, 14000},
                    {SOL_SOCKET, SO_REUSEPORT, 1},   {SOL_SOCKET, SO_REUSEADDR, 0}};
    for (const auto& option : expected) {
        EXPECT_EQ(intOption(socket.fd, option.level, option.option), option.value) << option.option;
    }
    timeval timeout{};
    socklen_t length = sizeof(timeout);
    ASSERT_EQ(getsockopt(socket.fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, &length), 0);
    EXPECT_TRUE(timeout.tv_sec == 8 && timeout.tv_usec == 0);
    EXPECT_EQ(fcntl(socket.fd, F_GETFL), flags | O_NONBLOCK);
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
