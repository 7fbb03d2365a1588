#include "connection/Connection.h"

#include <gtest/gtest.h>

#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "ConnectionTestSupport.h"
#include "RecordingLogger.h"
#include "io/ConnectionMultiplexer.h"

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

TEST(ConnectionTest, QueuedWritesKeepCallOrderAndSwitchOutputEvents) {
    Pair pair;
    ASSERT_TRUE(pair.out);
    Connection& out = *pair.out;
    const std::vector<uint64_t> sizes = {1000, 70000, 3, 200000, 5000};
    uint64_t offset = pair.fill();
    for (uint64_t size : sizes) {
        ASSERT_EQ(out.conWrite(pattern(offset, size).data(), size), 0);
        offset += size;
    }
    // The first write finds the socket full and queues it all; the rest queue behind it
    // without trying the socket.
    EXPECT_EQ(pair.log.count(": Send data : -1 : fd : out-test"), 1u);
    EXPECT_EQ(pair.log.count("Copy data that cannot be sent out"), sizes.size() - 1);
    EXPECT_EQ(pair.handler.events, std::vector<uint32_t>{io::EVENTS_WITH_OUTPUT});
    EXPECT_EQ(out.queuedBytes(), std::accumulate(sizes.begin(), sizes.end(), uint64_t{0}));

    // Output events flush against a slow reader; a partly sent element stays first.
    std::string received;
    bool sawPartialFlush = false;
    for (int round = 0; round < 100000 && out.writeBufferCount() > 0; ++round) {
        pair.flushOnce(received);
        const auto whole = sizes.end() - static_cast<ptrdiff_t>(out.writeBufferCount());
        sawPartialFlush |= out.queuedBytes() < std::accumulate(whole, sizes.end(), uint64_t{0});
        EXPECT_EQ(pair.handler.events.back(),
                  out.writeBufferCount() > 0 ? io::EVENTS_WITH_OUTPUT : io::EVENTS_DEFAULT);
    }
    ASSERT_EQ(out.writeBufferCount(), 0u);
    EXPECT_TRUE(sawPartialFlush);
    pair.expectOnTheWire(received, offset);
}

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

    // The unread late input must not cost the far end the last flushed bytes.
    std::string received;
    for (int round = 0; round < 100000 && !pair.out->disconnected(); ++round) {
        pair.flushOnce(received);
    }
    pair.expectOnTheWire(received, total);
    EXPECT_TRUE(testing_support::seesEndOfStream(pair.far.get()));
}

}  // namespace
