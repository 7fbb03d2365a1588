#include "io/ConnectionHandler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>

#include "ConnectionTestSupport.h"
#include "RecordingLogger.h"
#include "io/ConnectionDispatcher.h"

namespace {

using connection::IncomingConnection;
using connection::OutgoingConnection;
using connection::ReadResult;
using testing_support::eventually;
using testing_support::Fd;
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

// A new pair must go to the handler with the fewest connections; without handlers the caller
// keeps it.
TEST_F(ConnectionHandlerTest, DispatchPicksTheLeastLoadedHandler) {
    auto in = std::make_unique<IncomingConnection>(-1, "app", "fd00::1", 1);
    std::unique_ptr<OutgoingConnection> out = std::make_unique<testing_support::PeerOutgoing>(-1);
    io::ConnectionDispatcher dispatcher;
    dispatcher.dispatch(in, out);
    EXPECT_TRUE(in != nullptr && out != nullptr);

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

// A connection waiting for an answer must outlive its pair's close until the answer came, since
// the answer's thread still holds it; its queued events must be skipped meanwhile.
TEST_F(ConnectionHandlerTest, PausedConnectionIsDeletedOnlyOnceItsAnswerCame) {
    Ends pair = newPair("paused");
    Ends witness = newPair("witness");
    HookedIncoming* in = pair.in;
    in->pauseNext = true;

    ASSERT_TRUE(testing_support::writeAll(pair.client.get(), "hello"));
    ASSERT_TRUE(eventually([&] { return in->reads == 1; }));
    const linger reset{1, 0};
    setsockopt(pair.server.get(), SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
    pair.server.reset();
    EXPECT_TRUE(testing_support::seesEndOfStream(pair.client.get()));
    ASSERT_TRUE(eventually(
        [&] { return log.contains("Connections with outstanding queries not deleted : 1"); }));
    // The live connection's event behind it shows that the batch was handled.
    handler->postAsyncEvent(in);
    handler->postAsyncEvent(witness.in);
    ASSERT_TRUE(eventually([&] { return log.contains("Handling async event : witness-in"); }));
    EXPECT_EQ(in->reads, 1);
    EXPECT_EQ(handler->connectionCount(), 3u);

    in->queryCallback().response(false);
    EXPECT_TRUE(eventually([&] { return handler->connectionCount() == 2; }));
}

}  // namespace
