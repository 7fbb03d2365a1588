#include "io/ConnectionHandler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ConnectionTestSupport.h"
#include "RecordingLogger.h"
#include "io/ConnectionDispatcher.h"

namespace {

using connection::IncomingConnection;
using connection::OutgoingConnection;
using connection::ReadResult;
using testing_support::eventually;
using testing_support::Fd;
using testing_support::pattern;
using namespace std::chrono_literals;

// The incoming connection with hooks the tests steer from outside the handler thread. It
// forwards raw bytes: the tests drive the handler with data that is not requests.
class HookedIncoming : public IncomingConnection {
public:
    using IncomingConnection::IncomingConnection;
    ReadResult conRead() override {
        ++reads;
        if (pauseNext.exchange(false)) {
            // As a read path does before it starts a query that answers later.
            queryCallback_.setWaiting(true);
            return ReadResult::Paused;
        }
        return forwardRead();
    }
    std::atomic<int> reads{0};
    std::atomic<bool> pauseNext{false};
};

// A client, the pair the proxy makes for it and the server it reaches, over loopback.
struct Pair {
    Fd client, server;
    std::unique_ptr<IncomingConnection> incoming;
    std::unique_ptr<OutgoingConnection> outgoing;
    HookedIncoming* in = nullptr;

    explicit Pair(const std::string& tag) {
        Fd accepted, connected;
        if (testing_support::socketPair(accepted, client) &&
            testing_support::socketPair(connected, server)) {
            incoming = std::make_unique<HookedIncoming>(accepted.release(), "app", "fd00::1", 80);
            in = static_cast<HookedIncoming*>(incoming.get());
            outgoing = std::make_unique<testing_support::PeerOutgoing>(connected.release());
            incoming->setTag(tag + "-in");
            outgoing->setTag(tag + "-out");
        }
    }
};

// A handler with a real multiplexer, run on its own thread.
class ConnectionHandlerTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_NE(multiplexer, nullptr); }
    void TearDown() override { EXPECT_TRUE(stop()); }
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
        ended ? thread.join() : thread.detach();  // a hung loop must not hang the binary too
        return ended;
    }
    void adopt(Pair& pair) {
        ASSERT_NE(pair.in, nullptr);
        handler->adopt(pair.incoming, pair.outgoing);
    }

    testing_support::RecordingLogger log;
    std::unique_ptr<io::ConnectionMultiplexer> multiplexer = io::ConnectionMultiplexer::create();
    std::unique_ptr<io::ConnectionHandler> handler =
        std::make_unique<io::ConnectionHandler>(multiplexer.get());
    std::thread thread;
    std::promise<void> done;
    std::future<void> finished = done.get_future();
};

// Reads the whole stream in small odd pieces, pausing now and then, and checks every byte.
std::string readSlowly(int fd, uint64_t total, uint32_t stream) {
    std::string got;
    for (uint64_t offset = 0; offset < total; offset += got.size()) {
        if (!testing_support::readExactly(fd, got, std::min<uint64_t>(3001, total - offset))) {
            return "stalled at " + std::to_string(offset);
        }
        if (got != pattern(offset, got.size(), stream)) {
            return "wrong bytes after " + std::to_string(offset);
        }
        if (offset % (1 << 20) < got.size()) {
            std::this_thread::sleep_for(1ms);
        }
    }
    return "";
}

