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

// ap0 holds only the global address 2001:db8::5, apl only a link-local address.
TEST(ProxyTest, BindsTheRolesPortAndStopsOnceClosingTheListeningSocketOnce) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root for network namespaces";
    }
    testing_support::NetworkNamespaceGuard ns;
    ASSERT_TRUE(ns.created());
    ASSERT_TRUE(ns.addInterface("ap0", {"2001:db8::5/64"}));
    ASSERT_TRUE(ns.addInterface("apl", {"fe80::1/64"}));
    ASSERT_TRUE(ns.enter());
    testing_support::RecordingLogger logger;
    {
        Proxy forward(Proxy::ROLE_FORWARD, 1, 1, "ap0");
        EXPECT_TRUE(forward.isInitialized());
        EXPECT_EQ(boundEndpoint(forward.listeningSocket()), "[2001:db8::5]:29178");
        // Port reuse lets a second proxy bind the same address and port.
        Proxy second(Proxy::ROLE_FORWARD, 1, 1, "ap0");
        EXPECT_TRUE(second.isInitialized());
        Proxy reverse(Proxy::ROLE_REVERSE, 2, 2, "ap0");
        ASSERT_TRUE(reverse.isInitialized());
        EXPECT_EQ(boundEndpoint(reverse.listeningSocket()), "[2001:db8::5]:29179");
        const int listening = reverse.listeningSocket();
        reverse.start();
        reverse.stop();
        EXPECT_EQ(fcntl(listening, F_GETFD), -1);
        reverse.stop();
        EXPECT_EQ(logger.count("Stopping proxy"), 1u);
    }
    Proxy linkLocal(Proxy::ROLE_FORWARD, 1, 1, "apl");
    EXPECT_FALSE(linkLocal.isInitialized());
    EXPECT_TRUE(logger.contains("FATAL   : Could not find IP for interface"));
    EXPECT_EQ(logger.count("Error closing file descriptor"), 0u);
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
