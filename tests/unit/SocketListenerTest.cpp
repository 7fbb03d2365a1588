#include "io/SocketListener.h"

#include <fcntl.h>

#include <chrono>
#include <future>
#include <vector>

#include <gtest/gtest.h>

#include "ConnectionTestSupport.h"
#include "RecordingLogger.h"
#include "os/SocketHelpers.h"

namespace {

using namespace std::chrono_literals;

// Clients must be queued in the order they came, each with its own address, and shutdown must end
// the wait and close the listening socket once.
TEST(SocketListenerTest, QueuesClientsInArrivalOrderAndShutdownEndsTheWaitClosingTheSocketOnce) {
    testing_support::RecordingLogger logger;
    sockaddr_in6 address;
    const int listening = testing_support::listenLoopback(address).release();
    auto multiplexer = io::ConnectionMultiplexer::create();
    io::PendingConnectionQueue queue;
    io::SocketListener listener(listening, &queue, multiplexer.get());
    ASSERT_TRUE(listener.isRegistered());
    auto running = std::async(std::launch::async, [&] { listener.run(); });

    testing_support::Fd clients[3];
    for (auto& client : clients) {
        client.reset(socket(AF_INET6, SOCK_STREAM, 0));
        ASSERT_EQ(connect(client.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    }
    // Shut down only once the listener waits again with nothing left to accept.
    EXPECT_TRUE(testing_support::eventually([&] {
        const auto texts = logger.texts();
        return queue.size() == 3 && !texts.empty() &&
               texts.back().find("waiting for socket event") != std::string::npos;
    }));
    listener.shutdown();
    ASSERT_EQ(running.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(listener.socketClosed());
    EXPECT_EQ(fcntl(listening, F_GETFD), -1);
    EXPECT_EQ(logger.count("Error closing file descriptor"), 0u);

    ASSERT_EQ(queue.size(), 3u);
    for (const auto& client : clients) {
        io::PendingConnection element;
        ASSERT_TRUE(queue.take(element));
        sockaddr_in6 local{};
        socklen_t length = sizeof(local);
        getsockname(client.get(), reinterpret_cast<sockaddr*>(&local), &length);
        EXPECT_EQ(os::portOf(element.address), os::portOf(local));
        os::closeSocket(element.descriptor);
    }
}

// While peers keep the queue full, every connection an establisher takes makes room for exactly
// one more: that must not start a new episode (and a new pair of warnings) each time.
TEST(SocketListenerTest, AQueueKeptFullIsReportedOncePerEpisode) {
    testing_support::RecordingLogger logger;
    sockaddr_in6 address;
    const int listening = testing_support::listenLoopback(address).release();
    auto multiplexer = io::ConnectionMultiplexer::create();
    io::PendingConnectionQueue queue(1);
    io::SocketListener listener(listening, &queue, multiplexer.get());
    auto running = std::async(std::launch::async, [&] { listener.run(); });

    std::vector<testing_support::Fd> clients;
    auto connectClients = [&](size_t count) {
        for (size_t i = 0; i < count; ++i) {
            clients.emplace_back(socket(AF_INET6, SOCK_STREAM, 0));
            ASSERT_EQ(connect(clients.back().get(), reinterpret_cast<sockaddr*>(&address),
                              sizeof(address)),
                      0);
        }
        EXPECT_TRUE(testing_support::eventually(
            [&] { return logger.count("accepted new connection") == clients.size(); }));
    };
    connectClients(3);
    for (int round = 0; round < 3; ++round) {
        io::PendingConnection element;
        ASSERT_TRUE(queue.take(element));
        os::closeSocket(element.descriptor);
        connectClients(2);
    }
    EXPECT_EQ(logger.count("Pending connection queue full"), 1u);
    EXPECT_EQ(logger.count("has room again"), 0u);
    listener.shutdown();
    ASSERT_EQ(running.wait_for(10s), std::future_status::ready);
}

}  // namespace
