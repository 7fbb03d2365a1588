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

#include "ConnectionTestSupport.h"
#include "NetworkNamespaceGuard.h"
#include "RecordingLogger.h"
#include "os/SocketHelpers.h"

namespace {

using namespace std::chrono_literals;
using io::ConnectionEstablisher;
using testing_support::Fd;

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
    sockaddr_in6 result{AF_INET6, htons(port), 0, {}, 0};
    inet_pton(AF_INET6, address, &result.sin6_addr);
    return result;
}

// End of file or a reset from the other end, within a bounded wait.
bool closedByPeer(int fd) {
    char byte;
    return testing_support::waitFor(fd, POLLIN) && recv(fd, &byte, 1, MSG_DONTWAIT) <= 0;
}

// A connection waiting on the listening socket, or -1.
int acceptWaiting(int fd) {
    return testing_support::waitFor(fd, POLLIN, 0) ? accept(fd, nullptr, nullptr) : -1;
}

peer::PidResolver resolverAnswering(int32_t pid) {
    return peer::PidResolver(
        {[](const sockaddr_in6&, const sockaddr_in6&, uint32_t&) { return std::string("1"); },
         [](int32_t, const std::string&, int&, bool) { return peer::Holding::DoesNotHold; },
         [pid](const std::string&, uint32_t, const std::vector<int32_t>&, int&) { return pid; },
         {}});
}

// A socketpair has no original destination, as a connection that no rule redirected has none
// where nothing tracks connections; such a socket is closed before any connection object exists.
TEST(ConnectionEstablisherTest, ClosesWhatHasNoOriginalDestinationAndStopWinsOverQueuedElements) {
    testing_support::RecordingLogger logger;
    RecordingDispatcher dispatcher;
    peer::PidResolver resolver = resolverAnswering(-1);
    Fd near[2], far[2];
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(testing_support::socketPair(near[i], far[i], true));
    }
    {
        io::PendingConnectionQueue queue;
        ConnectionEstablisher establisher(queue, dispatcher, nullptr, resolver, "");
        auto running = std::async(std::launch::async, [&] { establisher.runReverse(); });
        queue.push({{}, sizeof(sockaddr_in6), near[0].release()});
        EXPECT_TRUE(closedByPeer(far[0].get()));
        EXPECT_TRUE(logger.contains("could not get original destination of connection"));
        queue.requestStop();
        ASSERT_EQ(running.wait_for(10s), std::future_status::ready);
        queue.push({{}, sizeof(sockaddr_in6), near[1].release()});
        establisher.runForward();
        EXPECT_EQ(queue.size(), 1u) << "taken after the stop";
    }
    EXPECT_TRUE(closedByPeer(far[1].get())) << "the queue closes what nobody took";
    EXPECT_TRUE(dispatcher.pairs.empty());
    EXPECT_EQ(logger.count("Error closing file descriptor"), 0u);
}

