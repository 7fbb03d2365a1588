#include "io/ConnectionMultiplexer.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "RecordingLogger.h"
#include "connection/Connection.h"
#include "io/ConnectionMultiplexerLinux.h"
#include "os/SocketHelpers.h"

namespace {

using io::ConnectionMultiplexer;
using io::MultiplexerEvent;
using testing_support::RecordingLogger;

// A connected socket pair: `near` is what the multiplexer watches, `far` drives it.
struct SocketPair {
    int near = -1;
    int far = -1;
    SocketPair() {
        int ends[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, ends) == 0) {
            near = ends[0];
            far = ends[1];
        }
    }
    ~SocketPair() {
        closeNear();
        closeFar();
    }
    void closeNear() {
        if (near >= 0) {
            close(near);
        }
        near = -1;
    }
    void closeFar() {
        if (far >= 0) {
            close(far);
        }
        far = -1;
    }
    void makeReadable() const { ASSERT_EQ(write(far, "x", 1), 1); }
};

// The smallest real connection: the multiplexer only needs its socket and tag.
class TestConnection : public connection::Connection {
public:
    TestConnection(int socket, const std::string& tag) : Connection(socket) { setTag(tag); }
    connection::ReadResult conRead() override { return connection::ReadResult::Done; }
    void disconnect() override {}
};

std::unique_ptr<ConnectionMultiplexer> makeMultiplexer() {
    auto multiplexer = ConnectionMultiplexer::create();
    EXPECT_NE(multiplexer, nullptr);
    return multiplexer;
}

// nextEvent() with a bound: a test that would otherwise hang fails instead, after waking the
// stuck thread so that it can be joined.
MultiplexerEvent nextEventWithin(ConnectionMultiplexer& multiplexer,
                                 std::chrono::seconds bound = std::chrono::seconds(10)) {
    auto pending = std::async(std::launch::async, [&] { return multiplexer.nextEvent(); });
    if (pending.wait_for(bound) != std::future_status::ready) {
        ADD_FAILURE() << "nextEvent did not return in time";
        multiplexer.interrupt();
    }
    return pending.get();
}

const MultiplexerEvent INTERRUPTION{nullptr, 0};

TEST(ConnectionMultiplexerTest, EventsOfOneWaitAreHandedOutLastFirst) {
    auto multiplexer = makeMultiplexer();
    ASSERT_NE(multiplexer, nullptr);
    SocketPair pairs[3];
    std::vector<std::unique_ptr<TestConnection>> connections;
    // A second epoll instance over the same sockets shows the order in which epoll lists them.
    const int reference = epoll_create1(0);
    ASSERT_GE(reference, 0);
    for (int i = 0; i < 3; ++i) {
        ASSERT_GE(pairs[i].near, 0);
        connections.push_back(
            std::make_unique<TestConnection>(pairs[i].near, "c" + std::to_string(i)));
        ASSERT_TRUE(multiplexer->addConnection(connections.back().get(), io::EVENTS_DEFAULT));
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = static_cast<uint64_t>(i);
        ASSERT_EQ(epoll_ctl(reference, EPOLL_CTL_ADD, pairs[i].near, &event), 0);
    }
    for (auto& pair : pairs) {
        pair.makeReadable();
    }
    epoll_event listed[3];
    ASSERT_EQ(epoll_wait(reference, listed, 3, 5000), 3);
    close(reference);

    for (int i = 2; i >= 0; --i) {
        const auto event = nextEventWithin(*multiplexer);
        EXPECT_EQ(event.first, connections[listed[i].data.u64].get()) << "position " << i;
        EXPECT_EQ(event.second, io::EVENT_INPUT);
    }

    // Level-triggered: unread data is reported again by the next wait.
    const auto again = nextEventWithin(*multiplexer);
    EXPECT_NE(again.first, nullptr);
    EXPECT_EQ(again.second, io::EVENT_INPUT);
}

