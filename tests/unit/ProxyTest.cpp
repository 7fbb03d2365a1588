// The proxy as start-up uses it, inside a network namespace made by the test. Whole exchanges
// through the daemon are the end-to-end tests' part.
#include "proxy/Proxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "ChildProcess.h"
#include "NetworkNamespaceGuard.h"
#include "RecordingLogger.h"
#include "os/SocketHelpers.h"
#include "proxy/TlsExceptions.h"

namespace {

using proxy::Proxy;

std::string boundEndpoint(int descriptor) {
    sockaddr_in6 address{};
    socklen_t length = sizeof(address);
    getsockname(descriptor, reinterpret_cast<sockaddr*>(&address), &length);
    return "[" + os::addressToString(address) + "]:" + std::to_string(os::portOf(address));
}

bool isOpen(int descriptor) {
    return fcntl(descriptor, F_GETFD) != -1;
}

// ap0 holds only the global address 2001:db8::5, apl only a link-local address.
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

    testing_support::NetworkNamespaceGuard ns_;
    testing_support::RecordingLogger logger_;
};

TEST_F(ProxyTest, BindsTheInterfacesGlobalAddressOnTheRolesPort) {
    std::vector<int> sockets;
    {
        Proxy forward(Proxy::ROLE_FORWARD, 1, 1, "ap0");
        EXPECT_TRUE(forward.isInitialized());
        EXPECT_EQ(forward.localAddress(), "2001:db8::5");
        EXPECT_EQ(boundEndpoint(forward.listeningSocket()), "[2001:db8::5]:29178");
        // Port reuse lets a second proxy bind the same address and port.
        Proxy second(Proxy::ROLE_FORWARD, 1, 1, "ap0");
        EXPECT_TRUE(second.isInitialized());
        Proxy reverse(Proxy::ROLE_REVERSE, 1, 1, "ap0");
        EXPECT_EQ(boundEndpoint(reverse.listeningSocket()), "[2001:db8::5]:29179");
        sockets = {forward.listeningSocket(), second.listeningSocket(), reverse.listeningSocket()};
    }
    for (int descriptor : sockets) {
        EXPECT_FALSE(isOpen(descriptor)) << "never started, so stop closes it itself";
    }
    size_t failures = 0;
    for (const char* interface : {"apl", "nosuch0"}) {
        SCOPED_TRACE(interface);
        Proxy proxy(Proxy::ROLE_FORWARD, 1, 1, interface);
        EXPECT_FALSE(proxy.isInitialized());
        EXPECT_EQ(logger_.count("FATAL   : Could not find IP for interface"), ++failures);
    }
    EXPECT_EQ(logger_.count("Error closing file descriptor"), 0u);
}

TEST_F(ProxyTest, StopsOnceAndClosesTheListeningSocketExactlyOnce) {
    {
        Proxy proxy(Proxy::ROLE_REVERSE, 2, 2, "ap0");
        ASSERT_TRUE(proxy.isInitialized());
        const int listening = proxy.listeningSocket();
        proxy.start();
        proxy.stop();
        EXPECT_FALSE(isOpen(listening));
        proxy.stop();
    }
    EXPECT_EQ(logger_.count("Stopping proxy"), 1u);
    EXPECT_EQ(logger_.count("SocketListener shutting down"), 1u);
    EXPECT_EQ(logger_.count("Error closing file descriptor"), 0u);
}

// The process-wide list is read before main, so a copy of this binary started in a directory
// holding the file checks it.
TEST(TlsExceptionListTest, ReadsTheWorkingDirectorysFileAtLoadAndComparesAddressesOnly) {
    if (getenv("AP_TLS_EXCEPTIONS_CHILD") != nullptr) {
        ASSERT_EQ(proxy::tlsExceptions().size(), 1u);
        sockaddr_in6 address{};
        address.sin6_port = htons(443);  // neither port nor scope id is compared
        address.sin6_scope_id = 3;
        inet_pton(AF_INET6, "2001:db8::7", &address.sin6_addr);
        EXPECT_TRUE(proxy::isTlsException(address));
        fprintf(stderr, "checked in the child\n");
        return;
    }
    char pattern[] = "/tmp/ap-tls-exceptions-XXXXXX";
    const std::filesystem::path directory = mkdtemp(pattern);
    std::ofstream(directory / "tls_exceptions.txt") << "2001:db8::7\n\n10.0.0.1\n";
    testing_support::ChildProcess child(
        {std::filesystem::read_symlink("/proc/self/exe"), "--gtest_filter=TlsExceptionListTest.*"},
        directory, {"AP_TLS_EXCEPTIONS_CHILD=1"});
    EXPECT_EQ(child.wait(), 0);
    EXPECT_NE(child.standardError().find("checked in the child"), std::string::npos);
    std::filesystem::remove_all(directory);
}

}  // namespace
