#include "libs/tlslib/TlsLib.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "libs/tlslib/InetAddressFactory.h"
#include "libs/tlslib/OpenSslContextStore.h"
#include "libs/tlslib/OpenSslSocketFactory.h"
#include "libs/tlslib/OpenSslStream.h"

namespace {

using namespace tarn::tls;
namespace fs = std::filesystem;
using std::chrono::milliseconds;

constexpr int WAIT_MS = 5000;  // bound of every wait for the other side

// Made once per test binary: our credentials (with application "app1") and those of another
// CA, whose ca.pem trusts ours too, so that only our side can refuse.
class Credentials : public ::testing::Environment {
public:
    void SetUp() override {
        // Writing to a reset socket must fail, not kill the binary (the daemon ignores it too).
        std::signal(SIGPIPE, SIG_IGN);
        char pattern[] = "/tmp/tlslibtest.XXXXXX";
        root = ::mkdtemp(pattern);
        ASSERT_TRUE(make(ours()) && make(other()));
        std::ifstream ca(ours() / "ca.pem");
        std::ofstream(other() / "ca.pem", std::ios::app) << ca.rdbuf();
    }
    void TearDown() override { fs::remove_all(root); }

    static fs::path ours() { return root / "ours"; }
    static fs::path other() { return root / "other"; }
    static inline fs::path root;

private:
    static bool make(const fs::path& directory) {
        const std::string command = "bash " AP_SOURCE_DIR "/scripts/make-tls-credentials.sh " +
                                    directory.string() + " app1 >/dev/null 2>&1";
        return std::system(command.c_str()) == 0;
    }
};
const auto* const credentials = ::testing::AddGlobalTestEnvironment(new Credentials);

std::shared_ptr<TlsSocketFactory> factoryOf(const fs::path& directory,
                                            milliseconds deadline = HANDSHAKE_DEADLINE) {
    std::string error;
    auto contexts = OpenSslContextStore::load(directory, error);
    EXPECT_NE(contexts, nullptr) << error;
    return std::make_shared<OpenSslSocketFactory>(contexts, deadline);
}

SSL* native(const std::shared_ptr<TlsStream>& stream) {
    return dynamic_cast<OpenSslStream&>(*stream).nativeHandle();
}

bool isBlocking(int descriptor) {
    return (::fcntl(descriptor, F_GETFL) & O_NONBLOCK) == 0;
}

// Bounds the blocking reads of a test whose other side may have failed.
void boundReads(int descriptor) {
    timeval timeout{WAIT_MS / 1000, 0};
    ::setsockopt(descriptor, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
}

bool waitFor(int descriptor, short events) {
    pollfd wait{descriptor, events, 0};
    return ::poll(&wait, 1, WAIT_MS) == 1;
}

class Listener {
public:
    Listener() {
        sockaddr_in6 address{AF_INET6, 0, 0, in6addr_loopback, 0};
        socklen_t length = sizeof(address);
        descriptor_ = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ::bind(descriptor_, reinterpret_cast<sockaddr*>(&address), length);
        ::listen(descriptor_, 4);
        ::getsockname(descriptor_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin6_port);
    }
    ~Listener() { ::close(descriptor_); }
    uint16_t port() const { return port_; }
    int accept(int flags) const {
        return waitFor(descriptor_, POLLIN) ? ::accept4(descriptor_, nullptr, nullptr, flags) : -1;
    }

private:
    int descriptor_;
    uint16_t port_;
};

std::shared_ptr<IPAddress> loopback() {
    return InetAddressFactory::makeIPAddress("::1").object;
}

// One loopback TLS link; the test owns the accepted descriptor, the client socket its own.
struct Link {
    ~Link() {
        server.reset();
        ::close(accepted);
    }
    std::shared_ptr<TlsClientSocket> socket;
    std::shared_ptr<TlsStream> client;
    std::shared_ptr<TlsStream> server;
    int accepted = -1;
};

// A handshake step of one side: RC_TLS_OK, a want code, or a failure.
struct Side {
    int descriptor;
    std::function<int32_t()> step;
    int32_t code = RC_TLS_WANT_READ;
};

// Drives every side's handshake without blocking, polling for what each one wants.
void drive(std::vector<Side>& sides) {
    auto wants = [](int32_t code) { return code == RC_TLS_WANT_READ || code == RC_TLS_WANT_WRITE; };
    for (bool progress = true; progress;) {
        std::vector<pollfd> waits;
        for (Side& side : sides) {
            side.code = wants(side.code) ? side.step() : side.code;
            const short events = side.code == RC_TLS_WANT_READ ? POLLIN : POLLOUT;
            waits.push_back({wants(side.code) ? side.descriptor : -1, events, 0});
        }
        const bool waiting = std::any_of(sides.begin(), sides.end(),
                                         [&](const Side& side) { return wants(side.code); });
        progress = waiting && ::poll(waits.data(), waits.size(), WAIT_MS) > 0;
    }
}

// A non-blocking link through our factories, handshakes driven on both sides.
void openLink(Link& link, TlsSocketFactory& clientFactory, TlsSocketFactory& serverFactory,
              const std::string& alias, bool mode) {
    Listener listener;
    link.socket =
        clientFactory
            .createClientSocket(loopback(), listener.port(), alias, mode, OPTION_NON_BLOCKING)
            .object;
    ASSERT_NE(link.socket, nullptr);
    link.client = link.socket->connect().object;
    ASSERT_NE(link.client, nullptr);
    ASSERT_NE(link.socket->descriptor(), -1);
    link.accepted = listener.accept(SOCK_NONBLOCK | SOCK_CLOEXEC);
    link.server = serverFactory.createServerStream(link.accepted, "0106", mode).object;
    ASSERT_NE(link.server, nullptr);
    std::vector<Side> sides{{link.socket->descriptor(), [&] { return link.client->handshake(); }},
                            {link.accepted, [&] { return link.server->handshake(); }}};
    drive(sides);
}

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
        ours = factoryOf(Credentials::ours());
    }
    void TearDown() override {
        // A stale entry would turn the next stream's "want read" on this thread into a failure.
        EXPECT_EQ(ERR_peek_error(), 0UL);
        ::unsetenv(TLS_DIRECTORY_VARIABLE);
        cleanupTLSLib();
    }
    std::shared_ptr<TlsSocketFactory> ours;
};

