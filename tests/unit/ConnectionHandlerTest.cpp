#include "io/ConnectionHandler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>

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

// A handler with a real multiplexer, running on its own thread.
class ConnectionHandlerTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(multiplexer, nullptr);
        thread = std::thread([this] {
            handler->run();
            done.set_value();
        });
    }
    void TearDown() override { EXPECT_TRUE(stop()); }
    // True when run() returned within the bound; a hung loop must not hang the binary too.
    bool stop() {
        if (thread.joinable()) {
            handler->shutdown();
            if (done.get_future().wait_for(10s) != std::future_status::ready) {
                thread.detach();
                return false;
            }
            thread.join();
        }
        return true;
    }
    void adopt(Pair& pair) {
        ASSERT_NE(pair.in, nullptr);
        handler->adopt(pair.incoming, pair.outgoing);
    }

    testing_support::RecordingLogger log;
    std::unique_ptr<io::ConnectionMultiplexer> multiplexer = io::ConnectionMultiplexer::create();
    std::unique_ptr<io::ConnectionHandler> handler =
        std::make_unique<io::ConnectionHandler>(multiplexer.get());
    std::promise<void> done;
    std::thread thread;
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

    // Each reader starts once a quarter of its stream is in flight, so the proxy has to hold
    // most of it in its write queue and flush it against a reader that lags behind.
    constexpr uint64_t total = 64ull << 20;
    auto send = [](int fd, uint32_t stream, std::atomic<uint64_t>& written) {
        while (written < total &&
               testing_support::writeAll(fd, pattern(written, 1 << 20, stream), 30000)) {
            written += 1 << 20;
        }
    };
    auto receive = [](int fd, uint32_t stream, std::atomic<uint64_t>& written,
                      std::string& result) {
        result = eventually([&] { return written >= total / 4; }, 60s)
                     ? readSlowly(fd, total, stream)
                     : "the writer stalled";
    };
    std::atomic<uint64_t> up{0}, down{0};
    std::string upResult, downResult;
    std::thread threads[] = {
        std::thread(send, pair.client.get(), 0, std::ref(up)),
        std::thread(send, pair.server.get(), 1, std::ref(down)),
        std::thread(receive, pair.server.get(), 0, std::ref(up), std::ref(upResult)),
        std::thread(receive, pair.client.get(), 1, std::ref(down), std::ref(downResult))};
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(upResult, "") << "client to server";
    EXPECT_EQ(downResult, "") << "server to client";

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
    io::ConnectionDispatcher dispatcher;
    dispatcher.dispatch(in, out);
    EXPECT_TRUE(in != nullptr && out != nullptr) << "without handlers the caller keeps the pair";
    EXPECT_TRUE(log.contains(": ERROR   : no handlers in connection dispatcher"));

    using testing_support::RecordingHandler;
    RecordingHandler handlers[] = {RecordingHandler(4), RecordingHandler(2), RecordingHandler(2)};
    for (auto& h : handlers) {
        dispatcher.addHandler(&h);
    }
    dispatcher.dispatch(in, out);
    EXPECT_TRUE(in == nullptr && out == nullptr);
    EXPECT_TRUE(handlers[0].adopted.empty() && handlers[2].adopted.empty());
    EXPECT_EQ(handlers[1].adopted.size(), 2u);
    EXPECT_TRUE(log.contains(": INFO    : Active connection pair count : 5"));
}

TEST_F(ConnectionHandlerTest, PausedConnectionIsDeletedOnlyOnceItsAnswerCame) {
    Pair pair("paused");
    Pair witness("witness");
    HookedIncoming* in = pair.in;
    in->pauseNext = true;
    adopt(pair);
    adopt(witness);

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
