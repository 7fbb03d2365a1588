#include "io/ConnectionMultiplexer.h"

#include <gtest/gtest.h>

#include <future>

#include "ConnectionTestSupport.h"
#include "RecordingLogger.h"
#include "connection/Connection.h"

namespace {

using io::MultiplexerEvent;
using testing_support::Fd;
const MultiplexerEvent NOTHING{nullptr, 0};

// The smallest real connection, on one end of a socketpair whose far end the test drives.
class Watched : public connection::Connection {
public:
    Watched() : Connection(-1) {
        EXPECT_TRUE(testing_support::socketPair(near, far, true));
        socket_ = near.get();
        setTag("w");
    }
    connection::ReadResult conRead() override { return connection::ReadResult::Done; }
    void disconnect() override {}
    void makeReadable() const { EXPECT_EQ(write(far.get(), "x", 1), 1); }

    Fd near, far;
};

class ConnectionMultiplexerTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_NE(multiplexer, nullptr); }

    // nextEvent() with a bound: a hang fails the test and wakes the stuck thread to be joined.
    MultiplexerEvent next() {
        auto pending = std::async(std::launch::async, [this] { return multiplexer->nextEvent(); });
        if (pending.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
            ADD_FAILURE() << "nextEvent did not return in time";
            multiplexer->interrupt();
        }
        return pending.get();
    }

    testing_support::RecordingLogger logger;
    std::unique_ptr<io::ConnectionMultiplexer> multiplexer = io::ConnectionMultiplexer::create();
};

// Interrupts from other threads before the owner waits give one wake-up each and no more. A
// connection removed while an earlier wait's event for it is still pending is never handed out.
TEST_F(ConnectionMultiplexerTest, InterruptsAndRemovedConnectionsWakeWithoutAConnection) {
    for (int i = 0; i < 4; ++i) {
        std::async(std::launch::async, [this] { multiplexer->interrupt(); }).wait();
    }
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(next(), NOTHING) << "wake-up " << i;
    }
    std::unique_ptr<Watched> pair[2] = {std::make_unique<Watched>(), std::make_unique<Watched>()};
    for (auto& watched : pair) {
        ASSERT_TRUE(multiplexer->addConnection(watched.get(), io::EVENTS_DEFAULT));
        watched->makeReadable();
    }
    // One wait returns both; whichever comes first, the other one is still pending.
    const MultiplexerEvent first = next();
    ASSERT_NE(first.first, nullptr) << "a wake-up too many";
    std::unique_ptr<Watched>& other = first.first == pair[0].get() ? pair[1] : pair[0];
    multiplexer->removeConnection(other.get());
    other.reset();  // deleted at once, as a handler does: any later use of it is a fault
    EXPECT_EQ(next(), NOTHING);
    EXPECT_EQ(next(), first);
}

// A peer that stops sending is a hang-up with input (the end of the stream is readable); paused
// for an answer, only the hang-up is asked for, so only it comes. Closing the socket took it out
// of epoll already, so removal then meets EBADF and logs only the Debug line.
TEST_F(ConnectionMultiplexerTest, HangUpComesWithInputAndRemovalAfterCloseLogsOnlyDebug) {
    for (const uint32_t registered : {io::EVENTS_DEFAULT, io::EVENT_HANGUP}) {
        Watched watched;
        ASSERT_TRUE(multiplexer->addConnection(&watched, registered));
        watched.makeReadable();
        ASSERT_EQ(shutdown(watched.far.get(), SHUT_WR), 0);
        EXPECT_EQ(next(), MultiplexerEvent(&watched, registered)) << registered;
        watched.near.reset();
        logger.clear();
        multiplexer->removeConnection(&watched);
        EXPECT_EQ(logger.texts().size(), 1u);
        EXPECT_TRUE(
            logger.contains("DEBUG   : Removing connection from epoll handling : connection : w"));
    }
}

}  // namespace
