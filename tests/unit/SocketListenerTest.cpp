// The socket listener on a real loopback listening socket and the real epoll multiplexer.
#include "io/SocketListener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "RecordingLogger.h"
#include "os/SocketHelpers.h"

namespace {

using namespace std::chrono_literals;

template <typename Predicate>
bool waitUntil(Predicate predicate) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

bool isOpen(int descriptor) {
    return fcntl(descriptor, F_GETFD) != -1;
}

// A non-blocking listening socket on [::1] with a port of the kernel's choice, as the proxy
// makes its own.
struct LoopbackListener {
    LoopbackListener() {
        descriptor = os::createSocket();
        address.sin6_family = AF_INET6;
        address.sin6_addr = in6addr_loopback;
        socklen_t length = sizeof(address);
        os::bindSocket(descriptor, address);
        getsockname(descriptor, reinterpret_cast<sockaddr*>(&address), &length);
        os::setNonBlocking(descriptor);
        os::listenSocket(descriptor, 16);
    }
    int connectClient() const {
        int client = os::createSocket();
        return os::connectSocket(client, &address, sizeof(address)) == 0 ? client : -1;
    }
    int descriptor;
    sockaddr_in6 address{};
};

// Runs the listener's loop on a thread of its own; the destructor stops and joins it.
struct ListenerThread {
    explicit ListenerThread(io::SocketListener& listener)
        : listener(listener), done(std::async(std::launch::async, [&] { listener.run(); })) {}
    ~ListenerThread() { stop(); }
    bool stop() {
        listener.shutdown();
        return done.wait_for(10s) == std::future_status::ready;
    }
    io::SocketListener& listener;
    std::future<void> done;
};

TEST(SocketListenerTest, AcceptsEachClientIntoTheQueueInArrivalOrder) {
    testing_support::RecordingLogger logger;
    LoopbackListener socket;
    auto multiplexer = io::ConnectionMultiplexer::create();
    io::PendingConnectionQueue queue;
    io::SocketListener listener(socket.descriptor, &queue, multiplexer.get());
    ASSERT_TRUE(listener.isRegistered());
    ListenerThread thread(listener);

    std::vector<int> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(socket.connectClient());
        ASSERT_NE(clients.back(), -1);
    }
    ASSERT_TRUE(waitUntil([&] { return queue.size() == 3; }));
    ASSERT_TRUE(thread.stop());

    for (int client : clients) {
        sockaddr_in6 clientAddress{};
        socklen_t length = sizeof(clientAddress);
        getsockname(client, reinterpret_cast<sockaddr*>(&clientAddress), &length);
        io::PendingConnection element;
        ASSERT_TRUE(queue.take(element));
        EXPECT_EQ(element.addressLength, sizeof(sockaddr_in6));
        EXPECT_EQ(os::portOf(element.address), os::portOf(clientAddress));
        EXPECT_EQ(os::addressToString(element.address), "::1");
        // The element's descriptor is the server end of this very client.
        ASSERT_EQ(write(client, "x", 1), 1);
        char byte = 0;
        EXPECT_EQ(recv(element.descriptor, &byte, 1, 0), 1);
        os::closeSocket(element.descriptor);
        os::closeSocket(client);
    }
    EXPECT_EQ(logger.count("SocketListener accepted new connection"), 3u);
    EXPECT_EQ(logger.count("Error while accepting connection"), 0u);
}

TEST(SocketListenerTest, ShutdownWhileWaitingEndsRunAndClosesTheSocketOnce) {
    testing_support::RecordingLogger logger;
    LoopbackListener socket;
    auto multiplexer = io::ConnectionMultiplexer::create();
    io::PendingConnectionQueue queue;
    io::SocketListener listener(socket.descriptor, &queue, multiplexer.get());
    {
        ListenerThread thread(listener);
        ASSERT_TRUE(waitUntil([&] { return logger.contains("waiting for socket event"); }));
        ASSERT_TRUE(thread.stop());
    }
    EXPECT_TRUE(listener.socketClosed());
    EXPECT_FALSE(isOpen(socket.descriptor));
    EXPECT_EQ(logger.count("SocketListener shutting down"), 1u);
    EXPECT_EQ(logger.count("Error closing file descriptor"), 0u);
    EXPECT_EQ(queue.size(), 0u);
    EXPECT_EQ(socket.connectClient(), -1) << "nobody listens any more";
}

TEST(SocketListenerTest, UnregisteredListenerReturnsAtOnceAndLeavesTheSocketAlone) {
    testing_support::RecordingLogger logger;
    io::PendingConnectionQueue queue;
    auto multiplexer = io::ConnectionMultiplexer::create();
    {
        io::SocketListener listener(-1, &queue, multiplexer.get());
        EXPECT_FALSE(listener.isRegistered());
        EXPECT_TRUE(logger.contains("Failed to add listening socket to epoll"));
        listener.run();
        EXPECT_TRUE(logger.contains("SocketListener running"));
        EXPECT_FALSE(logger.contains("waiting for socket event"));
        EXPECT_FALSE(listener.socketClosed());
    }
    EXPECT_EQ(logger.count("SocketListener destructor called before shutdown"), 1u);

    // Without a multiplexer nothing can be registered; the socket stays open for its owner.
    LoopbackListener socket;
    io::SocketListener listener(socket.descriptor, &queue, nullptr);
    EXPECT_FALSE(listener.isRegistered());
    listener.run();
    listener.shutdown();
    EXPECT_TRUE(isOpen(socket.descriptor));
    os::closeSocket(socket.descriptor);
}

}  // namespace