TEST(ConnectionMultiplexerTest, EveryInterruptIsOneWakeUp) {
    RecordingLogger logger;
    auto multiplexer = makeMultiplexer();
    ASSERT_NE(multiplexer, nullptr);

    // While the owner is blocked.
    auto blocked = std::async(std::launch::async, [&] { return multiplexer->nextEvent(); });
    multiplexer->interrupt();
    ASSERT_EQ(blocked.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(blocked.get(), INTERRUPTION);

    // Before the owner waits: exactly as many wake-ups as interrupts, then the real event.
    constexpr int INTERRUPTS = 3;
    for (int i = 0; i < INTERRUPTS; ++i) {
        multiplexer->interrupt();
    }
    for (int i = 0; i < INTERRUPTS; ++i) {
        EXPECT_EQ(nextEventWithin(*multiplexer), INTERRUPTION) << "wake-up " << i;
    }
    SocketPair pair;
    TestConnection connection(pair.near, "c");
    ASSERT_TRUE(multiplexer->addConnection(&connection, io::EVENTS_DEFAULT));
    pair.makeReadable();
    EXPECT_EQ(nextEventWithin(*multiplexer), (MultiplexerEvent{&connection, io::EVENT_INPUT}));

    // From other threads at once.
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&] { multiplexer->interrupt(); });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    char drain;
    ASSERT_EQ(read(pair.near, &drain, 1), 1);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(nextEventWithin(*multiplexer), INTERRUPTION);
    }

    EXPECT_EQ(logger.count("interruption pipe"), 0u);
    EXPECT_EQ(logger.count("writing pipe"), 0u);
    EXPECT_EQ(logger.count("[FP] : DEBUG   : Creating connection multiplexer"), 1u);
}

void ignoreSignal(int) {}

TEST(ConnectionMultiplexerTest, SignalDuringWaitIsOneEmptyEvent) {
    RecordingLogger logger;
    auto multiplexer = makeMultiplexer();
    ASSERT_NE(multiplexer, nullptr);
    struct sigaction action {};
    struct sigaction saved {};
    action.sa_handler = ignoreSignal;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &action, &saved), 0);

    std::promise<MultiplexerEvent> result;
    auto done = result.get_future();
    std::thread owner([&] { result.set_value(multiplexer->nextEvent()); });
    // A signal that lands before the thread enters the wait is lost, so keep sending until the
    // wait returns.
    for (int attempt = 0; attempt < 1000; ++attempt) {
        pthread_kill(owner.native_handle(), SIGUSR1);
        if (done.wait_for(std::chrono::milliseconds(10)) == std::future_status::ready) {
            break;
        }
    }
    if (done.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
        ADD_FAILURE() << "the signal did not end the wait";
        multiplexer->interrupt();
    }
    owner.join();
    sigaction(SIGUSR1, &saved, nullptr);
    EXPECT_EQ(done.get(), INTERRUPTION);
    EXPECT_EQ(logger.count(std::string("[FP] : ERROR   : Error during epoll_wait : errno : 4 : "
                                       "description : ") +
                           strerror(EINTR)),
              1u);

    // The multiplexer waits normally afterwards.
    logger.clear();
    multiplexer->interrupt();
    EXPECT_EQ(nextEventWithin(*multiplexer), INTERRUPTION);
    EXPECT_FALSE(logger.contains("ERROR"));
}

TEST(ConnectionMultiplexerTest, RemovedConnectionIsNeverHandedOutFromAnEarlierWait) {
    RecordingLogger logger;
    auto multiplexer = makeMultiplexer();
    ASSERT_NE(multiplexer, nullptr);
    SocketPair first, second;
    auto a = std::make_unique<TestConnection>(first.near, "a");
    auto b = std::make_unique<TestConnection>(second.near, "b");
    ASSERT_TRUE(multiplexer->addConnection(a.get(), io::EVENTS_DEFAULT));
    ASSERT_TRUE(multiplexer->addConnection(b.get(), io::EVENTS_DEFAULT));
    first.makeReadable();
    second.makeReadable();

    // One wait returns both; whichever comes first, the other one is still pending.
    const auto handedOut = nextEventWithin(*multiplexer);
    ASSERT_TRUE(handedOut.first == a.get() || handedOut.first == b.get());
    std::unique_ptr<TestConnection>& other = handedOut.first == a.get() ? b : a;
    const std::string otherTag = other->tag();
    multiplexer->removeConnection(other.get());
    // Deleted at once, as a handler does: any later use of its address is a fault.
    other.reset();

    logger.clear();
    EXPECT_EQ(nextEventWithin(*multiplexer), INTERRUPTION);
    // The blanked slot has no byte of its own in the pipe.
    EXPECT_EQ(logger.texts(),
              std::vector<std::string>{"[FP] : WARNING : unexpected result reading multiplexer "
                                       "interruption pipe : result : -1"});

    // The survivor is still reported, and the removed socket is not, though still readable.
    multiplexer->interrupt();
    const auto next = nextEventWithin(*multiplexer);
    const auto last = nextEventWithin(*multiplexer);
    std::vector<MultiplexerEvent> seen = {next, last};
    EXPECT_EQ(std::count(seen.begin(), seen.end(), INTERRUPTION), 1) << otherTag;
    EXPECT_EQ(
        std::count(seen.begin(), seen.end(), MultiplexerEvent{handedOut.first, io::EVENT_INPUT}),
        1);
}

