// Establishers on real sockets; redirected connections come from a namespace made by the test.
#include "io/ConnectionEstablisher.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "NetworkNamespaceGuard.h"
#include "RecordingLogger.h"
#include "connection/IncomingConnection.h"
#include "connection/OutgoingConnection.h"
#include "os/SocketHelpers.h"

namespace {

using namespace std::chrono_literals;
using io::ConnectionEstablisher;

// The capability and alias clients read their files once, at first use, so these are in place
// before any test. Port 8001 is plain, 8002 authentic, 8003 confidential, 8004 level 7.
struct ClientFiles {
    ClientFiles() {
        char pattern[] = "/tmp/ap-establisher-XXXXXX";
        directory = mkdtemp(pattern);
        std::ofstream(directory / "rules") << "2001:db8::5 8002 1\n2001:db8::5 8003 2\n"
                                              "2001:db8::5 8004 7\n";
        std::ofstream(directory / "aliases") << getuid() << " first.app second.app\n";
        setenv("ACCESS_PROXY_CAPABILITIES", (directory / "rules").c_str(), 1);
        setenv("ACCESS_PROXY_ALIASES", (directory / "aliases").c_str(), 1);
    }
    ~ClientFiles() { std::filesystem::remove_all(directory); }
    std::filesystem::path directory;
} clientFiles;

struct RecordingDispatcher : io::ConnectionDispatcherBase {
    void dispatch(std::unique_ptr<connection::IncomingConnection>& incoming,
                  std::unique_ptr<connection::OutgoingConnection>& outgoing) override {
        pairs.emplace_back(std::move(incoming), std::move(outgoing));
    }
    std::vector<std::pair<std::unique_ptr<connection::IncomingConnection>,
                          std::unique_ptr<connection::OutgoingConnection>>>
        pairs;
};

sockaddr_in6 endpoint(const char* address, uint16_t port) {
    sockaddr_in6 result{};
    result.sin6_family = AF_INET6;
    result.sin6_port = htons(port);
    inet_pton(AF_INET6, address, &result.sin6_addr);
    return result;
}

// End of file or a reset from the other end, within a bounded wait.
bool closedByPeer(int descriptor) {
    pollfd readable{descriptor, POLLIN, 0};
    char byte;
    return poll(&readable, 1, 10000) == 1 && recv(descriptor, &byte, 1, MSG_DONTWAIT) <= 0;
}

// A connection waiting on the listening socket, or -1.
int acceptWaiting(int listening) {
    pollfd readable{listening, POLLIN, 0};
    return poll(&readable, 1, 0) == 1 ? accept(listening, nullptr, nullptr) : -1;
}

peer::PidResolver resolverAnswering(int32_t pid) {
    return peer::PidResolver([pid](const sockaddr_in6&) { return pid; },
                             [](int32_t, const sockaddr_in6&) { return false; });
}

// A socketpair has no original destination, as a connection that no rule redirected has none
// where nothing tracks connections; such a socket is closed before any connection object exists.
TEST(ConnectionEstablisherTest, ClosesWhatHasNoOriginalDestinationAndStopWinsOverQueuedElements) {
    testing_support::RecordingLogger logger;
    RecordingDispatcher dispatcher;
    peer::PidResolver resolver = resolverAnswering(-1);
    int sockets[3][2];
    for (auto& pair : sockets) {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    }
    {
        io::PendingConnectionQueue queue;
        ConnectionEstablisher establisher(queue, dispatcher, nullptr, resolver, "");
        auto running = std::async(std::launch::async, [&] { establisher.runReverse(); });
        queue.push({{}, sizeof(sockaddr_in6), sockets[0][0]});
        EXPECT_TRUE(closedByPeer(sockets[0][1])) << "taken by the running loop";
        establisher.establishForward({{}, sizeof(sockaddr_in6), sockets[1][0]});
        EXPECT_TRUE(closedByPeer(sockets[1][1]));
        EXPECT_EQ(logger.count("could not get original destination of connection"), 2u);

        queue.requestStop();
        ASSERT_EQ(running.wait_for(10s), std::future_status::ready);
        queue.push({{}, sizeof(sockaddr_in6), sockets[2][0]});
        establisher.runForward();
        EXPECT_EQ(queue.size(), 1u) << "taken after the stop";
    }
    EXPECT_TRUE(closedByPeer(sockets[2][1])) << "the queue closes what nobody took";
    for (auto& pair : sockets) {
        os::closeSocket(pair[1]);
    }
    EXPECT_TRUE(dispatcher.pairs.empty());
    EXPECT_EQ(logger.count("Error closing file descriptor"), 0u);
}

// 2001:db8::5 holds the proxy's listener and the services; the client at 2001:db8::10 is
// redirected from ports 8001-8009 to the proxy, which finds nothing on 8009.
class RedirectedConnectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "needs root for network namespaces and nftables";
        }
        ASSERT_TRUE(ns_.created());
        ASSERT_TRUE(ns_.addInterface("ap0", {"2001:db8::5/64", "2001:db8::10/64"}));
        ASSERT_TRUE(ns_.nft(
            "table ip6 aptest { chain out { type nat hook output priority -100;\n"
            "  ip6 saddr 2001:db8::10 tcp dport 8001-8009 dnat to [2001:db8::5]:29100\n}\n}\n"));
        ASSERT_TRUE(ns_.enter());
        for (uint16_t port : {29100, 8001, 8002, 8003, 8004}) {
            listeners_[port] = os::createSocket();
            ASSERT_EQ(os::bindSocket(listeners_[port], endpoint("2001:db8::5", port)), 0);
            ASSERT_EQ(os::listenSocket(listeners_[port], 8), 0);
        }
    }
    void TearDown() override {
        os::closeSocket(client_);
        for (auto& [port, descriptor] : listeners_) {
            os::closeSocket(descriptor);
        }
    }

    // Connects the client to the port; what the listener accepted.
    io::PendingConnection redirect(uint16_t port) {
        os::closeSocket(client_);
        client_ = os::createSocket();
        const sockaddr_in6 destination = endpoint("2001:db8::5", port);
        EXPECT_EQ(os::bindSocket(client_, endpoint("2001:db8::10", 0)), 0);
        EXPECT_EQ(os::connectSocket(client_, &destination, sizeof(destination)), 0);
        io::PendingConnection element;
        element.descriptor =
            os::acceptSocket(listeners_[29100], &element.address, &element.addressLength);
        return element;
    }

    testing_support::NetworkNamespaceGuard ns_;
    testing_support::RecordingLogger logger_;
    io::PendingConnectionQueue queue_;
    std::map<uint16_t, int> listeners_;  // the proxy's on 29100, the services' on their ports
    int client_ = -1;
};

