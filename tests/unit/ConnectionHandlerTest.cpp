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

// Forwards raw bytes, and pauses on request as the read path does for an answer that comes later.
class HookedIncoming : public IncomingConnection {
public:
    using IncomingConnection::IncomingConnection;
    ReadResult conRead() override {
        ++reads;
        if (pauseNext.exchange(false)) {
            queryCallback_.setWaiting(true);
            return ReadResult::Paused;
        }
        return forwardRead();
    }
    std::atomic<int> reads{0};
    std::atomic<bool> pauseNext{false};
};

// A client and the server it reaches, over loopback, and the hooked incoming side between them.
struct Ends {
    Fd client, server;
    HookedIncoming* in = nullptr;
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
    // Shutdown during a wait, with connections held, ends run; a hung thread is left behind
    // rather than waited for.
    void TearDown() override {
        if (thread.joinable()) {
            handler->shutdown();
            const bool ended = done.get_future().wait_for(10s) == std::future_status::ready;
            EXPECT_TRUE(ended) << "run() did not return after shutdown";
            ended ? thread.join() : thread.detach();
        }
    }
    // A pair made for a new client, adopted by the handler.
    Ends newPair(const std::string& tag) {
        Ends ends;
        Fd accepted, connected;
        EXPECT_TRUE(testing_support::socketPair(accepted, ends.client) &&
                    testing_support::socketPair(connected, ends.server));
        std::unique_ptr<IncomingConnection> in =
            std::make_unique<HookedIncoming>(accepted.release(), "app", "fd00::1", 80);
        std::unique_ptr<OutgoingConnection> out =
            std::make_unique<testing_support::PeerOutgoing>(connected.release());
        in->setTag(tag + "-in");
        ends.in = static_cast<HookedIncoming*>(in.get());
        handler->adopt(in, out);
        return ends;
    }

    testing_support::RecordingLogger log;
    std::unique_ptr<io::ConnectionMultiplexer> multiplexer = io::ConnectionMultiplexer::create();
    std::unique_ptr<io::ConnectionHandler> handler =
        std::make_unique<io::ConnectionHandler>(multiplexer.get());
    std::promise<void> done;
    std::thread thread;
};

TEST_F(ConnectionHandlerTest, LargeTransfersBothWaysAgainstSlowReaders) {
    Ends pair = newPair("bulk");
    // Each reader starts once a few MiB of its stream are in flight, so the proxy's queues fill
    // to their high mark and it has to stop and resume reading while a reader lags behind:
    // small odd pieces, a pause every MiB, every byte checked.
    constexpr uint64_t total = 64ull << 20;
    auto send = [](int fd, uint32_t stream, std::atomic<uint64_t>& written) {
        while (written < total &&
               testing_support::writeAll(fd, pattern(written, 1 << 20, stream))) {
            written += 1 << 20;
        }
    };
    auto receive = [](int fd, uint32_t stream, std::atomic<uint64_t>& written,
                      std::string& result) {
        if (!eventually([&] { return written >= total / 32; }, 60s)) {
            result = "the writer stalled";
        }
        std::string got;
        for (uint64_t offset = 0; offset < total && result.empty(); offset += got.size()) {
            const uint64_t length = std::min<uint64_t>(3001, total - offset);
            if (!testing_support::readExactly(fd, got, length) ||
                got != pattern(offset, length, stream)) {
                result = "stalled or wrong bytes after " + std::to_string(offset);
            }
            if (offset % (1 << 20) < length) {
                std::this_thread::sleep_for(1ms);
            }
        }
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
}

TEST_F(ConnectionHandlerTest, DispatchPicksTheLeastLoadedHandler) {
    auto in = std::make_unique<IncomingConnection>(-1, "app", "fd00::1", 1);
    std::unique_ptr<OutgoingConnection> out = std::make_unique<testing_support::PeerOutgoing>(-1);
    io::ConnectionDispatcher dispatcher;
    dispatcher.dispatch(in, out);
    EXPECT_TRUE(in != nullptr && out != nullptr) << "without handlers the caller keeps the pair";

    using testing_support::RecordingHandler;
    RecordingHandler handlers[] = {RecordingHandler(4), RecordingHandler(2), RecordingHandler(2)};
    for (auto& h : handlers) {
        dispatcher.addHandler(&h);
    }
    dispatcher.dispatch(in, out);
    EXPECT_TRUE(in == nullptr && out == nullptr);
    EXPECT_EQ(handlers[1].adopted.size(), 2u);
    EXPECT_TRUE(log.contains(": INFO    : Active connection pair count : 5"));
}

TEST_F(ConnectionHandlerTest, PausedConnectionIsDeletedOnlyOnceItsAnswerCame) {
    Ends pair = newPair("paused");
    Ends witness = newPair("witness");
    HookedIncoming* in = pair.in;
    in->pauseNext = true;

    // While paused for an answer, a reset by the server still closes the pair, but the
    // connection is kept.
    ASSERT_TRUE(testing_support::writeAll(pair.client.get(), "hello"));
    ASSERT_TRUE(eventually([&] { return in->reads == 1; }));
    const linger reset{1, 0};
    setsockopt(pair.server.get(), SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
    pair.server.reset();
    EXPECT_TRUE(testing_support::seesEndOfStream(pair.client.get()));
    ASSERT_TRUE(eventually(
        [&] { return log.contains("Connections with outstanding queries not deleted : 1"); }));
    // An async event for the disconnected connection is skipped; the one queued behind it for
    // a live connection shows that the batch was handled.
    handler->postAsyncEvent(in);
    handler->postAsyncEvent(witness.in);
    ASSERT_TRUE(eventually([&] { return log.contains("Handling async event : witness-in"); }));
    EXPECT_EQ(in->reads, 1);
    EXPECT_EQ(handler->connectionCount(), 3u);

    in->queryCallback().response(false);
    EXPECT_TRUE(eventually([&] { return handler->connectionCount() == 2; }));
}

}  // namespace