TEST(ConnectionMultiplexerTest, RegistrationFailuresAreLogged) {
    RecordingLogger logger;
    auto multiplexer = makeMultiplexer();
    ASSERT_NE(multiplexer, nullptr);
    SocketPair pair;
    TestConnection connection(pair.near, "tag1");

    // Socket closed before removal: closing already took it out of epoll.
    ASSERT_TRUE(multiplexer->addConnection(&connection, io::EVENTS_DEFAULT));
    pair.closeNear();
    logger.clear();
    multiplexer->removeConnection(&connection);
    EXPECT_EQ(logger.texts(), std::vector<std::string>{"[FP] : DEBUG   : Removing connection "
                                                       "from epoll handling : connection : tag1"});

    // Never registered: a real failure.
    SocketPair unregistered;
    TestConnection stranger(unregistered.near, "tag2");
    logger.clear();
    multiplexer->removeConnection(&stranger);
    const std::string enoent = std::string(" : errno : 2 : description : ") + strerror(ENOENT);
    EXPECT_TRUE(logger.contains("[FP] : ERROR   : Removing connection from epoll handling failed" +
                                enoent + " : connection : tag2"));

    logger.clear();
    EXPECT_FALSE(multiplexer->modifyConnection(&stranger, io::EVENTS_WITH_OUTPUT));
    EXPECT_EQ(logger.texts(),
              std::vector<std::string>{"[FP] : ERROR   : Modifying connection in epoll handler "
                                       "failed" +
                                       enoent + " : connection : tag2"});

    ASSERT_TRUE(multiplexer->addConnection(&stranger, io::EVENTS_DEFAULT));
    logger.clear();
    EXPECT_FALSE(multiplexer->addConnection(&stranger, io::EVENTS_DEFAULT));
    EXPECT_EQ(logger.texts(), (std::vector<std::string>{
                                  "[FP] : DEBUG   : Adding connection to epoll : connection : tag2",
                                  std::string("[FP] : ERROR   : Failed to add connection to epoll "
                                              ": errno : 17 : description : ") +
                                      strerror(EEXIST) + " : connection : tag2",
                              }));
    EXPECT_TRUE(multiplexer->modifyConnection(&stranger, io::EVENTS_WITH_OUTPUT));
    EXPECT_EQ(nextEventWithin(*multiplexer), (MultiplexerEvent{&stranger, io::EVENT_OUTPUT}));
    multiplexer->removeConnection(&stranger);
}

TEST(ConnectionMultiplexerTest, HangUpIsReportedWithInput) {
    auto multiplexer = makeMultiplexer();
    ASSERT_NE(multiplexer, nullptr);

    // Peer closed: hang-up and input (the end of stream is readable).
    SocketPair closed;
    TestConnection closedConnection(closed.near, "closed");
    ASSERT_TRUE(multiplexer->addConnection(&closedConnection, io::EVENTS_DEFAULT));
    closed.closeFar();
    EXPECT_EQ(nextEventWithin(*multiplexer),
              (MultiplexerEvent{&closedConnection, io::EVENT_INPUT | io::EVENT_HANGUP}));
    multiplexer->removeConnection(&closedConnection);

    // Peer shut down its sending side only.
    SocketPair halfClosed;
    TestConnection halfConnection(halfClosed.near, "half");
    ASSERT_TRUE(multiplexer->addConnection(&halfConnection, io::EVENTS_DEFAULT));
    ASSERT_EQ(shutdown(halfClosed.far, SHUT_WR), 0);
    EXPECT_EQ(nextEventWithin(*multiplexer),
              (MultiplexerEvent{&halfConnection, io::EVENT_INPUT | io::EVENT_HANGUP}));
    multiplexer->removeConnection(&halfConnection);

    // Paused for an answer: only the hang-up is asked for, so only the hang-up comes.
    SocketPair paused;
    TestConnection pausedConnection(paused.near, "paused");
    ASSERT_TRUE(multiplexer->addConnection(&pausedConnection, io::EVENTS_PAUSED));
    paused.makeReadable();
    paused.closeFar();
    EXPECT_EQ(nextEventWithin(*multiplexer),
              (MultiplexerEvent{&pausedConnection, io::EVENT_HANGUP}));
    multiplexer->removeConnection(&pausedConnection);
}

