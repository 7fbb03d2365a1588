#include "os/SocketHelpers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "RecordingLogger.h"

namespace {

using testing_support::RecordingLogger;

// Closes what a test opened, whatever way the test ends.
struct Descriptor {
    int fd = -1;
    explicit Descriptor(int value) : fd(value) {}
    ~Descriptor() {
        if (fd >= 0) {
            close(fd);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
};

int intOption(int fd, int level, int option) {
    int value = -1;
    socklen_t length = sizeof(value);
    EXPECT_EQ(getsockopt(fd, level, option, &value, &length), 0) << strerror(errno);
    return value;
}

std::string errorEntry(const std::string& message, int fd, int error) {
    return "[FP] : ERROR   : " + message + " : " + std::to_string(fd) +
           " : errno : " + std::to_string(error) + " : description : " + strerror(error);
}

TEST(SocketHelpersTest, LoopbackSocketRoundTrip) {
    Descriptor listener(os::createSocket());
    ASSERT_GE(listener.fd, 0);
    EXPECT_EQ(intOption(listener.fd, SOL_SOCKET, SO_DOMAIN), AF_INET6);
    EXPECT_EQ(intOption(listener.fd, SOL_SOCKET, SO_TYPE), SOCK_STREAM);
    EXPECT_EQ(intOption(listener.fd, SOL_SOCKET, SO_PROTOCOL), IPPROTO_TCP);

    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    ASSERT_EQ(os::bindSocket(listener.fd, address), 0) << strerror(errno);
    ASSERT_EQ(os::listenSocket(listener.fd, 4), 0) << strerror(errno);
    socklen_t length = sizeof(address);
    ASSERT_EQ(getsockname(listener.fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
    EXPECT_EQ(os::addressToString(address), "::1");
    EXPECT_NE(os::portOf(address), 0);
    EXPECT_EQ(os::portOf(address), ntohs(address.sin6_port));

    Descriptor client(os::createSocket());
    ASSERT_GE(client.fd, 0);
    ASSERT_EQ(os::connectSocket(client.fd, &address, sizeof(address)), 0) << strerror(errno);
    sockaddr_in6 clientAddress{};
    length = sizeof(clientAddress);
    ASSERT_EQ(getsockname(client.fd, reinterpret_cast<sockaddr*>(&clientAddress), &length), 0);

    sockaddr_in6 peer{};
    socklen_t peerLength = sizeof(peer);
    Descriptor accepted(os::acceptSocket(listener.fd, &peer, &peerLength));
    ASSERT_GE(accepted.fd, 0) << strerror(errno);
    EXPECT_EQ(peerLength, sizeof(sockaddr_in6));
    EXPECT_EQ(os::addressToString(peer), "::1");
    EXPECT_EQ(os::portOf(peer), os::portOf(clientAddress));

    // The call wrappers leave errno to the caller and log nothing.
    RecordingLogger logger;
    int closed = -1;
    errno = 0;
    EXPECT_EQ(os::listenSocket(closed, 1), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(os::bindSocket(accepted.fd, address), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_TRUE(logger.texts().empty());
}

TEST(SocketHelpersTest, OptionSettersSetTheirValues) {
    Descriptor fd(os::createSocket());
    ASSERT_GE(fd.fd, 0);
    RecordingLogger logger;

    os::setNoDelay(fd.fd);
    EXPECT_EQ(intOption(fd.fd, IPPROTO_TCP, TCP_NODELAY), 1);

    os::setKeepAlive(fd.fd);
    EXPECT_EQ(intOption(fd.fd, SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_EQ(intOption(fd.fd, IPPROTO_TCP, TCP_KEEPCNT), 5);
    EXPECT_EQ(intOption(fd.fd, IPPROTO_TCP, TCP_KEEPIDLE), 10);
    EXPECT_EQ(intOption(fd.fd, IPPROTO_TCP, TCP_KEEPINTVL), 1);
    EXPECT_EQ(intOption(fd.fd, IPPROTO_TCP, TCP_USER_TIMEOUT), 14000);

    EXPECT_TRUE(os::setAddressAndPortReuse(fd.fd));
    EXPECT_EQ(intOption(fd.fd, SOL_SOCKET, SO_REUSEPORT), 1);
    EXPECT_EQ(intOption(fd.fd, SOL_SOCKET, SO_REUSEADDR), 0);

    const int before = fcntl(fd.fd, F_GETFL);
    os::setNonBlocking(fd.fd);
    EXPECT_EQ(fcntl(fd.fd, F_GETFL), before | O_NONBLOCK);

    os::setReceiveTimeout(fd.fd, 8);
    timeval timeout{};
    socklen_t length = sizeof(timeout);
    ASSERT_EQ(getsockopt(fd.fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, &length), 0);
    EXPECT_EQ(timeout.tv_sec, 8);
    EXPECT_EQ(timeout.tv_usec, 0);

    EXPECT_TRUE(logger.texts().empty());
}

TEST(SocketHelpersTest, ReceiveTimeoutEndsABlockingReceive) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    Descriptor reader(pair[0]);
    Descriptor writer(pair[1]);
    os::setReceiveTimeout(reader.fd, 1);
    char byte;
    EXPECT_EQ(recv(reader.fd, &byte, 1, 0), -1);
    EXPECT_EQ(errno, EAGAIN);
}

TEST(SocketHelpersTest, FailuresAreLoggedAndEveryKeepAliveStepIsTried) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    Descriptor notSocket(ends[0]);
    Descriptor other(ends[1]);
    const int fd = notSocket.fd;
    RecordingLogger logger;

    os::setKeepAlive(fd);
    const std::vector<std::string> keepAlive = {
        errorEntry("Could not set socket TCP keep-alive", fd, ENOTSOCK),
        errorEntry("Could not set socket TCP keep-count", fd, ENOTSOCK),
        errorEntry("Could not set socket TCP keep-idle", fd, ENOTSOCK),
        errorEntry("Could not set socket TCP keep-interval", fd, ENOTSOCK),
        errorEntry("Could not set socket TCP user-timeout", fd, ENOTSOCK),
    };
    EXPECT_EQ(logger.texts(), keepAlive);

    logger.clear();
    os::setNoDelay(fd);
    os::setReceiveTimeout(fd, 8);
    EXPECT_FALSE(os::setAddressAndPortReuse(fd));
    const std::vector<std::string> others = {
        errorEntry("Could not set socket TCP no-delay", fd, ENOTSOCK),
        errorEntry("Failed to set socket receive timeout", fd, ENOTSOCK),
        errorEntry("Failed to set socket address and port re-use", fd, ENOTSOCK),
    };
    EXPECT_EQ(logger.texts(), others);

    // A descriptor that is no longer open: flags cannot be read, so nothing is set either.
    logger.clear();
    const int gone = dup(fd);
    ASSERT_GE(gone, 0);
    close(gone);
    os::setNonBlocking(gone);
    EXPECT_EQ(logger.texts(),
              std::vector<std::string>{"[FP] : ERROR   : Could not get socket "
                                       "status flags : " +
                                       std::to_string(gone) + " : Bad file descriptor"});
}

TEST(SocketHelpersTest, CloseSocketLogsOnlyRealFailures) {
    RecordingLogger logger;
    int none = -1;
    os::closeSocket(none);
    EXPECT_EQ(none, -1);
    EXPECT_TRUE(logger.texts().empty());

    int fd = os::createSocket();
    ASSERT_GE(fd, 0);
    const int copy = fd;
    os::closeSocket(fd);
    EXPECT_EQ(fd, copy) << "the owner resets its own copy";
    EXPECT_EQ(fcntl(copy, F_GETFD), -1) << "descriptor still open";
    EXPECT_TRUE(logger.texts().empty());

    os::closeSocket(fd);
    EXPECT_EQ(logger.texts(),
              std::vector<std::string>{"[FP] : ERROR   : Error closing file descriptor : " +
                                       std::to_string(copy) + " : Bad file descriptor"});
}

// --- Interface address lookup, inside network namespaces made by the test ---

int runCommand(const std::string& command) {
    const int status = std::system((command + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Creates a named network namespace and deletes it again however the test ends.
class NetworkNamespace {
public:
    NetworkNamespace()
        : name_("aptest-" + std::to_string(getpid()) + "-" + std::to_string(counter_++)) {
        created_ = runCommand("ip netns add " + name_) == 0;
    }
    ~NetworkNamespace() {
        if (created_) {
            runCommand("ip netns delete " + name_);
        }
    }
    NetworkNamespace(const NetworkNamespace&) = delete;
    NetworkNamespace& operator=(const NetworkNamespace&) = delete;

    bool created() const { return created_; }
    bool run(const std::string& arguments) const {
        return runCommand("ip -n " + name_ + " " + arguments) == 0;
    }

    // Runs body in a child process that has entered the namespace and returns what body
    // returned, or an empty string on any failure. The wait is bounded.
    std::string runInside(const std::function<std::string()>& body) const {
        int ends[2];
        if (pipe(ends) != 0) {
            return {};
        }
        const pid_t child = fork();
        if (child == 0) {
            close(ends[0]);
            const int nsFd = open(("/var/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC);
            if (nsFd < 0 || setns(nsFd, CLONE_NEWNET) != 0) {
                _exit(2);
            }
            const std::string result = body();
            size_t written = 0;
            while (written < result.size()) {
                const ssize_t n = write(ends[1], result.data() + written, result.size() - written);
                if (n <= 0) {
                    _exit(3);
                }
                written += static_cast<size_t>(n);
            }
            _exit(0);
        }
        close(ends[1]);
        if (child < 0) {
            close(ends[0]);
            return {};
        }
        std::string output;
        bool complete = false;
        for (;;) {
            pollfd readable{ends[0], POLLIN, 0};
            if (poll(&readable, 1, 20000) <= 0) {
                break;
            }
            char chunk[4096];
            const ssize_t n = read(ends[0], chunk, sizeof(chunk));
            if (n <= 0) {
                complete = n == 0;
                break;
            }
            output.append(chunk, static_cast<size_t>(n));
        }
        close(ends[0]);
        if (!complete) {
            kill(child, SIGKILL);
        }
        int status = 0;
        waitpid(child, &status, 0);
        const bool ok = complete && WIFEXITED(status) && WEXITSTATUS(status) == 0;
        return ok ? output : std::string();
    }

private:
    static inline int counter_ = 0;
    std::string name_;
    bool created_ = false;
};

struct Lookup {
    bool found = false;
    std::string address;
    uint16_t portField = 0;
    int family = 0;
    std::vector<std::string> logs;
    // The interface's non-link-local IPv6 addresses in the order the system lists them.
    std::vector<std::string> globalOrder;
};

// Runs in the namespace: one lookup with a port field preset to 7, serialised line by line.
std::string lookupInside(const std::string& interfaceName) {
    RecordingLogger logger;
    sockaddr_in6 address{};
    address.sin6_port = htons(7);
    const bool found = os::getInterfaceAddress(address, interfaceName, 29178);
    std::ostringstream out;
    out << "found " << found << "\n";
    out << "address " << os::addressToString(address) << "\n";
    out << "port " << ntohs(address.sin6_port) << "\n";
    out << "family " << address.sin6_family << "\n";
    for (const auto& text : logger.texts()) {
        out << "log " << text << "\n";
    }
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) == 0) {
        for (ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
            if (entry->ifa_addr != nullptr && entry->ifa_addr->sa_family == AF_INET6 &&
                interfaceName == entry->ifa_name) {
                const std::string text =
                    os::addressToString(*reinterpret_cast<sockaddr_in6*>(entry->ifa_addr));
                if (text.rfind("fe80", 0) != 0) {
                    out << "global " << text << "\n";
                }
            }
        }
        freeifaddrs(list);
    }
    out << "end\n";
    return out.str();
}

bool parseLookup(const std::string& text, Lookup& lookup) {
    std::istringstream in(text);
    std::string line;
    bool ended = false;
    while (std::getline(in, line)) {
        const size_t space = line.find(' ');
        const std::string key = line.substr(0, space);
        const std::string value = space == std::string::npos ? "" : line.substr(space + 1);
        if (key == "found") {
            lookup.found = value == "1";
        } else if (key == "address") {
            lookup.address = value;
        } else if (key == "port") {
            lookup.portField = static_cast<uint16_t>(std::stoi(value));
        } else if (key == "family") {
            lookup.family = std::stoi(value);
        } else if (key == "log") {
            lookup.logs.push_back(value);
        } else if (key == "global") {
            lookup.globalOrder.push_back(value);
        } else if (key == "end") {
            ended = true;
        }
    }
    return ended;
}

TEST(SocketHelpersTest, InterfaceAddressInNetworkNamespace) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to create network namespaces";
    }
    NetworkNamespace ns;
    ASSERT_TRUE(ns.created()) << "ip netns add failed";

    // apg: two global addresses and a link-local one, which the kernel lists after them.
    // apl: only a link-local address. ap4: only IPv4. No automatic link-local addresses, and
    // no duplicate detection, so that every address is there at once and nothing else is.
    ASSERT_TRUE(ns.run("link add apg type veth peer name apl"));
    ASSERT_TRUE(ns.run("link add ap4 type veth peer name ap4p"));
    for (const char* name : {"apg", "apl", "ap4"}) {
        ASSERT_TRUE(ns.run(std::string("link set dev ") + name + " addrgenmode none"));
        ASSERT_TRUE(ns.run(std::string("link set dev ") + name + " up"));
    }
    ASSERT_TRUE(ns.run("addr add fd00:1::1/64 dev apg nodad"));
    ASSERT_TRUE(ns.run("addr add fd00:1::2/64 dev apg nodad"));
    ASSERT_TRUE(ns.run("addr add fe80::2/64 dev apg nodad"));
    ASSERT_TRUE(ns.run("addr add fe80::1/64 dev apl nodad"));
    ASSERT_TRUE(ns.run("addr add 192.0.2.1/24 dev ap4"));

    {
        SCOPED_TRACE("two global addresses");
        Lookup lookup;
        ASSERT_TRUE(parseLookup(ns.runInside([] { return lookupInside("apg"); }), lookup));
        ASSERT_EQ(lookup.globalOrder.size(), 2u);
        EXPECT_TRUE(lookup.found);
        EXPECT_EQ(lookup.address, lookup.globalOrder[1]) << "the last global address wins";
        EXPECT_EQ(lookup.portField, 29178);
        EXPECT_EQ(lookup.family, AF_INET6);
        const std::vector<std::string> expected = {
            "[FP] : INFO    : Setting address to : " + lookup.globalOrder[0],
            "[FP] : INFO    : Setting address to : " + lookup.globalOrder[1],
        };
        EXPECT_EQ(lookup.logs, expected);
    }
    {
        SCOPED_TRACE("link-local only");
        Lookup lookup;
        ASSERT_TRUE(parseLookup(ns.runInside([] { return lookupInside("apl"); }), lookup));
        EXPECT_FALSE(lookup.found);
        EXPECT_EQ(lookup.address, "::");
        EXPECT_EQ(lookup.portField, 7) << "port must stay as the caller left it";
        EXPECT_EQ(lookup.family, AF_INET6);
        EXPECT_TRUE(lookup.logs.empty());
    }
    for (const char* name : {"ap4", "apg0", "ap", "nosuch0"}) {
        SCOPED_TRACE(name);
        Lookup lookup;
        ASSERT_TRUE(parseLookup(ns.runInside([name] { return lookupInside(name); }), lookup));
        EXPECT_FALSE(lookup.found);
        EXPECT_EQ(lookup.address, "::");
        EXPECT_EQ(lookup.portField, 7);
        EXPECT_TRUE(lookup.logs.empty());
    }
}

}  // namespace