// The client at 2001:db8::10 is redirected from ports 8001-8009 to the proxy's listener at
// [2001:db8::5]:29100. Levels 1 and 2 need TLS, which this build lacks: refused, not carried in
// plain. Following a direct connection's "original destination" would connect the proxy to itself.
// A refusal closes the client's socket once and reaches nobody.
TEST(ConnectionEstablisherTest, SecurityLevelDecidesAndUnidentifiedOrDirectClientsAreRefused) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root for network namespaces and nftables";
    }
    testing_support::NetworkNamespaceGuard ns;
    ASSERT_TRUE(ns.created());
    ASSERT_TRUE(ns.addInterface("ap0", {"2001:db8::5/64", "2001:db8::10/64"}));
    ASSERT_TRUE(
        ns.nft("table ip6 aptest { chain out { type nat hook output priority -100; ip6 "
               "saddr 2001:db8::10 tcp dport 8001-8009 dnat to [2001:db8::5]:29100; }; }"));
    ASSERT_TRUE(ns.enter());
    std::map<uint16_t, Fd> listeners;
    for (uint16_t port : {29100, 8001, 8002, 8003, 8004}) {
        int fd = os::createSocket();
        listeners[port].reset(fd);
        ASSERT_EQ(os::bindSocket(fd, endpoint("2001:db8::5", port)), 0);
        ASSERT_EQ(os::listenSocket(fd, 8), 0);
    }
    Fd client;
    int proxyListener = listeners[29100].get();
    auto redirect = [&](uint16_t port) {  // what the proxy's listener accepts
        int fd = os::createSocket();
        client.reset(fd);
        const sockaddr_in6 target = endpoint("2001:db8::5", port);
        EXPECT_EQ(os::bindSocket(fd, endpoint("2001:db8::10", 0)), 0);
        EXPECT_EQ(os::connectSocket(fd, &target, sizeof(target)), 0);
        io::PendingConnection element;
        element.descriptor =
            os::acceptSocket(proxyListener, &element.address, &element.addressLength);
        return element;
    };
    testing_support::RecordingLogger logger;
    io::PendingConnectionQueue queue;
    const std::pair<void (ConnectionEstablisher::*)(io::PendingConnection), std::string> roles[] = {
        {&ConnectionEstablisher::establishReverse, "2001:db8::10"},
        {&ConnectionEstablisher::establishForward, "first.app"}};
    const std::map<uint16_t, std::string> refusals = {
        {8002, "Secure connections not available. Rejecting connection"},
        {8003, "Secure connections not available. Rejecting connection"},
        {8004, "Could not determine security level"},
        {29100, "Connection was not redirected to the proxy. Rejecting connection"}};
    // The real resolver never names the proxy's own process, which here is also the client's.
    peer::PidResolver resolver = resolverAnswering(getpid());
    RecordingDispatcher dispatcher;
    for (const auto& [establish, domain] : roles) {
        SCOPED_TRACE(domain);
        ConnectionEstablisher establisher(queue, dispatcher, nullptr, resolver, "2001:db8::5");
        const io::PendingConnection element = redirect(8001);
        (establisher.*establish)(element);
        ASSERT_EQ(dispatcher.pairs.size(), 1u);
        const auto& [incoming, outgoing] = dispatcher.pairs[0];
        const std::string prefix = "[2001:db8::10]:" + std::to_string(os::portOf(element.address)) +
                                   "/" + domain + "->[2001:db8::5]:8001";
        EXPECT_EQ(incoming->tag(), prefix + ",in,p," + std::to_string(element.descriptor));
        EXPECT_EQ(outgoing->tag(), prefix + ",out,p," + std::to_string(outgoing->socket()));
        EXPECT_EQ(incoming->addHeader(), establish == &ConnectionEstablisher::establishForward);
        EXPECT_NE(Fd(acceptWaiting(listeners[8001].get())).get(), -1);
        dispatcher.pairs.clear();
        for (const auto& [port, reason] : refusals) {
            SCOPED_TRACE(port);
            const size_t before = logger.count(reason);
            (establisher.*establish)(redirect(port));
            EXPECT_EQ(logger.count(reason), before + 1);
            EXPECT_TRUE(closedByPeer(client.get()));
            EXPECT_EQ(acceptWaiting(listeners[port].get()), -1);
        }
    }
    peer::PidResolver nobody = resolverAnswering(-1);
    ConnectionEstablisher blind(queue, dispatcher, nullptr, nobody, "2001:db8::5");
    blind.establishForward(redirect(8001));
    EXPECT_TRUE(
        logger.contains("Cannot find pid, most likely you did not set correct "
                        "permissions to the executable. Rejecting connection"));
    EXPECT_TRUE(closedByPeer(client.get()));
    EXPECT_EQ(acceptWaiting(listeners[8001].get()), -1);
    EXPECT_TRUE(dispatcher.pairs.empty());
    EXPECT_EQ(logger.count("Error closing file descriptor"), 0u);
}

}  // namespace
