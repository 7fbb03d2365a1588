#include "connection/Connection.h"

#include <gtest/gtest.h>

#include <numeric>

#include "ConnectionTestSupport.h"
#include "RecordingLogger.h"
#include "io/ConnectionMultiplexer.h"
#include "utils/BuildConfig.h"

namespace {

using connection::Connection;
using connection::ReadResult;
using testing_support::Fd;
using testing_support::pattern;

// An outgoing connection over loopback TCP with a small send buffer, so that writes back up
// quickly, and the far end.
struct Pair {
    testing_support::RecordingLogger log;
    testing_support::RecordingHandler handler;
    Fd far;
    std::unique_ptr<Connection> out;

    Pair() {
        Fd near;
        if (testing_support::socketPair(near, far)) {
            const int small = 4096;
            setsockopt(near.get(), SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
            out = std::make_unique<testing_support::PeerOutgoing>(near.release());
            out->setTag("out-test");
            out->setHandler(&handler);
        }
    }

    // Writes the pattern until the kernel takes no more, even after a pause for a delayed
    // acknowledgement that frees space; returns the bytes written.
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
    // The far end reads what arrived, then the handler's part of an output event.
    void flushOnce(std::string& received) {
        if (testing_support::waitFor(far.get(), POLLIN, 10)) {
            received += testing_support::drain(far.get());
        }
        ASSERT_EQ(out->conWrite(nullptr, 0), 0);
        if (out->closing()) {
            out->requestDisconnect();
        }
    }
    void expectOnTheWire(const std::string& received, uint64_t total) {
        std::string rest;
        ASSERT_TRUE(testing_support::readExactly(far.get(), rest, total - received.size()));
        EXPECT_TRUE(received + rest == pattern(0, total)) << "bytes on the wire differ";
    }
};

// Writes the socket does not take must queue in call order, output events must be asked for
// exactly while something is queued, and a queue above the high mark must hold the peer's input
// until it is below the low mark, not merely below the high one.
TEST(ConnectionTest, QueuedWritesKeepCallOrderSwitchOutputEventsAndHoldThePeer) {
    Pair pair;
    Fd peerNear, peerFar;
    ASSERT_TRUE(pair.out && testing_support::socketPair(peerNear, peerFar));
    testing_support::RecordingHandler producerHandler;
    testing_support::PeerOutgoing producer(peerNear.release());
    producer.setHandler(&producerHandler);
    Connection& out = *pair.out;
    out.setPeer(&producer);
    producer.setPeer(&out);
    const std::vector<uint64_t> sizes = {1000, 70000, 3, 200000, 5000};  // above the high mark
    uint64_t offset = pair.fill();
    for (uint64_t size : sizes) {
        ASSERT_EQ(out.conWrite(pattern(offset, size).data(), size), 0);
        offset += size;
    }
    // The first write finds the socket full; the rest queue behind it without trying it.
    EXPECT_EQ(pair.log.count(": Send data : -1 : fd : out-test"), 1u);
    EXPECT_EQ(pair.log.count("Copy data that cannot be sent out"), sizes.size() - 1);
    EXPECT_EQ(pair.handler.events, std::vector<uint32_t>{io::EVENTS_WITH_OUTPUT});
    EXPECT_EQ(out.queuedBytes(), std::accumulate(sizes.begin(), sizes.end(), uint64_t{0}));
    EXPECT_TRUE(producer.inputHeld(Connection::HoldPeerQueue));
    // Output events flush against a slow reader; a partly sent element stays first.
    std::string received;
    bool sawPartialFlush = false;
    for (int round = 0; round < 100000 && out.writeBufferCount() > 0; ++round) {
        pair.flushOnce(received);
        const auto whole = sizes.end() - static_cast<ptrdiff_t>(out.writeBufferCount());
        sawPartialFlush |= out.queuedBytes() < std::accumulate(whole, sizes.end(), uint64_t{0});
        EXPECT_EQ(pair.handler.events.back(),
                  out.writeBufferCount() > 0 ? io::EVENTS_WITH_OUTPUT : io::EVENTS_DEFAULT);
        const bool held = out.queuedBytes() > config::WRITE_QUEUE_LOW_MARK;
        EXPECT_EQ(producer.inputHeld(Connection::HoldPeerQueue), held);
        EXPECT_EQ((producer.wantedEvents() & io::EVENT_INPUT) == 0, held);
    }
    ASSERT_EQ(out.writeBufferCount(), 0u);
    EXPECT_TRUE(sawPartialFlush);
    pair.expectOnTheWire(received, offset);
    EXPECT_EQ(pair.log.count("Large write buffer"), 1u);  // once per episode, not per write
    out.setPeer(nullptr);
}

// A reset by the peer must drop what was queued for it and never turn output events back on.
TEST(ConnectionTest, ResetByThePeerDirectlyAndDuringFlush) {
    for (bool duringFlush : {false, true}) {
        Pair pair;
        ASSERT_TRUE(pair.out);
        const std::string data = pattern(0, 50000);
        if (duringFlush) {
            pair.fill();
            ASSERT_EQ(pair.out->conWrite(data.data(), data.size()), 0);
        }
        const linger reset{1, 0};
        setsockopt(pair.far.get(), SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
        pair.far.reset();
        ASSERT_TRUE(testing_support::waitFor(pair.out->socket(), POLLERR | POLLHUP));
        pair.handler.events.clear();
        // A flush drops the queue and tells the caller to close the pair; a direct write queues
        // nothing and keeps output off, leaving the close to the hang-up event.
        EXPECT_EQ(duringFlush ? pair.out->conWrite(nullptr, 0)
                              : pair.out->conWrite(data.data(), data.size()),
                  duringFlush ? -1 : 0);
        EXPECT_TRUE(pair.handler.events.empty());
        EXPECT_EQ(pair.out->queuedBytes(), 0u);
        EXPECT_EQ(pair.log.count("WARNING : Connection closed by peer : out-test"), 1u);
    }
}

// A requested close must wait for the queue, and unread input must not turn it into a reset that
// costs the far end the last bytes.
TEST(ConnectionTest, RequestDisconnectWithAndWithoutQueuedData) {
    {
        // Nothing queued: it ends at once. A second disconnect closes nothing.
        Pair pair;
        ASSERT_TRUE(pair.out);
        pair.out->requestDisconnect();
        pair.out->disconnect();
        EXPECT_EQ(pair.handler.removed, std::vector<Connection*>{pair.out.get()});
        EXPECT_FALSE(pair.log.contains("Error closing file descriptor"));
        EXPECT_TRUE(testing_support::seesEndOfStream(pair.far.get()));
    }
    // Data queued: it stays until the queue is sent, reading nothing meanwhile.
    Pair pair;
    ASSERT_TRUE(pair.out);
    const uint64_t total = pair.fill() + 30000;
    ASSERT_EQ(pair.out->conWrite(pattern(total - 30000, 30000).data(), 30000), 0);
    pair.out->requestDisconnect();
    EXPECT_FALSE(pair.out->disconnected());
    EXPECT_EQ(pair.handler.events.back(), io::EVENT_OUTPUT);
    ASSERT_TRUE(testing_support::writeAll(pair.far.get(), "late"));
    ASSERT_TRUE(testing_support::waitFor(pair.out->socket(), POLLIN));
    EXPECT_EQ(pair.out->conRead(), ReadResult::Done);
    char peek[8];
    EXPECT_EQ(::recv(pair.out->socket(), peek, sizeof(peek), MSG_PEEK | MSG_DONTWAIT), 4);

    std::string received;
    for (int round = 0; round < 100000 && !pair.out->disconnected(); ++round) {
        pair.flushOnce(received);
    }
    pair.expectOnTheWire(received, total);
    EXPECT_TRUE(testing_support::seesEndOfStream(pair.far.get()));
}

// A half-close must pass on after what was queued, keep the other direction open, and the pair
// must close once both directions have ended.
TEST(ConnectionTest, EachDirectionEndsOnItsOwnAndThePairClosesWhenBothHave) {
    testing_support::RecordingHandler handler;
    Fd nearA, farA, nearB, farB;
    ASSERT_TRUE(testing_support::socketPair(nearA, farA) &&
                testing_support::socketPair(nearB, farB));
    testing_support::PeerOutgoing a(nearA.release()), b(nearB.release());
    a.setHandler(&handler);
    b.setHandler(&handler);
    a.setPeer(&b);
    b.setPeer(&a);
    ASSERT_EQ(b.conWrite("queued", 6), 0);
    ASSERT_EQ(::shutdown(farA.get(), SHUT_WR), 0);
    ASSERT_TRUE(testing_support::waitFor(a.socket(), POLLIN));
    ASSERT_EQ(a.conRead(), ReadResult::Closed);
    a.endOfInput();
    std::string got;
    ASSERT_TRUE(testing_support::readExactly(farB.get(), got, 6));
    EXPECT_TRUE(testing_support::seesEndOfStream(farB.get()));
    EXPECT_TRUE(b.outputShut() && !a.disconnected() && !b.disconnected());
    ASSERT_TRUE(testing_support::writeAll(farB.get(), "reply"));
    ASSERT_TRUE(testing_support::waitFor(b.socket(), POLLIN));
    ASSERT_EQ(b.conRead(), ReadResult::Done);
    ASSERT_TRUE(testing_support::readExactly(farA.get(), got, 5));
    EXPECT_EQ(got, "reply");
    ASSERT_EQ(::shutdown(farB.get(), SHUT_WR), 0);
    ASSERT_TRUE(testing_support::waitFor(b.socket(), POLLIN));
    ASSERT_EQ(b.conRead(), ReadResult::Closed);
    b.endOfInput();
    EXPECT_TRUE(a.disconnected() && b.disconnected());
    EXPECT_TRUE(testing_support::seesEndOfStream(farA.get()));
}

// Connecting must not block the handler: early writes wait for the connection, a refusal ends it.
TEST(ConnectionTest, ConnectsWithoutBlockingAndQueuesMeanwhile) {
    testing_support::RecordingLogger log;
    sockaddr_in6 address;
    Fd listener = testing_support::listenLoopback(address);
    ASSERT_NE(listener.get(), -1);
    const socklen_t length = sizeof(address);
    for (const bool refused : {false, true}) {
        if (refused) {
            listener.reset();  // nothing listens on the port any more
        }
        connection::OutgoingConnection out(&address, &length);
        ASSERT_EQ(out.status(), Connection::StatusReady);
        ASSERT_EQ(out.conWrite("early", 5), 0);
        ASSERT_TRUE(testing_support::waitFor(out.socket(), POLLOUT));
        if (out.state() == Connection::State::Connecting) {
            EXPECT_EQ(out.continueSetUp(io::EVENT_OUTPUT | (refused ? io::EVENT_ERROR : 0)),
                      !refused);
        }
        if (!refused) {
            EXPECT_EQ(out.state(), Connection::State::Open);
            Fd accepted(::accept(listener.get(), nullptr, nullptr));
            std::string got;
            ASSERT_TRUE(testing_support::readExactly(accepted.get(), got, 5));
            EXPECT_EQ(got, "early");
        }
    }
    EXPECT_TRUE(log.contains("Could not connect to destination, closing connection pair"));
}

}  // namespace
