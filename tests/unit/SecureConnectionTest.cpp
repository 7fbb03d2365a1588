#include "connection/SecureIncomingConnection.h"

#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ConnectionTestSupport.h"
#include "RecordingLogger.h"
#include "connection/SecureConnection.h"
#include "io/ConnectionHandler.h"
#include "libs/tlslib/ErrorCodes.h"
#include "libs/tlslib/InetAddressFactory.h"
#include "libs/tlslib/OpenSslContextStore.h"
#include "libs/tlslib/OpenSslSocketFactory.h"
#include "libs/tlslib/TlsLib.h"

namespace {

namespace fs = std::filesystem;
using connection::SecureConnection;
using testing_support::Fd;
using testing_support::pattern;

// The node's credentials and those of application "app1", made once per binary.
class Credentials : public ::testing::Environment {
public:
    void SetUp() override {
        std::signal(SIGPIPE, SIG_IGN);
        char name[] = "/tmp/secureconnectiontest.XXXXXX";
        directory = ::mkdtemp(name);
        const std::string command = "bash " AP_SOURCE_DIR "/scripts/make-tls-credentials.sh " +
                                    directory.string() + " app1 >/dev/null 2>&1";
        ASSERT_EQ(std::system(command.c_str()), 0);
        ASSERT_EQ(tarn::tls::initTLSLib().errorCode, tarn::tls::RC_TLS_OK);
    }
    void TearDown() override {
        tarn::tls::cleanupTLSLib();
        fs::remove_all(directory);
    }
    static inline fs::path directory;
};
const auto* const credentials = ::testing::AddGlobalTestEnvironment(new Credentials);

// A TLS 1.3 client of our CA presenting app1, blocking on its descriptor (bounded by the
// descriptor's timeouts), counting the session tickets it receives.
class Client {
public:
    explicit Client(int descriptor) {
        const std::string dir = Credentials::directory.string();
        SSL_CTX_set_verify(context_, SSL_VERIFY_PEER, nullptr);
        SSL_CTX_set_session_cache_mode(context_, SSL_SESS_CACHE_CLIENT);
        SSL_CTX_sess_set_new_cb(context_, [](SSL* ssl, SSL_SESSION*) {
            ++static_cast<Client*>(SSL_get_app_data(ssl))->tickets;
            return 0;
        });
        ready_ =
            SSL_CTX_load_verify_locations(context_, (dir + "/ca.pem").c_str(), nullptr) &&
            SSL_CTX_use_certificate_chain_file(context_, (dir + "/app1.pem").c_str()) &&
            SSL_CTX_use_PrivateKey_file(context_, (dir + "/app1.key").c_str(), SSL_FILETYPE_PEM) &&
            (ssl_ = SSL_new(context_)) != nullptr && SSL_set_fd(ssl_, descriptor) &&
            SSL_set_app_data(ssl_, this) && SSL_connect(ssl_) == 1;
    }
    ~Client() {
        SSL_free(ssl_);
        SSL_CTX_free(context_);
    }
    bool write(const std::string& data) {
        size_t written = 0;
        return ready_ && SSL_write_ex(ssl_, data.data(), data.size(), &written) == 1;
    }
    std::string read(size_t length) {
        std::string out(length, '\0');
        size_t got = 0;
        for (size_t n = 0; ready_ && got < length; got += n) {
            if (SSL_read_ex(ssl_, out.data() + got, length - got, &n) != 1) {
                break;
            }
        }
        return out.substr(0, got);
    }
    bool keyUpdate() { return ready_ && SSL_key_update(ssl_, SSL_KEY_UPDATE_REQUESTED) == 1; }
    int tickets = 0;

private:
    SSL_CTX* context_ = SSL_CTX_new(TLS_client_method());
    SSL* ssl_ = nullptr;
    bool ready_ = false;
};

std::string post(const std::string& path, const std::string& body, const std::string& extra = "") {
    return "POST " + path + " HTTP/1.1\r\nHost: service\r\n" + extra +
           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// A handler with a real multiplexer, running on its own thread for the life of the object.
struct RunningHandler {
    ~RunningHandler() {
        handler.shutdown();
        thread.join();
    }
    std::unique_ptr<io::ConnectionMultiplexer> multiplexer = io::ConnectionMultiplexer::create();
    io::ConnectionHandler handler{multiplexer.get()};
    std::thread thread{[this] { handler.run(); }};
};

TEST(SecureConnectionTest, HandlerDrivenSessionCarriesEveryByteAcrossKeyUpdatesAndTickets) {
    testing_support::RecordingLogger log;
    std::string error;
    auto factory = std::make_shared<tarn::tls::OpenSslSocketFactory>(
        tarn::tls::OpenSslContextStore::load(Credentials::directory, error));
    ASSERT_TRUE(factory->available()) << error;
    RunningHandler running;

    Fd accepted, client, connected, server;
    ASSERT_TRUE(testing_support::socketPair(accepted, client) &&
                testing_support::socketPair(connected, server));
    std::unique_ptr<connection::IncomingConnection> in =
        std::make_unique<connection::SecureIncomingConnection>(factory, accepted.release(), "app",
                                                               true);
    ASSERT_EQ(in->status(), connection::Connection::StatusReady);
    in->setTag("tls-in");
    std::unique_ptr<connection::OutgoingConnection> out =
        std::make_unique<testing_support::PeerOutgoing>(connected.release());
    in->setPeer(out.get());
    out->setPeer(in.get());
    running.handler.adopt(in, out);

    // The client changes keys in the middle of its first request's body and again before it
    // sends more; each time it asks the proxy to change its own keys as well. The session
    // tickets come with the proxy's first records. The later requests go pipelined in one
    // record, more than one receive of request heads takes: the rest waits decrypted inside
    // the session, announced by no input event.
    const std::string body = pattern(0, 1 << 20), response = pattern(0, 1 << 20, 1);
    std::string second;
    for (int index = 0; index < 40; ++index) {
        second += post("/svc/second/" + std::to_string(index), std::string(300, 'p'));
    }
    // Every call of the client is bounded by its descriptor's timeouts.
    std::string outcome;
    std::thread clientThread([&] {
        Client tls(client.get());
        const std::string request = post("/svc/first", body, "X-SWID: forged\r\n");
        const size_t half = request.size() / 2;
        const bool sent = tls.write(request.substr(0, half)) && tls.keyUpdate() &&
                          tls.write(request.substr(half));
        const bool first = sent && tls.read(response.size()) == response && tls.tickets > 0;
        const bool again = first && tls.keyUpdate() && tls.write(second) && tls.read(2) == "ok";
        outcome = !sent    ? "first request not sent"
                  : !first ? "first response or tickets"
                  : !again ? "later exchange"
                           : "";
    });

    std::string received;
    const std::string forwarded = post("/svc/first", body, "");
    const size_t headEnd = forwarded.find("\r\n\r\n") + 2;
    const std::string expected =
        forwarded.substr(0, headEnd) + "X-SWID: app1\r\n" + forwarded.substr(headEnd);
    EXPECT_TRUE(testing_support::readExactly(server.get(), received, expected.size()) &&
                received == expected);
    EXPECT_TRUE(testing_support::writeAll(server.get(), response));
    EXPECT_TRUE(testing_support::readExactly(server.get(), received, second.size()) &&
                received == second);
    EXPECT_TRUE(testing_support::writeAll(server.get(), "ok"));
    clientThread.join();
    EXPECT_EQ(outcome, "");

    // Still up: nothing was reported and the service has not seen an end.
    EXPECT_FALSE(log.contains("SecureConnection error"));
    EXPECT_FALSE(log.contains("closing"));
    char byte;
    EXPECT_EQ(::recv(server.get(), &byte, 1, MSG_DONTWAIT), -1);
}

// Scripted results and error codes; the rest of a stream answers with nothing.
class ScriptedStream : public tarn::tls::TlsStream {
public:
    int32_t send(const void*, int32_t) override { return result; }
    int32_t receive(void*, int32_t) override { return result; }
    void close() override {}
    int32_t popError() override {
        if (codes.empty()) {
            return tarn::tls::RC_TLS_NO_ERROR_QUEUED;
        }
        const int32_t code = codes.front();
        codes.pop_front();
        return code;
    }
    void setMode(bool) override {}
    std::string peerIdentity() const override { return ""; }
    int32_t handshake() override { return tarn::tls::RC_TLS_OK; }
    bool established() const override { return true; }
    int32_t pending() const override { return 0; }
    std::string cipherName() const override { return ""; }
    std::string protocolVersion() const override { return ""; }
    std::shared_ptr<tarn::tls::IPAddress> peerAddress() const override {
        return tarn::tls::InetAddressFactory::makeIPAddress("fd00::7").object;
    }
    uint16_t peerPort() const override { return 4433; }
    uint32_t sessionId() const override { return 9; }

    int32_t result = -1;
    std::deque<int32_t> codes;
};

// The TLS send and receive of a connection, on a scripted stream.
class Probe : public SecureConnection {
public:
    explicit Probe(std::shared_ptr<tarn::tls::TlsStream> stream) { stream_ = std::move(stream); }
    using SecureConnection::secureReceive;
    using SecureConnection::secureSend;
};

TEST(SecureConnectionTest, ErrorQueueDecidesHowAFailedCallEnds) {
    using Failure = SecureConnection::Failure;
    const struct {
        std::deque<int32_t> codes;
        Failure failure;
        int receiveResult, receiveErrno, sendErrno;  // what the callers see
        std::vector<std::string> reports;
    } cases[] = {
        {{}, Failure::WouldBlock, -1, EAGAIN, EAGAIN, {}},
        {{9, 10, 9}, Failure::WouldBlock, -1, EAGAIN, EAGAIN, {}},
        {{7}, Failure::WouldBlock, -1, EAGAIN, EAGAIN, {"error 7 treated as non-fatal"}},
        {{11}, Failure::PeerClosed, 0, 0, EIO, {}},
        {{9, 3, 10, 8, 9},
         Failure::Fatal,
         -1,
         EPIPE,
         EIO,
         {"error 3 treated as non-fatal : fd00::7 : 4433 : 9", "RC_TLS_IO_ERROR : fd00::7"}},
        {{11, 12}, Failure::Fatal, -1, EPIPE, EIO, {"RC_TLS_SEND_AFTER_SHUTDOWN"}},
    };
    for (const auto& each : cases) {
        const std::string name = "case with " + std::to_string(each.codes.size()) + " codes";
        auto stream = std::make_shared<ScriptedStream>();
        testing_support::RecordingLogger log;
        stream->codes = each.codes;
        EXPECT_EQ(SecureConnection::classify(*stream, "tag"), each.failure) << name;
        EXPECT_TRUE(stream->codes.empty()) << name << ": the queue is emptied";
        EXPECT_EQ(log.count("SecureConnection error"), each.reports.size()) << name;
        for (const std::string& report : each.reports) {
            EXPECT_TRUE(log.contains(report)) << name << ": " << report;
        }

        Probe probe(stream);
        char buffer[16];
        stream->codes = each.codes;
        errno = 0;
        EXPECT_EQ(probe.secureReceive("tag", buffer, sizeof(buffer)), each.receiveResult) << name;
        EXPECT_EQ(errno, each.receiveErrno) << name;
        stream->codes = each.codes;
        EXPECT_EQ(probe.secureSend("tag", buffer, sizeof(buffer)), -1) << name;
        EXPECT_EQ(errno, each.sendErrno) << name;
    }
}

}  // namespace
