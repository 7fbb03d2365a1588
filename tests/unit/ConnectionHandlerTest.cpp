#include "io/ConnectionHandler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ConnectionTestSupport.h"
#include "RecordingLogger.h"
#include "connection/IncomingConnection.h"
#include "connection/OutgoingConnection.h"
#include "io/ConnectionDispatcher.h"
#include "io/ConnectionMultiplexer.h"

namespace {

using connection::IncomingConnection;
using connection::OutgoingConnection;
using connection::ReadResult;
using testing_support::eventually;
using testing_support::Fd;
using testing_support::pattern;
using namespace std::chrono_literals;

// The incoming connection with hooks the tests steer from outside the handler thread.
class HookedIncoming : public IncomingConnection {
public:
    using IncomingConnection::IncomingConnection;
    ~HookedIncoming() override {
        if (destroyed != nullptr) {
            destroyed->store(true);
        }
    }

    ReadResult conRead() override {
        ++reads;
        if (gate != nullptr && reads == 1) {
            gate->wait_for(10s);
        }
        if (pauseNext.exchange(false)) {
            // As a read path does before it starts a query that answers later.
            queryCallback_.setWaiting(true);
            return ReadResult::Paused;
        }
        // Raw forwarding: these tests drive the handler with arbitrary bytes, which the
        // incoming connection's own read path would check as requests.
        return forwardRead();
    }

    std::atomic<int> reads{0};
    std::atomic<bool> pauseNext{false};
    std::shared_future<void>* gate = nullptr;
    std::atomic<bool>* destroyed = nullptr;
};

// A client, the pair the proxy makes for it, and the server it reaches, all over loopback.
struct PairRig {
    testing_support::Listener front = testing_support::makeListener();
    testing_support::Listener back = testing_support::makeListener();
    Fd client;
    Fd server;
    std::unique_ptr<IncomingConnection> incoming;
    std::unique_ptr<OutgoingConnection> outgoing;
    HookedIncoming* hooked = nullptr;

    explicit PairRig(const std::string& tag) {
        if (!front.ok || !back.ok) {
            return;
        }
        client = testing_support::connectTo(front);
        Fd accepted = testing_support::acceptOne(front);
        if (accepted.get() < 0) {
            return;
        }
        testing_support::makeNonBlocking(accepted.get());
        auto in =
            std::make_unique<HookedIncoming>(accepted.release(), std::string("app"), "fd00::1", 80);
        in->setTag(tag + "-in");
        hooked = in.get();
        incoming = std::move(in);
        outgoing = std::make_unique<OutgoingConnection>(&back.address, &back.length);
        outgoing->setTag(tag + "-out");
        server = testing_support::acceptOne(back);
    }
    bool ok() const {
        return incoming && outgoing && outgoing->status() == 0 && client.get() >= 0 &&
               server.get() >= 0;
    }
};

// A handler with a real multiplexer, run on its own thread.
struct RunningHandler {
    std::unique_ptr<io::ConnectionMultiplexer> multiplexer = io::ConnectionMultiplexer::create();
    std::unique_ptr<io::ConnectionHandler> handler =
        std::make_unique<io::ConnectionHandler>(multiplexer.get());
    std::thread thread;
    std::promise<void> done;
    std::future<void> finished = done.get_future();

