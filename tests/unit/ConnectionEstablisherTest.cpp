// Establishers on real sockets. Redirected connections come from a network namespace made by the
// test, where an nftables DNAT rule sends the client's connections to the test's own listening
// socket, exactly as the kernel sends them to the proxy.
#include "io/ConnectionEstablisher.h"

#include <arpa/inet.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "NetworkNamespaceGuard.h"
#include "RecordingLogger.h"
#include "connection/IncomingConnection.h"
#include "connection/OutgoingConnection.h"
#include "io/ConnectionDispatcher.h"
#include "os/SocketHelpers.h"

namespace {

using namespace std::chrono_literals;
using Pair = std::pair<std::unique_ptr<connection::IncomingConnection>,
                       std::unique_ptr<connection::OutgoingConnection>>;

// The capability rules and the alias table are read once per process, when the clients are
// first used, so they are in place before any test runs. Port 8001 is plain, 8002 authentic,
// 8003 confidential and 8004 undetermined; nothing listens on 8009.
struct ClientFiles {
    ClientFiles() {
        char pattern[] = "/tmp/ap-establisher-XXXXXX";
        directory = mkdtemp(pattern);
        std::ofstream(directory / "rules") << "2001:db8::5 8002 1\n"
                                              "2001:db8::5 8003 2\n"
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
    std::vector<Pair> pairs;
};

sockaddr_in6 endpoint(const char* address, uint16_t port) {
    sockaddr_in6 result{};
    result.sin6_family = AF_INET6;
    result.sin6_port = htons(port);
    inet_pton(AF_INET6, address, &result.sin6_addr);
    return result;
}

int listenOn(const sockaddr_in6& address) {
    int descriptor = os::createSocket();
    os::setAddressAndPortReuse(descriptor);
    if (os::bindSocket(descriptor, address) != 0 || os::listenSocket(descriptor, 8) != 0) {
        os::closeSocket(descriptor);
        return -1;
    }
    return descriptor;
}

uint16_t localPort(int descriptor) {
    sockaddr_in6 address{};
    socklen_t length = sizeof(address);
    getsockname(descriptor, reinterpret_cast<sockaddr*>(&address), &length);
    return os::portOf(address);
}

// Whether the other end closed this socket: end of file (or a reset) within a bounded wait.
bool closedByPeer(int descriptor) {
    pollfd readable{descriptor, POLLIN, 0};
    char byte;
    return poll(&readable, 1, 10000) == 1 && recv(descriptor, &byte, 1, MSG_DONTWAIT) <= 0;
}

// Takes a connection waiting on a listening socket, if there is one; -1 otherwise.
int acceptWaiting(int listening) {
    pollfd readable{listening, POLLIN, 0};
    return poll(&readable, 1, 0) == 1 ? accept(listening, nullptr, nullptr) : -1;
}

// A plain connection over [::1] that no rule redirected, as the listener would queue it.
struct DirectConnection {
    DirectConnection() {
        int listening = listenOn(endpoint("::1", 0));
        sockaddr_in6 address = endpoint("::1", localPort(listening));
        client = os::createSocket();
        os::connectSocket(client, &address, sizeof(address));
        element.descriptor = os::acceptSocket(listening, &element.address, &element.addressLength);
        os::closeSocket(listening);
    }
    ~DirectConnection() { os::closeSocket(client); }
    int client;
    io::PendingConnection element;
};

peer::PidResolver resolverAnswering(int32_t pid) {
    return peer::PidResolver([pid](const sockaddr_in6&) { return pid; },
                             [](int32_t, const sockaddr_in6&) { return false; });
}

TEST(ConnectionEstablisherTest, RunLoopEstablishesUntilStopAndStopWinsOverQueuedElements) {
    testing_support::RecordingLogger logger;
    RecordingDispatcher dispatcher;
    peer::PidResolver resolver = resolverAnswering(-1);
    std::vector<std::unique_ptr<DirectConnection>> waiting;
    {
        io::PendingConnectionQueue queue;
        io::ConnectionEstablisher establisher(queue, dispatcher, nullptr, resolver, "");
        auto done = std::async(std::launch::async, [&] { establisher.runReverse(); });
        // Not redirected, so there is no original destination: closed, no connection made.
        DirectConnection direct;
        queue.push(direct.element);
        EXPECT_TRUE(closedByPeer(direct.client));
        DirectConnection forward;
        establisher.establishForward(forward.element);
        EXPECT_TRUE(closedByPeer(forward.client));
        EXPECT_EQ(logger.count("could not get original destination of connection"), 2u);

        for (int i = 0; i < 2; ++i) {
            queue.requestStop();
            waiting.push_back(std::make_unique<DirectConnection>());
            queue.push(waiting.back()->element);
        }
        ASSERT_EQ(done.wait_for(10s), std::future_status::ready);
        establisher.runForward();
        EXPECT_EQ(queue.size(), 2u) << "taken after the stop";
    }
    // Elements nobody took are closed with the queue rather than left open.
    for (const auto& connection : waiting) {
        EXPECT_TRUE(closedByPeer(connection->client));
    }
    EXPECT_EQ(logger.count("Connection establisher running"), 2u);
    EXPECT_EQ(logger.count("Connection establisher shutting down"), 2u);
    EXPECT_TRUE(dispatcher.pairs.empty());
    EXPECT_EQ(logger.count("Error closing file descriptor"), 0u);
}

// Namespace with 2001:db8::5 (proxy and services) and 2001:db8::10 (the client). Connections
// from the client to ports 8001-8009 are redirected to the test's listener on port 29100.
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
        listening_ = listenOn(endpoint("2001:db8::5", 29100));
        ASSERT_NE(listening_, -1);
        for (uint16_t port : {8001, 8002, 8003, 8004}) {
            services_[port] = listenOn(endpoint("2001:db8::5", port));
            ASSERT_NE(services_[port], -1);
        }
    }
    void TearDown() override {
        os::closeSocket(client_);
        os::closeSocket(listening_);
        for (auto& [port, descriptor] : services_) {
            os::closeSocket(descriptor);
        }
        ns_.leave();
    }

