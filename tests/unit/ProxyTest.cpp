#include "proxy/Proxy.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include "RecordingLogger.h"

// Left to test_lifecycle.py: binding, port reuse, interfaces, stopping by signal.
namespace {

// A stop repeated (the destructor stops too) must close the listening socket once: a second close
// could hit a descriptor that another thread has opened meanwhile.
TEST(ProxyTest, StopsOnceClosingTheListeningSocketOnce) {
    testing_support::RecordingLogger logger;
    {
        proxy::Proxy reverse(proxy::Proxy::ROLE_REVERSE, 2, 2, "lo");
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
