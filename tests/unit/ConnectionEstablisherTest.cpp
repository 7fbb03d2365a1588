#include "io/ConnectionEstablisher.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <future>

#include "ConnectionTestSupport.h"
#include "RecordingLogger.h"

// Left to test_access.py and test_tls.py: security levels, unidentified and direct clients.
namespace {

using namespace std::chrono_literals;
using io::ConnectionEstablisher;
using testing_support::Fd;

struct RecordingDispatcher : io::ConnectionDispatcherBase {
    void dispatch(std::unique_ptr<connection::IncomingConnection>&,
                  std::unique_ptr<connection::OutgoingConnection>&) override {
        ++dispatched;
    }
    int dispatched = 0;
};

// End of file or a reset from the other end, within a bounded wait.
bool closedByPeer(int fd) {
    char byte;
    return testing_support::waitFor(fd, POLLIN) && recv(fd, &byte, 1, MSG_DONTWAIT) <= 0;
}

// A socket without an original destination (as a socketpair has none) must be closed before any
// connection object exists; a stop must win over queued connections, which the queue then closes.
TEST(ConnectionEstablisherTest, ClosesWhatHasNoOriginalDestinationAndStopWinsOverQueuedElements) {
    testing_support::RecordingLogger logger;
    RecordingDispatcher dispatcher;
    peer::PidResolver resolver(
        {[](const sockaddr_in6&, const sockaddr_in6&, uint32_t&) { return std::string("1"); },
         [](int32_t, const std::string&, int&, bool) { return peer::Holding::DoesNotHold; },
         [](const std::string&, uint32_t, const std::vector<int32_t>&, int&) { return -1; },
         {}});
    Fd near[2], far[2];
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(testing_support::socketPair(near[i], far[i], true));
    }
    {
        io::PendingConnectionQueue queue;
        ConnectionEstablisher establisher(queue, dispatcher, nullptr, resolver, {});
        auto running = std::async(std::launch::async, [&] { establisher.runReverse(); });
        queue.push({{}, sizeof(sockaddr_in6), near[0].release()});
        EXPECT_TRUE(closedByPeer(far[0].get()));
        EXPECT_TRUE(logger.contains("could not get original destination of connection"));
        queue.requestStop();
        ASSERT_EQ(running.wait_for(10s), std::future_status::ready);
        queue.push({{}, sizeof(sockaddr_in6), near[1].release()});
        establisher.runForward();
        EXPECT_EQ(queue.size(), 1u) << "taken after the stop";
    }
    EXPECT_TRUE(closedByPeer(far[1].get()));
    EXPECT_EQ(dispatcher.dispatched, 0);
    EXPECT_EQ(logger.count("Error closing file descriptor"), 0u);
}

}  // namespace