// Level 0 gives a pair of plain connections. Levels 1 and 2 need TLS, which this build
// lacks, so they are refused rather than carried in plain; 7 is rejected. A refusal closes the
// client's socket once and reaches no service.
TEST_F(RedirectedConnectionTest, SecurityLevelDecidesTheLinkInBothRoles) {
    struct Role {
        void (ConnectionEstablisher::*establish)(io::PendingConnection);
        std::string domain;
        std::string server;  // where the WebSocket registry files an upgrade
        bool addHeader;      // only a forward proxy announces the client
    };
    const Role roles[] = {
        {&ConnectionEstablisher::establishReverse, "2001:db8::10", ":0", false},
        {&ConnectionEstablisher::establishForward, "first.app", "2001:db8::5:8001", true}};
    const std::map<uint16_t, std::string> refusals = {
        {8002, "Secure connections not available. Rejecting connection"},
        {8003, "Secure connections not available. Rejecting connection"},
        {8004, "Could not determine security level"},
        {8009, "Creating outgoing connection failed. Closing connection pair"}};
    // The real resolver never names the proxy's own process, which here is also the client's.
    peer::PidResolver resolver = resolverAnswering(getpid());
    for (const Role& role : roles) {
        SCOPED_TRACE(role.domain);
        RecordingDispatcher dispatcher;
        ConnectionEstablisher establisher(queue_, dispatcher, nullptr, resolver, "2001:db8::5");
        const io::PendingConnection element = redirect(8001);
        (establisher.*role.establish)(element);
        ASSERT_EQ(dispatcher.pairs.size(), 1u);
        const auto& [incoming, outgoing] = dispatcher.pairs[0];
        const std::string prefix = "[2001:db8::10]:" + std::to_string(os::portOf(element.address)) +
                                   "/" + role.domain + "->[2001:db8::5]:8001";
        EXPECT_EQ(incoming->tag(), prefix + ",in,p," + std::to_string(element.descriptor));
        EXPECT_EQ(outgoing->tag(), prefix + ",out,p," + std::to_string(outgoing->socket()));
        EXPECT_EQ(incoming->address() + ":" + std::to_string(incoming->port()), role.server);
        EXPECT_EQ(incoming->addHeader(), role.addHeader);
        int service = acceptWaiting(listeners_[8001]);
        EXPECT_NE(service, -1);
        os::closeSocket(service);

        for (const auto& [port, reason] : refusals) {
            SCOPED_TRACE(port);
            const size_t before = logger_.count(reason);
            (establisher.*role.establish)(redirect(port));
            EXPECT_EQ(logger_.count(reason), before + 1);
            EXPECT_TRUE(closedByPeer(client_));
            if (listeners_.count(port) != 0) {
                EXPECT_EQ(acceptWaiting(listeners_[port]), -1);
            }
        }
        EXPECT_EQ(dispatcher.pairs.size(), 1u);
    }
    EXPECT_EQ(logger_.count("result : 7"), 2u);
    EXPECT_EQ(logger_.count("Error closing file descriptor"), 0u);
}

// With connection tracking on, a connection made straight to the proxy's port reports that port
// as its original destination; following it would make the proxy connect to itself without end.
TEST_F(RedirectedConnectionTest, RejectsUnidentifiedClientsAndConnectionsNotRedirected) {
    RecordingDispatcher dispatcher;
    peer::PidResolver nobody = resolverAnswering(-1);
    ConnectionEstablisher establisher(queue_, dispatcher, nullptr, nobody, "2001:db8::5");
    establisher.establishForward(redirect(8001));
    EXPECT_TRUE(
        logger_.contains("Cannot find pid, most likely you did not set correct "
                         "permissions to the executable. Rejecting connection"));
    EXPECT_TRUE(closedByPeer(client_));
    EXPECT_EQ(acceptWaiting(listeners_[8001]), -1);

    for (auto establish :
         {&ConnectionEstablisher::establishReverse, &ConnectionEstablisher::establishForward}) {
        (establisher.*establish)(redirect(29100));
        EXPECT_TRUE(closedByPeer(client_));
        EXPECT_EQ(acceptWaiting(listeners_[29100]), -1) << "the proxy connected to itself";
    }
    EXPECT_EQ(logger_.count("Connection was not redirected to the proxy. Rejecting connection"),
              2u);
    EXPECT_TRUE(dispatcher.pairs.empty());
    EXPECT_EQ(logger_.count("Error closing file descriptor"), 0u);
}

}  // namespace
