#include "libs/tlslib/TlsLib.h"

#include <gtest/gtest.h>

namespace {

using namespace tarn::tls;

TEST(TlsLibTest, InitAndCleanupInAnyOrderAndAgain) {
    cleanupTLSLib();  // start-up failures clean up before init ever ran
    EXPECT_FALSE(isTLSLibInitialized());
    // A second round shows cleanup did not tear the library down for good.
    for (int round = 0; round < 2; ++round) {
        Result<TlsSocketFactory> init = initTLSLib();
        EXPECT_EQ(init.errorCode, RC_TLS_OK);
        ASSERT_NE(init.object, nullptr);
        EXPECT_TRUE(isTLSLibInitialized());
        EXPECT_EQ(init.object->createServerStream(-1, "0106", true).errorCode,
                  RC_TLS_NOT_IMPLEMENTED);
        cleanupTLSLib();
        cleanupTLSLib();
        EXPECT_FALSE(isTLSLibInitialized());
        // A factory kept past cleanup tells the caller why it refuses.
        EXPECT_EQ(init.object->createServerStream(-1, "0106", false).errorCode,
                  RC_TLS_NOT_INITIALIZED);
    }
}

}  // namespace