TEST(TlsLibLifecycleTest, InitAndCleanupInAnyOrderAndAgain) {
    ::unsetenv(TLS_DIRECTORY_VARIABLE);
    cleanupTLSLib();  // start-up failures clean up before init ever ran
    EXPECT_FALSE(isTLSLibInitialized());
    // A second round shows cleanup did not tear the library down for good.
    for (int round = 0; round < 2; ++round) {
        Result<TlsSocketFactory> init = initTLSLib();
        EXPECT_EQ(init.errorCode, RC_TLS_OK);
        ASSERT_NE(init.object, nullptr);
        EXPECT_TRUE(isTLSLibInitialized());
        cleanupTLSLib();
        cleanupTLSLib();
        EXPECT_FALSE(isTLSLibInitialized());
        // A factory kept past cleanup tells the caller why it refuses.
        EXPECT_EQ(init.object->createServerStream(0, "0106", false).errorCode,
                  RC_TLS_NOT_INITIALIZED);
    }
}

TEST_F(TlsLibTest, InitNamesWhatIsMissingAndRunsWithoutCredentials) {
    Result<TlsSocketFactory> plain = initTLSLib();
    ASSERT_EQ(plain.errorCode, RC_TLS_OK);
    EXPECT_FALSE(plain.object->available());
    EXPECT_EQ(plain.object->createServerStream(0, "0106", true).errorCode, RC_TLS_UNAVAILABLE);
    EXPECT_EQ(plain.object->createClientSocket(loopback(), 1, "app1", true, 0).errorCode,
              RC_TLS_UNAVAILABLE);

    const struct {
        std::function<void(const fs::path&)> damage;
        std::string named;
    } cases[] = {
        {[](const fs::path&) {}, ""},
        {[](const fs::path& dir) { fs::remove(dir / "node.key"); }, "node.key"},
        {[](const fs::path& dir) { fs::remove(dir / "node.pem"); }, "node.pem"},
        {[](const fs::path& dir) { fs::remove(dir / "ca.pem"); }, "ca.pem"},
        {[](const fs::path& dir) { fs::resize_file(dir / "ca.pem", 0); }, "ca.pem"},
        {[](const fs::path& dir) {
             fs::copy_file(dir / "app1.key", dir / "node.key",
                           fs::copy_options::overwrite_existing);
         },
         "node.key"},
        {[](const fs::path& dir) { fs::remove_all(dir); }, "copy"},
    };
    for (const auto& each : cases) {
        const fs::path copy = Credentials::root / "copy";
        fs::remove_all(copy);
        fs::copy(Credentials::ours(), copy);
        each.damage(copy);
        ::setenv(TLS_DIRECTORY_VARIABLE, copy.c_str(), 1);
        Result<TlsSocketFactory> init = initTLSLib();
        if (each.named.empty()) {
            EXPECT_EQ(init.errorCode, RC_TLS_OK);
            EXPECT_TRUE(init.object != nullptr && init.object->available());
            EXPECT_EQ(lastInitError(), "");
        } else {
            EXPECT_EQ(init.errorCode, RC_TLS_INIT_FAILED) << each.named;
            EXPECT_EQ(init.object, nullptr);
            EXPECT_NE(lastInitError().find(each.named), std::string::npos) << lastInitError();
        }
    }
}