    void start() {
        thread = std::thread([this] {
            handler->run();
            done.set_value();
        });
    }
    // True when run() returned within the bound.
    bool stop() {
        if (!thread.joinable()) {
            return true;
        }
        handler->shutdown();
        const bool ended = finished.wait_for(10s) == std::future_status::ready;
        if (ended) {
            thread.join();
        } else {
            thread.detach();  // a hung loop must not hang the test binary too
        }
        return ended;
    }
    ~RunningHandler() { stop(); }
};

// Writes the stream in 1 MiB pieces, counting what went out.
bool writeStream(int fd, uint64_t total, uint32_t stream, std::atomic<uint64_t>& written) {
    constexpr uint64_t piece = 1 << 20;
    for (uint64_t offset = 0; offset < total; offset += piece) {
        if (!testing_support::writeAll(fd, pattern(offset, piece, stream), 30000)) {
            return false;
        }
        written.store(offset + piece);
    }
    return true;
}

// Reads the whole stream in small odd pieces, pausing now and then, and compares every byte.
std::string readStreamSlowly(int fd, uint64_t total, uint32_t stream) {
    std::vector<char> buffer(3001);
    uint64_t offset = 0;
    uint64_t nextPause = 1 << 20;
    while (offset < total) {
        if (!testing_support::waitFor(fd, POLLIN, 30000)) {
            return "stalled at " + std::to_string(offset);
        }
        const ssize_t result = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (result < 0 && errno == EAGAIN) {
            continue;
        }
        if (result <= 0) {
            return "stream ended at " + std::to_string(offset);
        }
        for (ssize_t i = 0; i < result; ++i) {
            if (buffer[i] != testing_support::patternByte(offset + i, stream)) {
                return "first wrong byte at " + std::to_string(offset + i);
            }
        }
        offset += static_cast<uint64_t>(result);
        if (offset >= nextPause) {
            nextPause += 1 << 20;
            std::this_thread::sleep_for(1ms);
        }
    }
    return "";
}

TEST(ConnectionHandlerTest, LargeTransferBothWaysAgainstSlowReaders) {
    testing_support::RecordingLogger log(utils::logging::Error);
    RunningHandler running;
    ASSERT_NE(running.multiplexer, nullptr);
    io::ConnectionDispatcher dispatcher;
    dispatcher.addHandler(running.handler.get());
    PairRig rig("bulk");
    ASSERT_TRUE(rig.ok());
    dispatcher.dispatch(rig.incoming, rig.outgoing);
    EXPECT_EQ(rig.incoming, nullptr);
    EXPECT_EQ(rig.outgoing, nullptr);
    EXPECT_EQ(running.handler->connectionCount(), 2u);
    running.start();

    constexpr uint64_t total = 64ull << 20;
    std::atomic<uint64_t> upWritten{0};
    std::atomic<uint64_t> downWritten{0};
    bool upWrote = false;
    bool downWrote = false;
    std::string upResult = "not run";
    std::string downResult = "not run";
    // Each reader starts only once a quarter of its stream is in flight, so the proxy has to
    // hold most of it in its write queue and flush it against a reader that lags behind.
    std::thread upWriter([&] { upWrote = writeStream(rig.client.get(), total, 1, upWritten); });
    std::thread downWriter(
        [&] { downWrote = writeStream(rig.server.get(), total, 2, downWritten); });
    std::thread upReader([&] {
        if (eventually([&] { return upWritten.load() >= total / 4; }, 60s)) {
            upResult = readStreamSlowly(rig.server.get(), total, 1);
        }
    });
    std::thread downReader([&] {
        if (eventually([&] { return downWritten.load() >= total / 4; }, 60s)) {
            downResult = readStreamSlowly(rig.client.get(), total, 2);
        }
    });
    upWriter.join();
    downWriter.join();
    upReader.join();
    downReader.join();

    EXPECT_TRUE(upWrote);
    EXPECT_TRUE(downWrote);
    EXPECT_EQ(upResult, "") << "client to server";
    EXPECT_EQ(downResult, "") << "server to client";

    // The client leaving ends the pair, and the handler frees both halves.
    rig.client.reset();
    EXPECT_TRUE(testing_support::seesEndOfStream(rig.server.get()));
    EXPECT_TRUE(eventually([&] { return running.handler->connectionCount() == 0; }));
    EXPECT_TRUE(running.stop());
    EXPECT_TRUE(log.texts().empty()) << log.texts().front();
}

TEST(ConnectionHandlerTest, ServerClosingRightAfterItsLastBytesLosesNothing) {
    testing_support::RecordingLogger log;
    RunningHandler running;
    ASSERT_NE(running.multiplexer, nullptr);
    PairRig rig("tail");
    ASSERT_TRUE(rig.ok());
    running.handler->adopt(rig.incoming, rig.outgoing);
    running.start();

    // The end of the stream arrives together with the bytes before it, and the client has not
    // read yet: the outgoing side must read to the end before it closes, and the incoming side
    // must flush its queue before it follows.
    const std::string response = pattern(0, 3 << 20, 3);
    ASSERT_TRUE(testing_support::writeAll(rig.server.get(), response));
    rig.server.reset();
    ASSERT_TRUE(eventually([&] { return log.contains("requestDisconnect() called : tail-in"); }));

    std::string received;
    ASSERT_TRUE(testing_support::readExactly(rig.client.get(), received, response.size(), 30000));
    EXPECT_TRUE(received == response);
    EXPECT_TRUE(testing_support::seesEndOfStream(rig.client.get()));
    EXPECT_TRUE(eventually([&] { return running.handler->connectionCount() == 0; }));
    EXPECT_TRUE(running.stop());
}

// Holds the pairs the dispatcher hands over and reports a fixed count.
class CountingHandler : public io::ConnectionHandlerBase {
public:
    explicit CountingHandler(uint64_t count) : count_(count) {}
    void adopt(std::unique_ptr<IncomingConnection>& incoming,
               std::unique_ptr<OutgoingConnection>& outgoing) override {
        adopted.push_back(std::move(incoming));
        adopted.push_back(std::move(outgoing));
    }
    void removeConnection(connection::Connection*) override {}
    bool modifyEvents(connection::Connection*, uint32_t) override { return true; }
    void postAsyncEvent(connection::Connection*) override {}
    uint64_t connectionCount() const override { return count_; }

