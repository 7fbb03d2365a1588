// The proxy as start-up uses it, inside network namespaces made by the test: binding, the
// lifecycle and the TLS exception list. Whole exchanges through the daemon are the end-to-end
// tests' part.
#include "proxy/Proxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "ChildProcess.h"
#include "NetworkNamespaceGuard.h"
#include "RecordingLogger.h"
#include "os/SocketHelpers.h"
#include "proxy/TlsExceptions.h"

namespace {

using namespace std::chrono_literals;
using proxy::Proxy;

sockaddr_in6 endpoint(const char* address, uint16_t port) {
    sockaddr_in6 result{};
    result.sin6_family = AF_INET6;
    result.sin6_port = htons(port);
    inet_pton(AF_INET6, address, &result.sin6_addr);
    return result;
}

std::string boundEndpoint(int descriptor) {
    sockaddr_in6 address{};
    socklen_t length = sizeof(address);
    getsockname(descriptor, reinterpret_cast<sockaddr*>(&address), &length);
    return "[" + os::addressToString(address) + "]:" + std::to_string(os::portOf(address));
}

bool isOpen(int descriptor) {
    return fcntl(descriptor, F_GETFD) != -1;
}

std::vector<std::string> threadNames() {
    std::vector<std::string> names;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        std::getline(comm, name);
        names.push_back(name);
    }
    return names;
}

// A namespace with interface ap0 holding only the global address 2001:db8::5, and apl with only
// a link-local address.
class ProxyTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "needs root for network namespaces";
        }
        ASSERT_TRUE(ns_.created());
        ASSERT_TRUE(ns_.addInterface("ap0", {"2001:db8::5/64"}));
        ASSERT_TRUE(ns_.addInterface("apl", {"fe80::1/64"}));
        ASSERT_TRUE(ns_.enter());
    }
    void TearDown() override { ns_.leave(); }

    testing_support::NetworkNamespaceGuard ns_;
};

TEST_F(ProxyTest, ListensOnTheInterfacesGlobalAddressAndTheRolesPort) {
    testing_support::RecordingLogger logger;
    {
        Proxy forward(Proxy::ROLE_FORWARD, 1, 3, "ap0");
        EXPECT_TRUE(forward.isInitialized());
        EXPECT_EQ(forward.localAddress(), "2001:db8::5");
        EXPECT_EQ(boundEndpoint(forward.listeningSocket()), "[2001:db8::5]:29178");
        EXPECT_EQ(forward.handlerCount(), 3u);
        EXPECT_EQ(forward.establisherCount(), 1u);

        // Port reuse lets a second proxy bind the same address and port.
        Proxy second(Proxy::ROLE_FORWARD, 1, 1, "ap0");
        EXPECT_TRUE(second.isInitialized());

        Proxy reverse(Proxy::ROLE_REVERSE, 0, 0, "ap0");
        EXPECT_TRUE(reverse.isInitialized());
        EXPECT_EQ(boundEndpoint(reverse.listeningSocket()), "[2001:db8::5]:29179");
    }
    for (const char* interface : {"apl", "nosuch0"}) {
        SCOPED_TRACE(interface);
        logger.clear();
        Proxy proxy(Proxy::ROLE_FORWARD, 1, 1, interface);
        EXPECT_FALSE(proxy.isInitialized());
        EXPECT_EQ(proxy.listeningSocket(), -1);
        EXPECT_EQ(proxy.localAddress(), "");
        EXPECT_TRUE(logger.contains("FATAL   : Could not find IP for interface"));
    }
    EXPECT_EQ(logger.count("Error closing file descriptor"), 0u);
}

TEST_F(ProxyTest, StopsOnceAndClosesTheListeningSocketExactlyOnce) {
    testing_support::RecordingLogger logger;
    int started = -1;
    {
        Proxy proxy(Proxy::ROLE_REVERSE, 2, 2, "ap0");
        ASSERT_TRUE(proxy.isInitialized());
        started = proxy.listeningSocket();
        proxy.start();
        // Names longer than the kernel's 15 bytes are cut, not dropped.
        std::vector<std::string> names = threadNames();
        EXPECT_EQ(std::count(names.begin(), names.end(), "[connection_han"), 2);
        EXPECT_EQ(std::count(names.begin(), names.end(), "[connection_est"), 2);
        EXPECT_EQ(std::count(names.begin(), names.end(), "[socket_listene"), 1);

        proxy.stop();
        EXPECT_FALSE(isOpen(started));
        proxy.stop();
    }
    EXPECT_EQ(logger.count("Stopping proxy"), 1u);
    EXPECT_EQ(logger.count("SocketListener shutting down"), 1u);

    // Never started: the listener never ran, so stop closes the socket itself.
    int unstarted = -1;
    {
        Proxy proxy(Proxy::ROLE_FORWARD, 1, 1, "ap0");
        unstarted = proxy.listeningSocket();
        ASSERT_TRUE(isOpen(unstarted));
    }
    EXPECT_FALSE(isOpen(unstarted));
    EXPECT_EQ(logger.count("Stopping proxy"), 2u);
    EXPECT_EQ(logger.count("Error closing file descriptor"), 0u);
}

