#include "libs/tlslib/TlsLib.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace tarn::tls;

TEST(TlsLibTest, InitAndCleanupInAnyOrderAndTheFactoryNeverTakesTheDescriptor) {
    cleanupTLSLib();  // start-up failures clean up before init ever ran
    EXPECT_FALSE(isTLSLibInitialized());
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    ASSERT_EQ(write(pair[1], "x", 1), 1);
    // A second round shows cleanup did not tear OpenSSL down for good.
    for (int round = 0; round < 2; ++round) {
        Result<TlsSocketFactory> init = initTLSLib();
        EXPECT_EQ(init.errorCode, RC_TLS_OK);
        ASSERT_NE(init.object, nullptr);
        EXPECT_TRUE(isTLSLibInitialized());
        EXPECT_EQ(init.object->createServerStream(pair[0], "0106", true).errorCode,
                  RC_TLS_NOT_IMPLEMENTED);
        cleanupTLSLib();
        cleanupTLSLib();
        EXPECT_FALSE(isTLSLibInitialized());
        // A factory kept past cleanup tells the caller why it refuses.
        EXPECT_EQ(init.object->createServerStream(pair[0], "0106", false).errorCode,
                  RC_TLS_NOT_INITIALIZED);
    }
    // The caller still owns the descriptor, open and with its pending byte unread.
    char byte = 0;
    EXPECT_EQ(recv(pair[0], &byte, 1, MSG_DONTWAIT), 1);
    close(pair[0]);
    close(pair[1]);
}

}  // namespace
