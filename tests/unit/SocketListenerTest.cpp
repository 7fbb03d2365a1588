// The listener on a real loopback listening socket and the real epoll multiplexer.
#include "io/SocketListener.h"

#include <fcntl.h>

#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "RecordingLogger.h"
#include "os/SocketHelpers.h"

namespace {

using namespace std::chrono_literals;

uint16_t localPort(int descriptor) {
    sockaddr_in6 address{};
    socklen_t length = sizeof(address);
    getsockname(descriptor, reinterpret_cast<sockaddr*>(&address), &length);
    return os::portOf(address);
}

TEST(SocketListenerTest, QueuesClientsInArrivalOrderAndShutdownEndsTheWaitClosingTheSocketOnce) {
    testing_support::RecordingLogger logger;
    sockaddr_in6 address{AF_INET6, 0, 0, in6addr_loopback, 0};
    int listening = os::createSocket();
    ASSERT_EQ(os::bindSocket(listening, address), 0);
    address.sin6_port = htons(localPort(listening));
    ASSERT_EQ(os::listenSocket(listening, 16), 0);
    auto multiplexer = io::ConnectionMultiplexer::create();
    io::PendingConnectionQueue queue;
    io::SocketListener listener(listening, &queue, multiplexer.get());
    ASSERT_TRUE(listener.isRegistered());
    auto running = std::async(std::launch::async, [&] { listener.run(); });

    std::vector<int> clients(3);
    for (int& client : clients) {
        client = os::createSocket();
        ASSERT_EQ(os::connectSocket(client, &address, sizeof(address)), 0);
    }
    // Shut down only once the listener waits again with nothing left to accept.
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while ((queue.size() < 3 || logger.count("waiting for socket event") < 4) &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
    }
    listener.shutdown();
    ASSERT_EQ(running.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(listener.socketClosed());
    EXPECT_EQ(fcntl(listening, F_GETFD), -1);
    EXPECT_EQ(logger.count("SocketListener shutting down"), 1u);
    EXPECT_EQ(logger.count("Error closing file descriptor"), 0u);

    ASSERT_EQ(queue.size(), 3u);
    for (int client : clients) {
        io::PendingConnection element;
        ASSERT_TRUE(queue.take(element));
        EXPECT_EQ(os::portOf(element.address), localPort(client));
        os::closeSocket(element.descriptor);
        os::closeSocket(client);
    }
}

TEST(SocketListenerTest, UnregisteredListenerReturnsAtOnce) {
    testing_support::RecordingLogger logger;
    io::PendingConnectionQueue queue;
    auto multiplexer = io::ConnectionMultiplexer::create();
    io::SocketListener listener(-1, &queue, multiplexer.get());
    EXPECT_FALSE(listener.isRegistered());
    listener.run();
    EXPECT_FALSE(logger.contains("waiting for socket event"));
}

}  // namespace