TEST_F(ProxyTest, WithoutEstablishersAcceptedSocketsWaitUntilStopAndAreThenClosed) {
    testing_support::RecordingLogger logger;
    int client = os::createSocket();
    {
        Proxy proxy(Proxy::ROLE_REVERSE, 0, 1, "ap0");
        ASSERT_TRUE(proxy.isInitialized());
        proxy.start();
        sockaddr_in6 address = endpoint("2001:db8::5", 29179);
        ASSERT_EQ(os::connectSocket(client, &address, sizeof(address)), 0);
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (!logger.contains("SocketListener accepted new connection") &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(5ms);
        }
        ASSERT_TRUE(logger.contains("SocketListener accepted new connection"));
    }
    pollfd readable{client, POLLIN, 0};
    char byte;
    EXPECT_EQ(poll(&readable, 1, 10000), 1);
    EXPECT_EQ(recv(client, &byte, 1, MSG_DONTWAIT), 0) << "the queued socket was not closed";
    os::closeSocket(client);
}

// The list as this process read it at load; checked by a copy of this binary that was started in
// a directory holding a "tls_exceptions.txt".
TEST(TlsExceptionListTest, AsLoadedByAChildProcess) {
    if (getenv("AP_EXPECT_TLS_EXCEPTIONS") == nullptr) {
        GTEST_SKIP() << "runs inside LoadsTheFileOfTheWorkingDirectoryBeforeMain";
    }
    ASSERT_EQ(proxy::tlsExceptions().size(), 1u);
    sockaddr_in6 excepted = endpoint("2001:db8::7", 443);
    excepted.sin6_scope_id = 3;
    excepted.sin6_flowinfo = 9;
    EXPECT_TRUE(proxy::isTlsException(excepted));
    EXPECT_TRUE(proxy::isTlsException(endpoint("2001:db8::7", 1)));
    EXPECT_FALSE(proxy::isTlsException(endpoint("::ffff:10.0.0.1", 443)));
    EXPECT_FALSE(proxy::isTlsException(endpoint("2001:db8::8", 443)));
    fprintf(stderr, "tls exception list checked\n");
}

TEST(TlsExceptionListTest, LoadsTheFileOfTheWorkingDirectoryBeforeMain) {
    char pattern[] = "/tmp/ap-tls-exceptions-XXXXXX";
    const std::filesystem::path directory = mkdtemp(pattern);
    std::ofstream(directory / "tls_exceptions.txt") << "2001:db8::7\n\n10.0.0.1\n";
    char self[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof(self) - 1), 0);
    testing_support::ChildProcess child(
        {self, "--gtest_filter=TlsExceptionListTest.AsLoadedByAChildProcess"}, directory.string(),
        {"AP_EXPECT_TLS_EXCEPTIONS=1"});
    EXPECT_EQ(child.wait(), 0);
    EXPECT_NE(child.standardError().find("tls exception list checked"), std::string::npos)
        << child.standardError();
    std::filesystem::remove_all(directory);
}

TEST(TlsExceptionListTest, ParsesOneAddressPerLineAndSkipsTheRest) {
    std::istringstream input(
        "2001:db8::7\n\n10.0.0.1\n::ffff:10.0.0.1\n2001:db8::8 \n2001:db8::9\r\nhost\nfe80::1");
    const std::vector<in6_addr> entries = proxy::parseTlsExceptions(input);
    std::vector<std::string> texts;
    for (const in6_addr& entry : entries) {
        char text[INET6_ADDRSTRLEN];
        texts.push_back(inet_ntop(AF_INET6, &entry, text, sizeof(text)));
    }
    EXPECT_EQ(texts, (std::vector<std::string>{"2001:db8::7", "::ffff:10.0.0.1", "fe80::1"}));
    EXPECT_TRUE(proxy::loadTlsExceptions("/nonexistent/tls_exceptions.txt").empty());
}

}  // namespace