TEST(ConnectionMultiplexerTest, OneListeningSocketSlot) {
    RecordingLogger logger;
    auto multiplexer = makeMultiplexer();
    ASSERT_NE(multiplexer, nullptr);
    EXPECT_EQ(multiplexer->removeListeningSocket(), -1);

    auto listening = [] {
        int fd = os::createSocket();
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_addr = in6addr_loopback;
        EXPECT_EQ(os::bindSocket(fd, address), 0);
        EXPECT_EQ(os::listenSocket(fd, 4), 0);
        return fd;
    };
    int first = listening();
    int second = listening();
    ASSERT_GE(first, 0);
    ASSERT_GE(second, 0);

    logger.clear();
    ASSERT_TRUE(multiplexer->addListeningSocket(first));
    EXPECT_FALSE(multiplexer->addListeningSocket(second));
    EXPECT_EQ(logger.texts(), std::vector<std::string>{"[FP] : DEBUG   : Adding listening socket "
                                                       "to epoll : fd : " +
                                                       std::to_string(first)});

    sockaddr_in6 address{};
    socklen_t length = sizeof(address);
    ASSERT_EQ(getsockname(first, reinterpret_cast<sockaddr*>(&address), &length), 0);
    int client = os::createSocket();
    ASSERT_EQ(os::connectSocket(client, &address, sizeof(address)), 0);
    EXPECT_EQ(nextEventWithin(*multiplexer), (MultiplexerEvent{nullptr, io::EVENT_NEW_CONNECTION}));

    EXPECT_EQ(multiplexer->removeListeningSocket(), first);
    EXPECT_EQ(multiplexer->removeListeningSocket(), -1);
    // Had the refused call reached epoll, this would now fail as already registered.
    logger.clear();
    EXPECT_TRUE(multiplexer->addListeningSocket(second));
    EXPECT_FALSE(logger.contains("ERROR"));

    // A failed removal still empties the slot and hands the descriptor back.
    os::closeSocket(second);
    logger.clear();
    EXPECT_EQ(multiplexer->removeListeningSocket(), second);
    EXPECT_TRUE(
        logger.contains("[FP] : ERROR   : Removing listening socket from epoll handling "
                        "failed : errno : 9"));
    EXPECT_TRUE(multiplexer->addListeningSocket(first));
    os::closeSocket(client);
    os::closeSocket(first);
}

// Lowers the descriptor limit for the scope of one test.
class DescriptorLimit {
public:
    explicit DescriptorLimit(rlim_t soft) {
        getrlimit(RLIMIT_NOFILE, &saved_);
        rlimit lowered = saved_;
        lowered.rlim_cur = soft;
        setrlimit(RLIMIT_NOFILE, &lowered);
    }
    ~DescriptorLimit() { setrlimit(RLIMIT_NOFILE, &saved_); }

private:
    rlimit saved_{};
};

int lowestFreeDescriptor() {
    const int fd = dup(0);
    close(fd);
    return fd;
}

TEST(ConnectionMultiplexerTest, FailedSetUpYieldsNoMultiplexerAndLeaksNothing) {
    RecordingLogger logger;
    // The undefined-behaviour sanitizer needs a pipe of its own the first time it checks an
    // object's dynamic type; let it check the multiplexer and the logger while descriptors are
    // still available.
    ASSERT_NE(ConnectionMultiplexer::create(), nullptr);
    logger.clear();
    const int lowest = lowestFreeDescriptor();
    ASSERT_GE(lowest, 0);
    {
        DescriptorLimit limit(static_cast<rlim_t>(lowest));
        EXPECT_EQ(ConnectionMultiplexer::create(), nullptr);
    }
    EXPECT_TRUE(logger.contains("[FP] : FATAL   : Could not create epoll : errno : 24"));

    logger.clear();
    {
        // Room for the epoll instance but not for the pipe.
        DescriptorLimit limit(static_cast<rlim_t>(lowest) + 1);
        EXPECT_EQ(ConnectionMultiplexer::create(), nullptr);
    }
    EXPECT_TRUE(logger.contains("[FP] : FATAL   : Could not create pipe : errno : 24"));
    EXPECT_TRUE(logger.contains("Destroying ConnectionMultiplexer"));
    EXPECT_EQ(lowestFreeDescriptor(), lowest) << "the epoll descriptor was not closed";

    {
        DescriptorLimit limit(static_cast<rlim_t>(lowest) + 3);
        EXPECT_NE(ConnectionMultiplexer::create(), nullptr);
    }
    EXPECT_EQ(lowestFreeDescriptor(), lowest);
}

}  // namespace