TEST_F(TlsLibTest, BlockingSessionsCarryDataUnderTheSuitesOfTheirMode) {
    const std::string secret = "secret-payload";
    for (bool mode : {true, false}) {
        Listener listener;
        std::shared_ptr<TlsStream> server;
        bool secretOnTheWire = false;
        std::thread serverSide([&] {
            const int accepted = listener.accept(SOCK_CLOEXEC);
            boundReads(accepted);
            server = ours->createServerStream(accepted, "0106", mode).object;
            char wire[512];
            if (server && waitFor(accepted, POLLIN)) {
                const ssize_t peeked = ::recv(accepted, wire, sizeof(wire), MSG_PEEK);
                secretOnTheWire = std::string(wire, std::max<ssize_t>(peeked, 0)).find(secret) !=
                                  std::string::npos;
                EXPECT_TRUE(isBlocking(accepted));
                EXPECT_EQ(receiveAll(*server, accepted, secret.size()), secret);
                EXPECT_EQ(server->send("echo", 4), 4);
                server->close();
            }
            ::close(accepted);
        });
        auto socket = ours->createClientSocket(loopback(), listener.port(), "app1", mode, 0).object;
        ASSERT_NE(socket, nullptr);
        Result<TlsStream> connected = socket->connect();
        ASSERT_EQ(connected.errorCode, RC_TLS_OK);
        std::shared_ptr<TlsStream> client = connected.object;
        EXPECT_TRUE(isBlocking(socket->descriptor()));
        boundReads(socket->descriptor());
        EXPECT_EQ(client->send(secret.data(), secret.size()), static_cast<int32_t>(secret.size()));
        EXPECT_EQ(receiveAll(*client, socket->descriptor(), 4), "echo");
        serverSide.join();

        ASSERT_NE(server, nullptr);
        EXPECT_EQ(secretOnTheWire, !mode);
        EXPECT_EQ(server->peerIdentity(), "app1");
        EXPECT_EQ(client->peerIdentity(), "node");
        EXPECT_EQ(server->cipherName(), client->cipherName());
        EXPECT_EQ(client->peerPort(), listener.port());
        EXPECT_NE(server->sessionId(), client->sessionId());
        if (mode) {
            EXPECT_EQ(client->protocolVersion(), "TLSv1.3");
            EXPECT_EQ(SSL_CIPHER_is_aead(SSL_get_current_cipher(native(client))), 1);
        } else {
            EXPECT_EQ(client->protocolVersion(), "TLSv1.2");
            EXPECT_EQ(client->cipherName(), "ECDHE-ECDSA-NULL-SHA");
        }
        client->close();
    }
}

