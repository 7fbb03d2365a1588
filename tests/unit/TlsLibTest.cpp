#include "libs/tlslib/TlsLib.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>

#include "ConnectionTestSupport.h"
#include "libs/tlslib/InetAddressFactory.h"
#include "libs/tlslib/OpenSslContextStore.h"
#include "libs/tlslib/OpenSslSocketFactory.h"
#include "libs/tlslib/OpenSslStream.h"

// Left to test_tls.py: sessions with real peers, clients without certificates, deadlines.
namespace {

using namespace tarn::tls;
namespace fs = std::filesystem;

constexpr int WAIT_MS = 5000;  // bound of every wait for the other side

// Our credentials (with application "app1") and another CA's, whose ca.pem trusts ours too, so
// that only our side can refuse.
class Credentials : public ::testing::Environment {
public:
    void SetUp() override {
        std::signal(SIGPIPE, SIG_IGN);
        char pattern[] = "/tmp/tlslibtest.XXXXXX";
        root = ::mkdtemp(pattern);
        for (const fs::path& directory : {ours(), other()}) {
            const std::string command = "bash " AP_SOURCE_DIR "/scripts/make-tls-credentials.sh " +
                                        directory.string() + " app1 >/dev/null 2>&1";
            ASSERT_EQ(std::system(command.c_str()), 0);
        }
        std::ifstream ca(ours() / "ca.pem");
        std::ofstream(other() / "ca.pem", std::ios::app) << ca.rdbuf();
    }
    void TearDown() override { fs::remove_all(root); }
    static fs::path ours() { return root / "ours"; }
    static fs::path other() { return root / "other"; }
    static inline fs::path root;
};
const auto* const credentials = ::testing::AddGlobalTestEnvironment(new Credentials);

std::shared_ptr<TlsSocketFactory> factoryOf(const fs::path& directory) {
    std::string error;
    auto contexts = OpenSslContextStore::load(directory, error);
    EXPECT_NE(contexts, nullptr) << error;
    return std::make_shared<OpenSslSocketFactory>(contexts);
}

bool waitFor(int descriptor, short events) {
    return testing_support::waitFor(descriptor, events, WAIT_MS);
}

// One non-blocking loopback TLS link through our factories, both handshakes driven to their end.
struct Link {
    Link(TlsSocketFactory& clientFactory, TlsSocketFactory& serverFactory,
         const std::string& alias) {
        sockaddr_in6 address;
        const testing_support::Fd listener = testing_support::listenLoopback(address);
        socket = clientFactory
                     .createClientSocket(InetAddressFactory::makeIPAddress("::1").object,
                                         ntohs(address.sin6_port), alias, true, OPTION_NON_BLOCKING)
                     .object;
        client = socket ? socket->connect().object : nullptr;
        accepted = waitFor(listener.get(), POLLIN)
                       ? ::accept4(listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)
                       : -1;
        server = serverFactory.createServerStream(accepted, "0106", true).object;
        if (client == nullptr || server == nullptr) {
            ADD_FAILURE() << "no link";
            return;
        }
        auto wants = [](int32_t code) {
            return code == RC_TLS_WANT_READ || code == RC_TLS_WANT_WRITE;
        };
        int32_t codes[2] = {RC_TLS_WANT_READ, RC_TLS_WANT_READ};
        const int descriptors[2] = {clientSide(), accepted};
        for (bool waiting = true; waiting;) {
            pollfd waits[2];
            for (int k = 0; k < 2; ++k) {
                codes[k] = wants(codes[k]) ? (k ? server : client)->handshake() : codes[k];
                waits[k] = {wants(codes[k]) ? descriptors[k] : -1,
                            static_cast<short>(codes[k] == RC_TLS_WANT_READ ? POLLIN : POLLOUT), 0};
            }
            waiting = (wants(codes[0]) || wants(codes[1])) && ::poll(waits, 2, WAIT_MS) > 0;
        }
    }
    ~Link() {
        server.reset();
        ::close(accepted);
    }
    int clientSide() const { return socket->descriptor(); }

