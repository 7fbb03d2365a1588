#include "io/ConnectionMultiplexer.h"

#include <sys/epoll.h>

#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <string>
#include <vector>

#include "ConnectionTestSupport.h"
#include "RecordingLogger.h"
#include "connection/Connection.h"

namespace {

using io::MultiplexerEvent;
using testing_support::Fd;
using Texts = std::vector<std::string>;
const MultiplexerEvent NOTHING{nullptr, 0};

// The smallest real connection, on one end of a socketpair; the test drives the far end.
// Closing the near end keeps the number in the connection, as a closed connection does.
class Watched : public connection::Connection {
public:
    explicit Watched(const std::string& tag) : Connection(-1) {
        EXPECT_TRUE(testing_support::socketPair(near, far, true));
        socket_ = near.get();
        setTag(tag);
    }
    connection::ReadResult conRead() override { return connection::ReadResult::Done; }
    void disconnect() override {}
    void makeReadable() const { EXPECT_EQ(write(far.get(), "x", 1), 1); }
    MultiplexerEvent event(uint32_t flags) { return {this, flags}; }

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

TEST_F(ConnectionMultiplexerTest, EventsOfOneWaitAreHandedOutLastFirst) {
    std::vector<std::unique_ptr<Watched>> watched;
    // A second epoll instance over the same sockets shows the order in which epoll lists them.
    Fd reference(epoll_create1(0));
    for (uint64_t i = 0; i < 3; ++i) {
        watched.push_back(std::make_unique<Watched>("c" + std::to_string(i)));
        ASSERT_TRUE(multiplexer->addConnection(watched[i].get(), io::EVENTS_DEFAULT));
        epoll_event event{EPOLLIN, {.u64 = i}};
        ASSERT_EQ(epoll_ctl(reference.get(), EPOLL_CTL_ADD, watched[i]->socket(), &event), 0);
        watched[i]->makeReadable();
    }
    epoll_event listed[3];
    ASSERT_EQ(epoll_wait(reference.get(), listed, 3, 5000), 3);
    for (int i = 2; i >= 0; --i) {
        EXPECT_EQ(next(), watched[listed[i].data.u64]->event(io::EVENT_INPUT)) << "position " << i;
    }
    // Level-triggered: unread data is reported again by the next wait.
    EXPECT_EQ(next().second, io::EVENT_INPUT);
}

TEST_F(ConnectionMultiplexerTest, EveryInterruptIsOneWakeUp) {
    auto blocked = std::async(std::launch::async, [this] { return multiplexer->nextEvent(); });
    multiplexer->interrupt();
    ASSERT_EQ(blocked.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(blocked.get(), NOTHING);

    // Interrupts from several threads before the owner waits: one wake-up each, and no more.
    for (int i = 0; i < 4; ++i) {
        std::async(std::launch::async, [this] { multiplexer->interrupt(); }).wait();
    }
    Watched watched("c");
    ASSERT_TRUE(multiplexer->addConnection(&watched, io::EVENTS_DEFAULT));
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(next(), NOTHING) << "wake-up " << i;
    }
    watched.makeReadable();
    EXPECT_EQ(next(), watched.event(io::EVENT_INPUT));
    EXPECT_FALSE(logger.contains("WARNING") || logger.contains("ERROR"));
}

TEST_F(ConnectionMultiplexerTest, RemovedConnectionIsNeverHandedOutFromAnEarlierWait) {
    std::unique_ptr<Watched> pair[2] = {std::make_unique<Watched>("a"),
                                        std::make_unique<Watched>("b")};
    for (auto& watched : pair) {
        ASSERT_TRUE(multiplexer->addConnection(watched.get(), io::EVENTS_DEFAULT));
        watched->makeReadable();
    }
    // One wait returns both; whichever comes first, the other one is still pending.
    const MultiplexerEvent first = next();
    std::unique_ptr<Watched>& other = first.first == pair[0].get() ? pair[1] : pair[0];
    ASSERT_NE(first.first, other.get());
    multiplexer->removeConnection(other.get());
    // Deleted at once, as a handler does: any later use of its address is a fault.
    other.reset();
    logger.clear();
    EXPECT_EQ(next(), NOTHING);
    // The blanked slot has no byte of its own in the pipe.
    EXPECT_EQ(logger.texts(), Texts{"[FP] : WARNING : unexpected result reading multiplexer "
                                    "interruption pipe : result : -1"});
    EXPECT_EQ(next(), first);
}

TEST_F(ConnectionMultiplexerTest, RemovalAfterCloseLogsOnlyTheDebugLine) {
    Watched closed("tag1");
    ASSERT_TRUE(multiplexer->addConnection(&closed, io::EVENTS_DEFAULT));
    // Closing took the socket out of epoll already, so EBADF is expected.
    closed.near.reset();
    logger.clear();
    multiplexer->removeConnection(&closed);
    EXPECT_EQ(
        logger.texts(),
        Texts{"[FP] : DEBUG   : Removing connection from epoll handling : connection : tag1"});

    // A socket that was never registered is a real failure.
    Watched stranger("tag2");
    multiplexer->removeConnection(&stranger);
    EXPECT_TRUE(
        logger.contains(": ERROR   : Removing connection from epoll handling failed : "
                        "errno : 2 : description : " +
                        std::string(strerror(ENOENT)) + " : connection : tag2"));
}

TEST_F(ConnectionMultiplexerTest, HangUpIsReportedWithInput) {
    // A peer that stops sending is a hang-up with input (the end of the stream is readable).
    // Paused for an answer, only the hang-up is asked for, so only it comes, input or not.
    for (const uint32_t registered : {io::EVENTS_DEFAULT, io::EVENTS_PAUSED}) {
        Watched watched("w");
        ASSERT_TRUE(multiplexer->addConnection(&watched, registered));
        watched.makeReadable();
        ASSERT_EQ(shutdown(watched.far.get(), SHUT_WR), 0);
        EXPECT_EQ(next(), watched.event(registered)) << registered;
        multiplexer->removeConnection(&watched);
    }
}

TEST_F(ConnectionMultiplexerTest, SecondListeningSocketIsRefusedWithoutASystemCall) {
    EXPECT_EQ(multiplexer->removeListeningSocket(), -1);
    sockaddr_in6 address, unused;
    Fd first = testing_support::listenLoopback(address);
    Fd second = testing_support::listenLoopback(unused);
    ASSERT_TRUE(multiplexer->addListeningSocket(first.get()));
    logger.clear();
    EXPECT_FALSE(multiplexer->addListeningSocket(second.get()));
    EXPECT_TRUE(logger.texts().empty());
    Fd client(socket(AF_INET6, SOCK_STREAM, 0));
    ASSERT_EQ(connect(client.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    EXPECT_EQ(next(), (MultiplexerEvent{nullptr, io::EVENT_NEW_CONNECTION}));

    EXPECT_EQ(multiplexer->removeListeningSocket(), first.get());
    EXPECT_EQ(multiplexer->removeListeningSocket(), -1);
    // Had the refused call reached epoll, this would now fail as already registered.
    EXPECT_TRUE(multiplexer->addListeningSocket(second.get()));
    EXPECT_EQ(multiplexer->removeListeningSocket(), second.get());
    EXPECT_FALSE(logger.contains("ERROR"));
}

}  // namespace