TEST_F(TlsLibTest, PeersOutsideTheTrustAnchorAreRefused) {
    auto other = factoryOf(Credentials::other());
    // A client with no certificate at all.
    {
        Listener listener;
        const int client = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in6 address{AF_INET6, htons(listener.port()), 0, in6addr_loopback, 0};
        ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        ::fcntl(client, F_SETFL, O_NONBLOCK);
        SSL_CTX* context = SSL_CTX_new(TLS_client_method());
        SSL* session = SSL_new(context);
        SSL_set_fd(session, client);
        SSL_set_connect_state(session);
        Link link;
        link.accepted = listener.accept(SOCK_NONBLOCK | SOCK_CLOEXEC);
        link.server = ours->createServerStream(link.accepted, "0106", true).object;
        auto clientStep = [&] {
            const int result = SSL_do_handshake(session);
            const int error = SSL_get_error(session, result);
            return result == 1                     ? RC_TLS_OK
                   : error == SSL_ERROR_WANT_READ  ? RC_TLS_WANT_READ
                   : error == SSL_ERROR_WANT_WRITE ? RC_TLS_WANT_WRITE
                                                   : RC_TLS_IO_ERROR;
        };
        std::vector<Side> sides{{client, clientStep},
                                {link.accepted, [&] { return link.server->handshake(); }}};
        drive(sides);
        EXPECT_EQ(sides[1].code, RC_TLS_IO_ERROR);
        EXPECT_EQ(link.server->popError(), RC_TLS_IO_ERROR);
        EXPECT_EQ(link.server->popError(), RC_TLS_NO_ERROR_QUEUED);
        SSL_free(session);
        SSL_CTX_free(context);
        ::close(client);
        ERR_clear_error();
    }
    // A certificate from another CA, on either side.
    const struct {
        TlsSocketFactory& client;
        TlsSocketFactory& server;
        bool serverRefuses;
    } cases[] = {{*other, *ours, true}, {*ours, *other, false}};
    for (const auto& each : cases) {
        Link link;
        ASSERT_NO_FATAL_FAILURE(openLink(link, each.client, each.server, "app1", true));
        TlsStream& refusing = each.serverRefuses ? *link.server : *link.client;
        EXPECT_FALSE(refusing.established());
        EXPECT_EQ(refusing.popError(), RC_TLS_IO_ERROR);
        EXPECT_EQ(refusing.handshake(), RC_TLS_IO_ERROR);
        EXPECT_EQ(refusing.peerIdentity(), "");
    }
}

TEST_F(TlsLibTest, ClientPresentsTheApplicationIdentityOnlyForAPlainAliasWithFiles) {
    fs::copy_file(Credentials::ours() / "app1.pem", Credentials::ours() / "half.pem");
    const struct {
        std::string alias;
        std::string presented;  // empty: no client socket
    } cases[] = {
        {"app1", "app1"}, {"app2", "node"},         {"./app1", "node"},
        {"ca", "node"},   {"../ours/app1", "node"}, {"half", ""},
    };
    for (const auto& each : cases) {
        Result<TlsClientSocket> socket =
            ours->createClientSocket(loopback(), 1, each.alias, true, OPTION_NON_BLOCKING);
        if (each.presented.empty()) {
            EXPECT_EQ(socket.errorCode, RC_TLS_BAD_CREDENTIALS) << each.alias;
            continue;
        }
        Link link;
        ASSERT_NO_FATAL_FAILURE(openLink(link, *ours, *ours, each.alias, true));
        EXPECT_TRUE(link.server->established()) << each.alias;
        EXPECT_EQ(link.server->peerIdentity(), each.presented) << each.alias;
    }
    fs::remove(Credentials::ours() / "half.pem");
}

