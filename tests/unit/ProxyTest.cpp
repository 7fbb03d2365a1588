#include "proxy/Proxy.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include "NetworkNamespaceGuard.h"
#include "RecordingLogger.h"

// Binding, port reuse, interfaces without a global address, the exception list and stopping by
// signal are the end-to-end tests' part (test_lifecycle.py, test_access.py).
namespace {

// A stop repeated (the destructor stops too) must close the listening socket once: a second close
// could hit a descriptor that another thread has opened meanwhile.
TEST(ProxyTest, StopsOnceClosingTheListeningSocketOnce) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root for network namespaces";
    }
    testing_support::NetworkNamespaceGuard ns;
    ASSERT_TRUE(ns.created());
    ASSERT_TRUE(ns.addInterface("ap0", {"2001:db8::5/64"}));
    ASSERT_TRUE(ns.enter());
    testing_support::RecordingLogger logger;
    {
        proxy::Proxy reverse(proxy::Proxy::ROLE_REVERSE, 2, 2, "ap0");
        ASSERT_TRUE(reverse.isInitialized());
        const int listening = reverse.listeningSocket();
        reverse.start();
        reverse.stop();
        EXPECT_EQ(fcntl(listening, F_GETFD), -1);
        reverse.stop();
    }
    EXPECT_EQ(logger.count("Stopping proxy"), 1u);
    EXPECT_EQ(logger.count("Error closing file descriptor"), 0u);
}

}  // namespace