TEST_F(ConnectionHandlerTest, LargeTransfersBothWaysAgainstSlowReaders) {
    testing_support::RecordingLogger errors(utils::logging::Error);
    io::ConnectionDispatcher dispatcher;
    dispatcher.addHandler(handler.get());
    Pair pair("bulk");
    ASSERT_NE(pair.in, nullptr);
    dispatcher.dispatch(pair.incoming, pair.outgoing);
    EXPECT_EQ(handler->connectionCount(), 2u);
    start();

    // Each reader starts once a quarter of its stream is in flight, so the proxy has to hold
    // most of it in its write queue and flush it against a reader that lags behind.
    constexpr uint64_t total = 64ull << 20;
    struct Direction {
        int from, to;
        std::atomic<uint64_t> written{0};
        bool wrote = false;
        std::string result = "not run";
    } directions[] = {{pair.client.get(), pair.server.get()},
                      {pair.server.get(), pair.client.get()}};
    std::vector<std::thread> threads;
    for (uint32_t stream = 0; stream < 2; ++stream) {
        Direction& d = directions[stream];
        threads.emplace_back([&d, stream] {
            for (d.wrote = true; d.wrote && d.written < total; d.written += 1 << 20) {
                d.wrote =
                    testing_support::writeAll(d.from, pattern(d.written, 1 << 20, stream), 30000);
            }
        });
        threads.emplace_back([&d, stream] {
            if (eventually([&] { return d.written >= total / 4; }, 60s)) {
                d.result = readSlowly(d.to, total, stream);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (const Direction& d : directions) {
        EXPECT_TRUE(d.wrote);
        EXPECT_EQ(d.result, "") << (&d == directions ? "client to server" : "server to client");
    }

    // The server closes right behind its last bytes while the client has not read them: the
    // outgoing side must read to the end before it closes, and the incoming side flush first.
    const std::string tail = pattern(0, 3 << 20, 3);
    ASSERT_TRUE(testing_support::writeAll(pair.server.get(), tail));
    pair.server.reset();
    ASSERT_TRUE(eventually([&] { return handler->connectionCount() <= 1; }));
    std::string received;
    ASSERT_TRUE(testing_support::readExactly(pair.client.get(), received, tail.size(), 30000));
    EXPECT_TRUE(received == tail);
    EXPECT_TRUE(testing_support::seesEndOfStream(pair.client.get()));
    EXPECT_TRUE(eventually([&] { return handler->connectionCount() == 0; }));
    EXPECT_TRUE(errors.texts().empty()) << errors.texts().front();
}

TEST_F(ConnectionHandlerTest, DispatchPicksTheLeastLoadedHandler) {
    auto in = std::make_unique<IncomingConnection>(-1, "app", "fd00::1", 1);
    std::unique_ptr<OutgoingConnection> out = std::make_unique<testing_support::PeerOutgoing>(-1);
    IncomingConnection* incoming = in.get();
    io::ConnectionDispatcher none;
    none.dispatch(in, out);
    EXPECT_TRUE(in != nullptr && out != nullptr) << "the caller keeps the pair";
    EXPECT_TRUE(log.contains(": ERROR   : no handlers in connection dispatcher"));

    using testing_support::RecordingHandler;
    RecordingHandler handlers[] = {RecordingHandler(4), RecordingHandler(2), RecordingHandler(2)};
    io::ConnectionDispatcher dispatcher;
    for (auto& h : handlers) {
        dispatcher.addHandler(&h);
    }
    dispatcher.dispatch(in, out);
    EXPECT_TRUE(in == nullptr && out == nullptr);
    EXPECT_TRUE(handlers[0].adopted.empty() && handlers[2].adopted.empty());
    ASSERT_EQ(handlers[1].adopted.size(), 2u);
    EXPECT_EQ(handlers[1].adopted[0].get(), incoming);
    EXPECT_TRUE(log.contains(": INFO    : Active connection pair count : 5"));
}

TEST_F(ConnectionHandlerTest, PausedConnectionIsDeletedOnlyOnceItsAnswerCame) {
    Pair pair("paused");
    Pair witness("witness");
    HookedIncoming* in = pair.in;
    in->pauseNext = true;
    adopt(pair);
    adopt(witness);
    start();

    // While paused for an answer, a hang-up still closes the pair, but the connection is kept.
    ASSERT_TRUE(testing_support::writeAll(pair.client.get(), "hello"));
    ASSERT_TRUE(eventually([&] { return in->reads == 1; }));
    EXPECT_TRUE(in->hasPendingQuery());
    pair.client.reset();
    EXPECT_TRUE(testing_support::seesEndOfStream(pair.server.get()));
    ASSERT_TRUE(eventually(
        [&] { return log.contains("Connections with outstanding queries not deleted : 1"); }));
    // An async event for the disconnected connection is skipped; the one queued behind it for
    // a live connection shows that the batch was handled.
    handler->postAsyncEvent(in);
    handler->postAsyncEvent(witness.in);
    ASSERT_TRUE(eventually([&] { return log.contains("Handling async event : witness-in"); }));
    EXPECT_EQ(in->reads, 1);
    EXPECT_EQ(handler->connectionCount(), 3u);
    EXPECT_FALSE(log.contains("Deleting connection : paused-in"));

    in->queryCallback().response(false);
    EXPECT_TRUE(eventually([&] { return handler->connectionCount() == 2; }));
    EXPECT_TRUE(log.contains("Deleting connection : paused-in"));

    // Shutdown during the wait ends run; connections still held go with the handler.
    EXPECT_TRUE(stop());
    handler.reset();
    EXPECT_TRUE(testing_support::seesEndOfStream(witness.client.get()));
    EXPECT_TRUE(testing_support::seesEndOfStream(witness.server.get()));
}

}  // namespace