    std::shared_ptr<TlsClientSocket> socket;
    std::shared_ptr<TlsStream> client, server;
    int accepted = -1;
};

// Receives exactly length bytes; every code on the way must ask for a retry only.
std::string receiveAll(TlsStream& stream, int descriptor, size_t length) {
    std::string received;
    char buffer[256];
    while (received.size() < length) {
        const int32_t got = stream.receive(buffer, static_cast<int32_t>(length - received.size()));
        if (got > 0) {
            received.append(buffer, got);
            continue;
        }
        const int32_t code = stream.popError();
        EXPECT_TRUE(code == RC_TLS_WANT_READ || code == RC_TLS_WANT_WRITE) << code;
        if (!waitFor(descriptor, code == RC_TLS_WANT_READ ? POLLIN : POLLOUT)) {
            break;
        }
    }
    return received;
}

class TlsLibTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::unsetenv(TLS_DIRECTORY_VARIABLE);
        ASSERT_EQ(initTLSLib().errorCode, RC_TLS_OK);
    }
    void TearDown() override {
        // A stale entry would turn the next stream's "want read" on this thread into a failure.
        EXPECT_EQ(ERR_peek_error(), 0UL);
        ::unsetenv(TLS_DIRECTORY_VARIABLE);
        cleanupTLSLib();
    }
    std::shared_ptr<TlsSocketFactory> ours = factoryOf(Credentials::ours());
};

// Start-up failures clean up before init ever ran; a factory kept past cleanup must refuse.
TEST(TlsLibLifecycleTest, InitAndCleanupInAnyOrderAndAgain) {
    ::unsetenv(TLS_DIRECTORY_VARIABLE);
    cleanupTLSLib();
    EXPECT_FALSE(isTLSLibInitialized());
    for (int round = 0; round < 2; ++round) {
        Result<TlsSocketFactory> init = initTLSLib();
        ASSERT_NE(init.object, nullptr);
        EXPECT_TRUE(isTLSLibInitialized());
        cleanupTLSLib();
        cleanupTLSLib();
        EXPECT_FALSE(isTLSLibInitialized());
        EXPECT_EQ(init.object->createServerStream(0, "0106", false).errorCode,
                  RC_TLS_NOT_INITIALIZED);
    }
}

// Damaged credentials must stop the start, and the error must name the culprit.
TEST_F(TlsLibTest, InitNamesWhatIsMissing) {
    const fs::path copy = Credentials::root / "copy";
    const std::pair<std::string, std::function<void()>> cases[] = {
        {"", [] {}},
        {"node.pem", [&] { fs::remove(copy / "node.pem"); }},
        {"ca.pem", [&] { fs::resize_file(copy / "ca.pem", 0); }},
        {"node.key", [&] { fs::rename(copy / "app1.key", copy / "node.key"); }},
        {"copy", [&] { fs::remove_all(copy); }},
    };
    for (const auto& [named, damage] : cases) {
        fs::remove_all(copy);
        fs::copy(Credentials::ours(), copy);
        damage();
        ::setenv(TLS_DIRECTORY_VARIABLE, copy.c_str(), 1);
        Result<TlsSocketFactory> init = initTLSLib();
        EXPECT_EQ(init.errorCode, named.empty() ? RC_TLS_OK : RC_TLS_INIT_FAILED) << named;
        EXPECT_EQ(init.object != nullptr && init.object->available(), named.empty()) << named;
        EXPECT_NE(lastInitError().find(named), std::string::npos) << lastInitError();
        EXPECT_EQ(lastInitError().empty(), named.empty()) << named;
    }
}