    std::vector<std::unique_ptr<connection::Connection>> adopted;

private:
    uint64_t count_;
};

// An outgoing connection that never opened a socket; enough for the dispatcher.
class IdleOutgoing : public OutgoingConnection {
public:
    IdleOutgoing() = default;
};

TEST(ConnectionHandlerTest, DispatchPicksTheLeastLoadedHandler) {
    testing_support::RecordingLogger log;
    auto makePair = [](std::unique_ptr<IncomingConnection>& in,
                       std::unique_ptr<OutgoingConnection>& out) {
        in = std::make_unique<IncomingConnection>(-1, std::string("app"), "fd00::1", 1);
        out = std::make_unique<IdleOutgoing>();
    };
    std::unique_ptr<IncomingConnection> in;
    std::unique_ptr<OutgoingConnection> out;

    {
        io::ConnectionDispatcher none;
        makePair(in, out);
        none.dispatch(in, out);
        EXPECT_NE(in, nullptr);
        EXPECT_NE(out, nullptr);
        EXPECT_TRUE(log.contains(": ERROR   : no handlers in connection dispatcher"));
    }
    {
        CountingHandler first(4), second(2), third(2);
        io::ConnectionDispatcher dispatcher;
        dispatcher.addHandler(&first);
        dispatcher.addHandler(&second);
        dispatcher.addHandler(&third);
        makePair(in, out);
        IncomingConnection* incoming = in.get();
        dispatcher.dispatch(in, out);
        EXPECT_EQ(in, nullptr);
        EXPECT_EQ(out, nullptr);
        ASSERT_EQ(second.adopted.size(), 2u);
        EXPECT_EQ(second.adopted[0].get(), incoming);
        EXPECT_TRUE(first.adopted.empty());
        EXPECT_TRUE(third.adopted.empty());
        EXPECT_TRUE(log.contains(": INFO    : Active connection pair count : 5"));
    }
    {
        CountingHandler only(0);
        io::ConnectionDispatcher dispatcher;
        dispatcher.addHandler(&only);
        makePair(in, out);
        dispatcher.dispatch(in, out);
        EXPECT_EQ(only.adopted.size(), 2u);
        EXPECT_TRUE(log.contains("Active connection pair count : 1"));
    }
}

TEST(ConnectionHandlerTest, ConsecutiveDuplicateAsyncEventsRunOnce) {
    testing_support::RecordingLogger log;
    RunningHandler running;
    ASSERT_NE(running.multiplexer, nullptr);
    PairRig first("first");
    PairRig second("second");
    ASSERT_TRUE(first.ok());
    ASSERT_TRUE(second.ok());
    HookedIncoming* a = first.hooked;
    HookedIncoming* b = second.hooked;
    std::promise<void> open;
    std::shared_future<void> gate = open.get_future().share();
    a->gate = &gate;
    running.handler->adopt(first.incoming, first.outgoing);
    running.handler->adopt(second.incoming, second.outgoing);
    running.start();

    // Hold the handler thread inside a's first read while the answers come in, so that all
    // of them are taken in one batch.
    ASSERT_TRUE(testing_support::writeAll(first.client.get(), "ping"));
    ASSERT_TRUE(eventually([&] { return a->reads.load() == 1; }));
    running.handler->postAsyncEvent(a);
    running.handler->postAsyncEvent(a);
    running.handler->postAsyncEvent(b);
    running.handler->postAsyncEvent(a);
    open.set_value();

    ASSERT_TRUE(eventually([&] { return log.count("Handling async event") == 3; }));
    EXPECT_EQ(log.count("Handling async event : first-in"), 2u);
    EXPECT_EQ(log.count("Handling async event : second-in"), 1u);
    EXPECT_TRUE(eventually([&] { return a->reads.load() == 3 && b->reads.load() == 1; }));
    std::string forwarded;
    ASSERT_TRUE(testing_support::readExactly(first.server.get(), forwarded, 4));
    EXPECT_EQ(forwarded, "ping");
    EXPECT_TRUE(running.stop());
}

TEST(ConnectionHandlerTest, PausedConnectionWaitsForTheAnswerAndIsDeletedOnlyWhenReleased) {
    testing_support::RecordingLogger log;
    RunningHandler running;
    ASSERT_NE(running.multiplexer, nullptr);
    PairRig rig("paused");
    PairRig witness("witness");
    ASSERT_TRUE(rig.ok());
    ASSERT_TRUE(witness.ok());
    HookedIncoming* in = rig.hooked;
    HookedIncoming* other = witness.hooked;
    std::atomic<bool> destroyed{false};
    in->destroyed = &destroyed;
    in->pauseNext = true;
    running.handler->adopt(rig.incoming, rig.outgoing);
    running.handler->adopt(witness.incoming, witness.outgoing);
    running.start();

    // The first request waits for an answer; when it comes, the held bytes are forwarded and
    // the client's further input is read again.
    ASSERT_TRUE(testing_support::writeAll(rig.client.get(), "hello"));
    ASSERT_TRUE(eventually([&] { return in->reads.load() == 1; }));
    EXPECT_TRUE(in->hasPendingQuery());
    in->queryCallback().response(true);
    std::string got;
    ASSERT_TRUE(testing_support::readExactly(rig.server.get(), got, 5));
    EXPECT_EQ(got, "hello");
    ASSERT_TRUE(testing_support::writeAll(rig.client.get(), "again"));
    ASSERT_TRUE(testing_support::readExactly(rig.server.get(), got, 5));
    EXPECT_EQ(got, "again");

    // Paused again, a hang-up still closes the pair.
    in->pauseNext = true;
    const int readsBefore = in->reads.load();
    ASSERT_TRUE(testing_support::writeAll(rig.client.get(), "more"));
    ASSERT_TRUE(eventually([&] { return in->reads.load() == readsBefore + 1; }));
    rig.client.reset();
    EXPECT_TRUE(testing_support::seesEndOfStream(rig.server.get()));
    ASSERT_TRUE(eventually(
        [&] { return log.contains("Connections with outstanding queries not deleted : 1"); }));

    // An answer event for the disconnected connection is skipped; the one queued behind it
    // for a live connection shows that the batch has been handled.
    running.handler->postAsyncEvent(in);
    running.handler->postAsyncEvent(other);
    ASSERT_TRUE(eventually([&] { return log.contains("Handling async event : witness-in"); }));
    EXPECT_EQ(in->reads.load(), readsBefore + 1);
    EXPECT_EQ(log.count("Handling async event : paused-in"), 1u);  // only the first answer
    EXPECT_FALSE(destroyed.load());
    EXPECT_EQ(running.handler->connectionCount(), 3u);

    // The late answer releases it; only then is it deleted.
    in->queryCallback().response(false);
    EXPECT_TRUE(eventually([&] { return destroyed.load(); }));
    EXPECT_TRUE(log.contains("Deleting connection : paused-in"));
    EXPECT_TRUE(eventually([&] { return running.handler->connectionCount() == 2; }));
    EXPECT_TRUE(running.stop());
}

TEST(ConnectionHandlerTest, ShutdownDuringTheWaitEndsRun) {
    testing_support::RecordingLogger log;
    RunningHandler running;
    ASSERT_NE(running.multiplexer, nullptr);
    PairRig rig("held");
    ASSERT_TRUE(rig.ok());
    running.handler->adopt(rig.incoming, rig.outgoing);
    running.start();
    ASSERT_TRUE(
        eventually([&] { return log.contains("ConnectionHandler adopting new connection"); }));
    ASSERT_TRUE(eventually([&] { return log.contains("ConnectionHandler interrupted"); }));

    EXPECT_TRUE(running.stop());
    EXPECT_TRUE(log.contains("ConnectionHandler shutting down"));
    // Connections still held go with the handler.
    running.handler.reset();
    EXPECT_TRUE(testing_support::seesEndOfStream(rig.client.get()));
    EXPECT_TRUE(testing_support::seesEndOfStream(rig.server.get()));
}

}  // namespace
