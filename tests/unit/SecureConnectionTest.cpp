#include "connection/SecureConnection.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <deque>

#include "RecordingLogger.h"
#include "libs/tlslib/ErrorCodes.h"
#include "libs/tlslib/InetAddressFactory.h"

// Left to test_tls.py: sessions with real peers (key updates, tickets, held records).
namespace {

using connection::SecureConnection;

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

// A retry taken for an end (or the reverse) would drop or hang a connection; every code is taken
// off the queue, so none is left to spoil the thread's next call.
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
        SCOPED_TRACE(testing::PrintToString(each.codes));
        auto stream = std::make_shared<ScriptedStream>();
        testing_support::RecordingLogger log;
        stream->codes = each.codes;
        EXPECT_EQ(SecureConnection::classify(*stream, "tag"), each.failure);
        EXPECT_TRUE(stream->codes.empty());
        EXPECT_EQ(log.count("SecureConnection error"), each.reports.size());
        for (const std::string& report : each.reports) {
            EXPECT_TRUE(log.contains(report)) << report;
        }
        Probe probe(stream);
        char buffer[16];
        stream->codes = each.codes;
        errno = 0;
        EXPECT_EQ(probe.secureReceive("tag", buffer, sizeof(buffer)), each.receiveResult);
        EXPECT_EQ(errno, each.receiveErrno);
        stream->codes = each.codes;
        EXPECT_EQ(probe.secureSend("tag", buffer, sizeof(buffer)), -1);
        EXPECT_EQ(errno, each.sendErrno);
    }
}

}  // namespace
