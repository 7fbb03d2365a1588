#include "connection/Connection.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ConnectionTestSupport.h"
#include "RecordingLogger.h"
#include "connection/IncomingConnection.h"
#include "io/ConnectionMultiplexer.h"

namespace {

using connection::Connection;
using connection::IncomingConnection;
using connection::ReadResult;
using testing_support::Fd;
using testing_support::pattern;

// The real outgoing connection, counting the sends it tries.
class CountingOutgoing : public testing_support::PeerOutgoing {
public:
    using PeerOutgoing::PeerOutgoing;
    int64_t rawSend(const char* data, uint32_t length) override {
        ++sends;
        return PeerOutgoing::rawSend(data, length);
    }
    int sends = 0;
};

// An outgoing connection over loopback TCP, with small buffers so that writes back up
// quickly, its incoming peer, and the far ends of both.
struct Pair {
    testing_support::RecordingHandler handler;
    Fd far, client;
    std::unique_ptr<CountingOutgoing> out;
    std::unique_ptr<IncomingConnection> in;

    Pair() {
        Fd near, accepted;
        if (!testing_support::socketPair(near, far) ||
            !testing_support::socketPair(accepted, client)) {
            return;
        }
        const int small = 4096;
        setsockopt(near.get(), SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
        setsockopt(far.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
        out = std::make_unique<CountingOutgoing>(near.release());
        in = std::make_unique<IncomingConnection>(accepted.release(), "app", "fd00::1", 443);
        out->setTag("out-test");
        for (Connection* connection : std::initializer_list<Connection*>{out.get(), in.get()}) {
            connection->setHandler(&handler);
        }
        out->setPeer(in.get());
        in->setPeer(out.get());
    }
    bool ok() const { return out && in; }

    // Writes the pattern until the kernel takes no more; returns the bytes written. A delayed
    // acknowledgement can free space after the first EAGAIN, so the socket counts as full only
    // once a round after a quiet spell takes nothing.
    uint64_t fill() {
        uint64_t written = 0;
        for (uint64_t before = 1; before != written; ::usleep(250000)) {
            before = written;
            for (ssize_t n = 1; n > 0; written += n > 0 ? n : 0) {
                const std::string data = pattern(written, 65536);
                n = ::send(out->socket(), data.data(), data.size(), MSG_NOSIGNAL);
            }
        }
        return written;
    }
    // What the handler does on an output event, after the far end read what had arrived.
    void drainAndFlush(std::string& received) {
        char buffer[16384];
        if (testing_support::waitFor(far.get(), POLLIN, 100)) {
            for (ssize_t n; (n = ::recv(far.get(), buffer, sizeof(buffer), MSG_DONTWAIT)) > 0;) {
                received.append(buffer, static_cast<size_t>(n));
            }
        }
        ASSERT_EQ(out->conWrite(nullptr, 0), 0);
        if (out->closing()) {
            out->requestDisconnect();
        }
    }
    // Everything written so far arrives, in the order of the writes.
    void expectOnTheWire(std::string& received, uint64_t total) {
        std::string rest;
        ASSERT_TRUE(testing_support::readExactly(far.get(), rest, total - received.size()));
        EXPECT_TRUE(received + rest == pattern(0, total)) << "bytes on the wire differ";
    }
};

TEST(ConnectionTest, QueuedWritesKeepCallOrderAndSwitchOutputEvents) {
    testing_support::RecordingLogger log;
    Pair pair;
    ASSERT_TRUE(pair.ok());
    CountingOutgoing& out = *pair.out;
    const std::vector<size_t> sizes = {1000, 70000, 3, 200000, 5000};
    uint64_t offset = pair.fill();
    std::vector<std::string> pieces;
    for (size_t size : sizes) {
        pieces.push_back(pattern(offset, size));
        offset += size;
    }

    // The socket takes nothing: everything is queued and output events go on.
    ASSERT_EQ(out.conWrite(pieces[0].data(), pieces[0].size()), 0);
    EXPECT_FALSE(out.writable());
    EXPECT_EQ(out.queuedBytes(), pieces[0].size());
    EXPECT_EQ(pair.handler.events, std::vector<uint32_t>{io::EVENTS_WITH_OUTPUT});
    // Later writes queue behind without trying the socket.
    for (size_t i = 1; i < pieces.size(); ++i) {
        ASSERT_EQ(out.conWrite(pieces[i].data(), pieces[i].size()), 0);
    }
    EXPECT_EQ(out.sends, 1);
    EXPECT_EQ(out.writeBufferCount(), pieces.size());
    // Only the fifth write found four elements queued.
    EXPECT_EQ(log.count("Large write buffer"), 1u);
    EXPECT_TRUE(log.contains(": WARNING : Large write buffer : out-test : data bytes : 271003 : "));

    std::string received;
    bool sawPartialFlush = false;
    for (int round = 0; round < 100000 && out.writeBufferCount() > 0; ++round) {
        pair.drainAndFlush(received);
        uint64_t wholeElements = 0;
        for (size_t i = sizes.size() - out.writeBufferCount(); i < sizes.size(); ++i) {
            wholeElements += sizes[i];
        }
        sawPartialFlush = sawPartialFlush || out.queuedBytes() < wholeElements;
        if (out.writeBufferCount() > 0) {
            EXPECT_EQ(pair.handler.events.back(), io::EVENTS_WITH_OUTPUT);
        }
    }
    ASSERT_EQ(out.writeBufferCount(), 0u);
    EXPECT_TRUE(sawPartialFlush);
    EXPECT_TRUE(out.writable());
    EXPECT_EQ(pair.handler.events.back(), io::EVENTS_DEFAULT);

    // With the queue empty, a write goes straight out again.
    const std::string last = pattern(offset, 100);
    ASSERT_EQ(out.conWrite(last.data(), last.size()), 0);
    EXPECT_EQ(out.writeBufferCount(), 0u);
    pair.expectOnTheWire(received, offset + last.size());
}

TEST(ConnectionTest, ResetByThePeerDirectlyAndDuringFlush) {
    testing_support::RecordingLogger log;
    for (bool duringFlush : {false, true}) {
        Pair pair;
        ASSERT_TRUE(pair.ok());
        const std::string data = pattern(0, 50000);
        if (duringFlush) {
            pair.fill();
            ASSERT_EQ(pair.out->conWrite(data.data(), data.size()), 0);
            ASSERT_EQ(pair.out->conWrite(data.data(), data.size()), 0);
        }
        const linger reset{1, 0};
        setsockopt(pair.far.get(), SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
        pair.far.reset();
        ASSERT_TRUE(testing_support::waitFor(pair.out->socket(), POLLERR | POLLHUP));
        pair.handler.events.clear();
        if (duringFlush) {
            // The queue is dropped and the caller is told to close the pair.
            EXPECT_EQ(pair.out->conWrite(nullptr, 0), -1);
        } else {
            // Nothing is queued and output stays off: reading notices the reset.
            EXPECT_EQ(pair.out->conWrite(data.data(), data.size()), 0);
            EXPECT_TRUE(pair.handler.events.empty());
            const ReadResult read = pair.out->conRead();
            EXPECT_TRUE(read == ReadResult::Failed || read == ReadResult::Closed);
        }
        EXPECT_EQ(pair.out->writeBufferCount(), 0u);
        EXPECT_EQ(pair.out->queuedBytes(), 0u);
        EXPECT_EQ(log.count("Connection closed by peer : out-test"), duringFlush ? 2u : 1u);
    }
}

TEST(ConnectionTest, DisconnectPairWithAndWithoutQueuedData) {
    testing_support::RecordingLogger log;
    {
        // Nothing queued: the peer ends at once too. A second disconnect only logs.
        Pair pair;
        ASSERT_TRUE(pair.ok());
        pair.out->disconnectPair();
        EXPECT_TRUE(pair.out->disconnected() && pair.in->disconnected());
        EXPECT_EQ(pair.in->peer(), nullptr);
        pair.out->disconnect();
        EXPECT_EQ(pair.handler.removed, (std::vector<Connection*>{pair.out.get(), pair.in.get()}));
        EXPECT_EQ(log.count("disconnect called : out-test"), 2u);
        EXPECT_FALSE(log.contains("Error closing file descriptor"));
        EXPECT_TRUE(testing_support::seesEndOfStream(pair.far.get()));
        EXPECT_TRUE(testing_support::seesEndOfStream(pair.client.get()));
    }
    {
        // Data queued: the peer stays until its queue is sent, reading nothing meanwhile.
        Pair pair;
        ASSERT_TRUE(pair.ok());
        const uint64_t filled = pair.fill();
        const std::string tail = pattern(filled, 30000);
        ASSERT_EQ(pair.out->conWrite(tail.data(), tail.size()), 0);
        pair.in->disconnectPair();
        EXPECT_TRUE(pair.in->disconnected());
        EXPECT_FALSE(pair.out->disconnected());
        EXPECT_TRUE(pair.out->closing());
        EXPECT_EQ(pair.out->peer(), nullptr);
        EXPECT_EQ(pair.handler.events.back(), io::EVENT_OUTPUT | io::EVENT_HANGUP);
        EXPECT_TRUE(testing_support::seesEndOfStream(pair.client.get()));

        ASSERT_TRUE(testing_support::writeAll(pair.far.get(), "late"));
        ASSERT_TRUE(testing_support::waitFor(pair.out->socket(), POLLIN));
        EXPECT_EQ(pair.out->conRead(), ReadResult::Done);
        char peek[8];
        EXPECT_EQ(::recv(pair.out->socket(), peek, sizeof(peek), MSG_PEEK | MSG_DONTWAIT), 4);

        // The unread late input must not cost the far end the last flushed bytes.
        std::string received;
        for (int round = 0; round < 100000 && !pair.out->disconnected(); ++round) {
            pair.drainAndFlush(received);
        }
        EXPECT_EQ(pair.handler.removed.size(), 2u);
        pair.expectOnTheWire(received, filled + tail.size());
        EXPECT_TRUE(testing_support::seesEndOfStream(pair.far.get()));
    }
}

}  // namespace
