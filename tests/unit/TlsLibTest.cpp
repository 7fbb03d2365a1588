#include "libs/tlslib/TlsLib.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "libs/tlslib/InetAddressFactory.h"

namespace {

using namespace tarn::tls;

TEST(TlsLibTest, InitYieldsFactoryAndCleanupIsSafeInAnyOrder) {
    // Start-up failures call cleanup before init ever ran.
    cleanupTLSLib();
    EXPECT_FALSE(isTLSLibInitialized());

    Result<TlsSocketFactory> first = initTLSLib();
    EXPECT_EQ(first.errorCode, RC_TLS_OK);
    EXPECT_EQ(first.empty, 0);
    ASSERT_NE(first.object, nullptr);
    EXPECT_TRUE(isTLSLibInitialized());

    cleanupTLSLib();
    cleanupTLSLib();
    EXPECT_FALSE(isTLSLibInitialized());

    // Cleanup must not have torn OpenSSL down irreversibly.
    Result<TlsSocketFactory> again = initTLSLib();
    EXPECT_EQ(again.errorCode, RC_TLS_OK);
    EXPECT_NE(again.object, nullptr);
    cleanupTLSLib();
}

TEST(TlsLibTest, FactoryRefusesSessionsWithoutTouchingTheDescriptor) {
    Result<TlsSocketFactory> init = initTLSLib();
    ASSERT_EQ(init.errorCode, RC_TLS_OK);
    std::shared_ptr<TlsSocketFactory> factory = init.object;

    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    ASSERT_EQ(write(pair[1], "x", 1), 1);

    Result<TlsStream> server = factory->createServerStream(pair[0], "0106", true);
    EXPECT_EQ(server.errorCode, RC_TLS_NOT_IMPLEMENTED);
    EXPECT_NE(server.empty, 0);
    EXPECT_EQ(server.object, nullptr);
    // The caller still owns the descriptor, open and with its pending byte unread.
    EXPECT_NE(fcntl(pair[0], F_GETFD), -1);
    char byte = 0;
    EXPECT_EQ(recv(pair[0], &byte, 1, MSG_DONTWAIT), 1);
    EXPECT_EQ(byte, 'x');

    Result<IPAddress> address = InetAddressFactory::makeIPAddress("::1");
    ASSERT_EQ(address.errorCode, RC_TLS_OK);
    Result<TlsClientSocket> client =
        factory->createClientSocket(address.object, 443, "app.example", false, 0);
    EXPECT_EQ(client.errorCode, RC_TLS_NOT_IMPLEMENTED);
    EXPECT_EQ(client.object, nullptr);

    // A factory kept past cleanup tells the caller why it refuses.
    cleanupTLSLib();
    EXPECT_EQ(factory->createServerStream(pair[0], "0106", false).errorCode,
              RC_TLS_NOT_INITIALIZED);
    EXPECT_EQ(factory->createClientSocket(address.object, 443, "", true, 0).errorCode,
              RC_TLS_NOT_INITIALIZED);

    close(pair[0]);
    close(pair[1]);
}

TEST(TlsLibTest, MakeIPAddressAcceptsOnlyIPv6Text) {
    Result<IPAddress> full = InetAddressFactory::makeIPAddress("2001:db8::7");
    ASSERT_EQ(full.errorCode, RC_TLS_OK);
    EXPECT_EQ(full.empty, 0);
    ASSERT_NE(full.object, nullptr);
    EXPECT_EQ(full.object->text(), "2001:db8::7");
    const unsigned char expected[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7};
    EXPECT_EQ(std::memcmp(&full.object->bytes(), expected, 16), 0);

    EXPECT_EQ(InetAddressFactory::makeIPAddress("::ffff:10.0.0.1").errorCode, RC_TLS_OK);
    for (const char* bad : {"", "10.0.0.1", "[::1]", "::1 ", "2001:db8::g", "localhost"}) {
        Result<IPAddress> result = InetAddressFactory::makeIPAddress(bad);
        EXPECT_EQ(result.errorCode, RC_TLS_INVALID_ARGUMENT) << bad;
        EXPECT_NE(result.empty, 0) << bad;
        EXPECT_EQ(result.object, nullptr) << bad;
    }
}

}  // namespace
