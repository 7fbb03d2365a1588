#include "os/SocketHelpers.h"

#include <fcntl.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "RecordingLogger.h"

namespace {

using testing_support::RecordingLogger;
using Texts = std::vector<std::string>;

// A wrong option value goes unnoticed until a peer dies or stalls; a stale descriptor's close must
// not pass silently.
TEST(SocketHelpersTest, SettersTakeEffectSilentlyAndAStaleCloseIsLogged) {
    RecordingLogger logger;
    int fd = os::createSocket(), stale = fd, none = -1;
    os::setKeepAlive(fd);
    os::setNoDelay(fd);
    os::setReceiveTimeout(fd, 8);
    EXPECT_TRUE(os::setAddressAndPortReuse(fd));
    const struct {
        int level, option, value;
    } expected[] = {{IPPROTO_TCP, TCP_NODELAY, 1},   {SOL_SOCKET, SO_KEEPALIVE, 1},
                    {IPPROTO_TCP, TCP_KEEPCNT, 5},   {IPPROTO_TCP, TCP_KEEPIDLE, 10},
                    {IPPROTO_TCP, TCP_KEEPINTVL, 1}, {IPPROTO_TCP, TCP_USER_TIMEOUT, 14000},
                    {SOL_SOCKET, SO_REUSEPORT, 1},   {SOL_SOCKET, SO_REUSEADDR, 0}};
    for (const auto& [level, option, value] : expected) {
        int actual = -1;
        socklen_t length = sizeof(actual);
        EXPECT_EQ(getsockopt(fd, level, option, &actual, &length), 0) << option;
        EXPECT_EQ(actual, value) << option;
    }
    timeval timeout{};
    socklen_t length = sizeof(timeout);
    ASSERT_EQ(getsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, &length), 0);
    EXPECT_TRUE(timeout.tv_sec == 8 && timeout.tv_usec == 0);
    os::closeSocket(none);
    os::closeSocket(fd);
    EXPECT_TRUE(logger.texts().empty());
    os::closeSocket(stale);
    EXPECT_EQ(logger.texts(), Texts{"[FP] : ERROR   : Error closing file descriptor : " +
                                    std::to_string(stale) + " : Bad file descriptor"});
}

// A prefix or extension of a real name must not match it, and only a global address will do.
TEST(SocketHelpersTest, InterfaceAddressIsTheLastGlobalOne) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to create network namespaces";
    }
    // In a namespace of the test's own: apg with two global addresses and a link-local one, apl
    // with a link-local address only, apgp with an IPv4 address only.
    struct Namespace {
        std::string name = "aptest-" + std::to_string(getpid());
        int original = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        ~Namespace() {
            setns(original, CLONE_NEWNET);
            close(original);
            std::system(("ip netns delete " + name + " 2>/dev/null").c_str());
        }
    } ns;
    const std::string setup = "ip netns add " + ns.name + " && ip -n " + ns.name + R"( -b - <<'END'
link add apg type veth peer name apgp
link set apg addrgenmode none
addr add fd00:1::1/64 dev apg nodad
addr add fd00:1::2/64 dev apg nodad
addr add fe80::2/64 dev apg nodad
addr add 192.0.2.1/24 dev apgp
link add apl type veth peer name aplp
link set apl addrgenmode none
addr add fe80::1/64 dev apl nodad
END)";
    ASSERT_EQ(std::system(setup.c_str()), 0);
    const int target = open(("/run/netns/" + ns.name).c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(setns(target, CLONE_NEWNET), 0);
    close(target);
    RecordingLogger logger;
    sockaddr_in6 address{};
    EXPECT_TRUE(os::getInterfaceAddress(address, "apg", 29178));
    EXPECT_EQ(os::portOf(address), 29178);
    // Each global address is logged as it is taken, so the last entry names the one kept,
    // whatever order the kernel lists them in.
    const std::string setting = "[FP] : INFO    : Setting address to : ";
    const Texts logs = logger.texts();
    EXPECT_EQ(std::set<std::string>(logs.begin(), logs.end()),
              (std::set<std::string>{setting + "fd00:1::1", setting + "fd00:1::2"}));
    ASSERT_EQ(logs.size(), 2u);
    EXPECT_EQ(logs[1], setting + os::addressToString(address));

    logger.clear();
    for (const char* name : {"apl", "apgp", "ap", "apg0", "nosuch0"}) {
        sockaddr_in6 none{};
        EXPECT_FALSE(os::getInterfaceAddress(none, name, 29178)) << name;
    }
    EXPECT_TRUE(logger.texts().empty());
}

}  // namespace