    // Connects the client to the port and returns what the listener accepted.
    io::PendingConnection redirect(uint16_t port) {
        os::closeSocket(client_);
        client_ = os::createSocket();
        sockaddr_in6 source = endpoint("2001:db8::10", 0);
        sockaddr_in6 destination = endpoint("2001:db8::5", port);
        EXPECT_EQ(os::bindSocket(client_, source), 0);
        EXPECT_EQ(os::connectSocket(client_, &destination, sizeof(destination)), 0);
        io::PendingConnection element;
        element.descriptor = os::acceptSocket(listening_, &element.address, &element.addressLength);
        return element;
    }
    std::string tagPrefix(const std::string& domain, uint16_t port) const {
        return "[2001:db8::10]:" + std::to_string(localPort(client_)) + "/" + domain +
               "->[2001:db8::5]:" + std::to_string(port);
    }
    // Each refused link closes the client's socket, logs its reason once and never reaches the
    // service.
    void expectRefused(const std::function<void(io::PendingConnection)>& establish,
                       testing_support::RecordingLogger& logger) {
        const std::map<uint16_t, std::string> reasons = {
            {8002, "Secure connections not available. Rejecting connection"},
            {8003, "Secure connections not available. Rejecting connection"},
            {8004, "Could not determine security level"},
            {8009, "Creating outgoing connection failed. Closing connection pair"}};
        for (const auto& [port, reason] : reasons) {
            SCOPED_TRACE(port);
            const size_t before = logger.count(reason);
            establish(redirect(port));
            EXPECT_EQ(logger.count(reason), before + 1);
            EXPECT_TRUE(closedByPeer(client_));
            if (services_.count(port) != 0) {
                EXPECT_EQ(acceptWaiting(services_[port]), -1) << "carried in plain";
            }
        }
        EXPECT_TRUE(logger.contains("Could not determine security level") &&
                    logger.contains("result : 7"));
    }

    testing_support::NetworkNamespaceGuard ns_;
    int listening_ = -1;
    int client_ = -1;
    std::map<uint16_t, int> services_;
};