TEST_F(TlsLibTest, BlockingHandshakesEndAtTheDeadline) {
    auto quick = factoryOf(Credentials::ours(), milliseconds(100));
    // A client that never speaks.
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    EXPECT_EQ(quick->createServerStream(pair[0], "0106", true).errorCode, RC_TLS_HANDSHAKE_TIMEOUT);
    EXPECT_TRUE(isBlocking(pair[0]));
    EXPECT_EQ(::write(pair[0], "x", 1), 1);  // still open: its owner closes it
    ::close(pair[0]);
    ::close(pair[1]);
    // A server whose kernel accepts the connection but which never answers.
    Listener listener;
    auto socket = quick->createClientSocket(loopback(), listener.port(), "", false, 0).object;
    EXPECT_EQ(socket->connect().errorCode, RC_TLS_HANDSHAKE_TIMEOUT);
    EXPECT_EQ(socket->descriptor(), -1);
}

TEST_F(TlsLibTest, ProtocolRecordsOnlyAskForRetriesAndHeldBytesArePending) {
    Link link;
    ASSERT_NO_FATAL_FAILURE(openLink(link, *ours, *ours, "app1", true));
    ASSERT_TRUE(link.client->established() && link.server->established());
    const int clientSide = link.socket->descriptor();

    // The session tickets arrive before the data; the first record is held after a small read.
    const std::string message(100, 'm');
    ASSERT_EQ(link.server->send(message.data(), 100), 100);
    EXPECT_EQ(receiveAll(*link.client, clientSide, 10), message.substr(0, 10));
    EXPECT_EQ(link.client->pending(), 90);
    char rest[100];
    EXPECT_EQ(link.client->receive(rest, sizeof(rest)), 90);
    EXPECT_EQ(link.client->pending(), 0);

    // A key update asked of either side is answered inside its next receive.
    struct Direction {
        std::shared_ptr<TlsStream> updating, answering;
        int updatingSide, answeringSide;
    };
    for (const Direction& way : {Direction{link.server, link.client, link.accepted, clientSide},
                                 Direction{link.client, link.server, clientSide, link.accepted}}) {
        ASSERT_EQ(SSL_key_update(native(way.updating), SSL_KEY_UPDATE_REQUESTED), 1);
        ASSERT_EQ(way.updating->send("after", 5), 5);
        EXPECT_EQ(receiveAll(*way.answering, way.answeringSide, 5), "after");
        ASSERT_EQ(way.answering->send("reply", 5), 5);
        EXPECT_EQ(receiveAll(*way.updating, way.updatingSide, 5), "reply");
    }
    link.client->close();
    link.server->close();
}

TEST_F(TlsLibTest, ErrorQueueKeepsRetriesAheadOfTheEnd) {
    const struct {
        bool closeNotify;
        int32_t ending;
    } cases[] = {{true, RC_TLS_PEER_CLOSED}, {false, RC_TLS_IO_ERROR}};
    for (const auto& each : cases) {
        Link link;
        ASSERT_NO_FATAL_FAILURE(openLink(link, *ours, *ours, "app1", true));
        char buffer[16];
        EXPECT_LT(link.client->receive(buffer, sizeof(buffer)), 0);
        EXPECT_LT(link.client->receive(buffer, sizeof(buffer)), 0);
        if (each.closeNotify) {
            link.server->close();
        } else {
            ::shutdown(link.accepted, SHUT_RDWR);
        }
        ASSERT_TRUE(waitFor(link.socket->descriptor(), POLLIN));
        EXPECT_LT(link.client->receive(buffer, sizeof(buffer)), 0);
        EXPECT_EQ(link.client->popError(), RC_TLS_WANT_READ);
        EXPECT_EQ(link.client->popError(), RC_TLS_WANT_READ);
        EXPECT_EQ(link.client->popError(), each.ending);
        EXPECT_EQ(link.client->popError(), RC_TLS_NO_ERROR_QUEUED);
        link.client->close();
        EXPECT_LT(link.client->send("late", 4), 0);
        EXPECT_EQ(link.client->popError(), RC_TLS_SEND_AFTER_SHUTDOWN);
    }
}

}  // namespace