// A certificate from another CA must be refused on either side, for good; an alias that is not a
// plain name must not reach files outside the application's own.
TEST_F(TlsLibTest, PeersAreCheckedAndClientsPresentOnlyTheirOwnIdentity) {
    auto other = factoryOf(Credentials::other());
    fs::copy_file(Credentials::ours() / "app1.pem", Credentials::ours() / "half.pem");
    EXPECT_EQ(ours->createClientSocket(InetAddressFactory::makeIPAddress("::1").object, 1, "half",
                                       true, 0)
                  .errorCode,
              RC_TLS_BAD_CREDENTIALS);
    fs::remove(Credentials::ours() / "half.pem");
    const struct {
        TlsSocketFactory &client, &server;
        std::string alias, presented;  // "": refused by the side whose factory is the other one
    } cases[] = {{*ours, *ours, "app1", "app1"},
                 {*ours, *ours, "app2", "node"},
                 {*ours, *ours, "./app1", "node"},
                 {*ours, *ours, "ca", "node"},
                 {*ours, *ours, "../ours/app1", "node"},
                 {*other, *ours, "app1", ""},
                 {*ours, *other, "app1", ""}};
    for (const auto& c : cases) {
        Link link(c.client, c.server, c.alias);
        EXPECT_EQ(link.server->peerIdentity(), c.presented) << c.alias;
        if (!c.presented.empty()) {
            EXPECT_TRUE(link.server->established()) << c.alias;
            continue;
        }
        TlsStream& refusing = &c.server == ours.get() ? *link.server : *link.client;
        EXPECT_FALSE(refusing.established());
        EXPECT_EQ(refusing.popError(), RC_TLS_IO_ERROR);
        EXPECT_EQ(refusing.popError(), RC_TLS_NO_ERROR_QUEUED);
        EXPECT_EQ(refusing.handshake(), RC_TLS_IO_ERROR);
    }
}

// Session tickets, key updates and a record held after a small read must never look like
// failures, and held bytes must show as pending (no input event will announce them).
TEST_F(TlsLibTest, ProtocolRecordsOnlyAskForRetriesAndHeldBytesArePending) {
    Link link(*ours, *ours, "app1");
    ASSERT_TRUE(link.client->established() && link.server->established());
    const std::string message(100, 'm');
    ASSERT_EQ(link.server->send(message.data(), 100), 100);
    EXPECT_EQ(receiveAll(*link.client, link.clientSide(), 10), message.substr(0, 10));
    EXPECT_EQ(link.client->pending(), 90);
    char rest[100];
    EXPECT_EQ(link.client->receive(rest, sizeof(rest)), 90);
    EXPECT_EQ(link.client->pending(), 0);
    for (const bool serverUpdates : {true, false}) {
        TlsStream& updating = serverUpdates ? *link.server : *link.client;
        TlsStream& answering = serverUpdates ? *link.client : *link.server;
        const int updatingSide = serverUpdates ? link.accepted : link.clientSide();
        const int answeringSide = serverUpdates ? link.clientSide() : link.accepted;
        SSL* ssl = dynamic_cast<OpenSslStream&>(updating).nativeHandle();
        ASSERT_EQ(SSL_key_update(ssl, SSL_KEY_UPDATE_REQUESTED), 1);
        ASSERT_EQ(updating.send("after", 5), 5);
        EXPECT_EQ(receiveAll(answering, answeringSide, 5), "after");
        ASSERT_EQ(answering.send("reply", 5), 5);
        EXPECT_EQ(receiveAll(updating, updatingSide, 5), "reply");
    }
    link.client->close();
    link.server->close();
}

// The end of a stream is reported only after the retries queued before it, whichever way it
// ends; a send after close is named as such.
TEST_F(TlsLibTest, ErrorQueueKeepsRetriesAheadOfTheEnd) {
    for (const auto& [closeNotify, ending] :
         {std::pair{true, RC_TLS_PEER_CLOSED}, std::pair{false, RC_TLS_IO_ERROR}}) {
        Link link(*ours, *ours, "app1");
        char buffer[16];
        EXPECT_LT(link.client->receive(buffer, sizeof(buffer)), 0);
        EXPECT_LT(link.client->receive(buffer, sizeof(buffer)), 0);
        closeNotify ? link.server->close()
                    : static_cast<void>(::shutdown(link.accepted, SHUT_RDWR));
        ASSERT_TRUE(waitFor(link.clientSide(), POLLIN));
        EXPECT_LT(link.client->receive(buffer, sizeof(buffer)), 0);
        for (const int32_t code :
             {RC_TLS_WANT_READ, RC_TLS_WANT_READ, ending, RC_TLS_NO_ERROR_QUEUED}) {
            EXPECT_EQ(link.client->popError(), code);
        }
        link.client->close();
        EXPECT_LT(link.client->send("late", 4), 0);
        EXPECT_EQ(link.client->popError(), RC_TLS_SEND_AFTER_SHUTDOWN);
    }
}

}  // namespace