TEST_F(RedirectedConnectionTest, ReverseSecuresTheIncomingSideAsTheCapabilityCacheSays) {
    testing_support::RecordingLogger logger;
    io::PendingConnectionQueue queue;
    RecordingDispatcher dispatcher;
    peer::PidResolver resolver = resolverAnswering(-1);
    io::ConnectionEstablisher establisher(queue, dispatcher, nullptr, resolver, "2001:db8::5");

    io::PendingConnection element = redirect(8001);
    establisher.establishReverse(element);
    ASSERT_EQ(dispatcher.pairs.size(), 1u);
    const auto& [incoming, outgoing] = dispatcher.pairs[0];
    const std::string prefix = tagPrefix("2001:db8::10", 8001);
    EXPECT_EQ(incoming->tag(), prefix + ",in,p," + std::to_string(element.descriptor));
    EXPECT_EQ(outgoing->tag(), prefix + ",out,p," + std::to_string(outgoing->socket()));
    EXPECT_EQ(incoming->peer(), outgoing.get());
    EXPECT_EQ(outgoing->peer(), incoming.get());
    EXPECT_EQ(incoming->domain(), "2001:db8::10");
    EXPECT_FALSE(incoming->addHeader()) << "only a forward proxy announces the client";
    int service = acceptWaiting(services_[8001]);
    EXPECT_NE(service, -1);
    os::closeSocket(service);

    expectRefused([&](io::PendingConnection e) { establisher.establishReverse(e); }, logger);

    // A dispatcher without handlers takes nothing; the pair is closed on both sides.
    io::ConnectionDispatcher noHandlers;
    io::ConnectionEstablisher unserved(queue, noHandlers, nullptr, resolver, "2001:db8::5");
    unserved.establishReverse(redirect(8001));
    EXPECT_TRUE(logger.contains("no handlers in connection dispatcher"));
    EXPECT_TRUE(closedByPeer(client_));
    int unservedService = acceptWaiting(services_[8001]);
    EXPECT_TRUE(closedByPeer(unservedService));
    os::closeSocket(unservedService);

    EXPECT_EQ(dispatcher.pairs.size(), 1u);
    EXPECT_EQ(logger.count("Error closing file descriptor"), 0u);
}

TEST_F(RedirectedConnectionTest, ForwardIdentifiesTheClientAndSecuresTheOutgoingSide) {
    testing_support::RecordingLogger logger;
    io::PendingConnectionQueue queue;
    RecordingDispatcher dispatcher;
    // The real resolver never names the proxy's own process, which here is also the client's.
    peer::PidResolver resolver = resolverAnswering(getpid());
    io::ConnectionEstablisher establisher(queue, dispatcher, nullptr, resolver, "2001:db8::5");

    io::PendingConnection element = redirect(8001);
    establisher.establishForward(element);
    ASSERT_EQ(dispatcher.pairs.size(), 1u);
    const auto& [incoming, outgoing] = dispatcher.pairs[0];
    const std::string prefix = tagPrefix("first.app", 8001);
    EXPECT_EQ(incoming->tag(), prefix + ",in,p," + std::to_string(element.descriptor));
    EXPECT_EQ(outgoing->tag(), prefix + ",out,p," + std::to_string(outgoing->socket()));
    EXPECT_EQ(incoming->domain(), "first.app");
    EXPECT_EQ(incoming->address(), "2001:db8::5");
    EXPECT_EQ(incoming->port(), 8001);
    EXPECT_TRUE(incoming->registered());
    EXPECT_TRUE(incoming->addHeader()) << "a plain outgoing side announces the client";
    int service = acceptWaiting(services_[8001]);
    EXPECT_NE(service, -1);
    os::closeSocket(service);

    expectRefused([&](io::PendingConnection e) { establisher.establishForward(e); }, logger);

    peer::PidResolver nobody = resolverAnswering(-1);
    io::ConnectionEstablisher unidentified(queue, dispatcher, nullptr, nobody, "2001:db8::5");
    unidentified.establishForward(redirect(8001));
    EXPECT_TRUE(
        logger.contains("Cannot find pid, most likely you did not set correct "
                        "permissions to the executable. Rejecting connection"));
    EXPECT_TRUE(closedByPeer(client_));
    EXPECT_EQ(acceptWaiting(services_[8001]), -1);

    EXPECT_EQ(dispatcher.pairs.size(), 1u);
    EXPECT_EQ(logger.count("Error closing file descriptor"), 0u);
}

}  // namespace
