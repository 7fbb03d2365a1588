// The socket listener on a real loopback listening socket and the real epoll multiplexer.
#include "io/SocketListener.h"

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

bool isOpen(int descriptor) {
    return fcntl(descriptor, F_GETFD) != -1;
}

// A non-blocking listening socket on [::1] with a port of the kernel's choice, a multiplexer and
// a queue, as the proxy sets them up for its listener.
struct ListenerSetUp {
    ListenerSetUp() {
        address.sin6_family = AF_INET6;
        address.sin6_addr = in6addr_loopback;
        socklen_t length = sizeof(address);
        os::bindSocket(socket, address);
        getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length);
        os::setNonBlocking(socket);
        os::listenSocket(socket, 16);
    }
    int connectClient() {
        int client = os::createSocket();
        return os::connectSocket(client, &address, sizeof(address)) == 0 ? client : -1;
    }
    std::future<void> start() {
        return std::async(std::launch::async, [this] { listener.run(); });
    }
    bool waitFor(const std::function<bool()>& condition) {
        for (auto deadline = std::chrono::steady_clock::now() + 10s; !condition();) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(5ms);
        }
        return true;
    }

    testing_support::RecordingLogger logger;
    int socket = os::createSocket();
    sockaddr_in6 address{};
    std::unique_ptr<io::ConnectionMultiplexer> multiplexer = io::ConnectionMultiplexer::create();
    io::PendingConnectionQueue queue;
    io::SocketListener listener{socket, &queue, multiplexer.get()};
};

TEST(SocketListenerTest, AcceptsEachClientIntoTheQueueInArrivalOrder) {
    ListenerSetUp setUp;
    ASSERT_TRUE(setUp.listener.isRegistered());
    std::future<void> running = setUp.start();
    std::vector<int> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(setUp.connectClient());
    }
    ASSERT_TRUE(setUp.waitFor([&] { return setUp.queue.size() == 3; }));
    setUp.listener.shutdown();
    ASSERT_EQ(running.wait_for(10s), std::future_status::ready);

    for (int client : clients) {
        sockaddr_in6 clientAddress{};
        socklen_t length = sizeof(clientAddress);
        getsockname(client, reinterpret_cast<sockaddr*>(&clientAddress), &length);
        io::PendingConnection element;
        ASSERT_TRUE(setUp.queue.take(element));
        EXPECT_EQ(element.addressLength, sizeof(sockaddr_in6));
        EXPECT_EQ(os::portOf(element.address), os::portOf(clientAddress));
        // The element's descriptor is the server end of this very client.
        char byte = 0;
        ASSERT_EQ(write(client, "x", 1), 1);
        EXPECT_EQ(recv(element.descriptor, &byte, 1, 0), 1);
        os::closeSocket(element.descriptor);
        os::closeSocket(client);
    }
    EXPECT_EQ(setUp.logger.count("SocketListener accepted new connection"), 3u);
}

TEST(SocketListenerTest, ShutdownWhileWaitingEndsRunAndClosesTheSocketOnce) {
    ListenerSetUp setUp;
    std::future<void> running = setUp.start();
    ASSERT_TRUE(setUp.waitFor([&] { return setUp.logger.contains("waiting for socket event"); }));
    setUp.listener.shutdown();
    ASSERT_EQ(running.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(setUp.listener.socketClosed());
    EXPECT_FALSE(isOpen(setUp.socket));
    EXPECT_EQ(setUp.logger.count("SocketListener shutting down"), 1u);
    EXPECT_EQ(setUp.logger.count("Error closing file descriptor"), 0u);
    EXPECT_EQ(setUp.connectClient(), -1) << "nobody listens any more";
}

TEST(SocketListenerTest, UnregisteredListenerReturnsAtOnceAndLeavesTheSocketAlone) {
    ListenerSetUp setUp;
    {
        auto multiplexer = io::ConnectionMultiplexer::create();
        io::SocketListener invalid(-1, &setUp.queue, multiplexer.get());
        EXPECT_FALSE(invalid.isRegistered());
        EXPECT_TRUE(setUp.logger.contains("Failed to add listening socket to epoll"));
        invalid.run();
        EXPECT_TRUE(setUp.logger.contains("SocketListener running"));
        EXPECT_FALSE(setUp.logger.contains("waiting for socket event"));
    }
    EXPECT_EQ(setUp.logger.count("SocketListener destructor called before shutdown"), 1u);

    // Without a multiplexer nothing is registered; the socket stays open for its owner to close.
    io::SocketListener unregistered(setUp.socket, &setUp.queue, nullptr);
    EXPECT_FALSE(unregistered.isRegistered());
    unregistered.run();
    unregistered.shutdown();
    EXPECT_FALSE(unregistered.socketClosed());
    EXPECT_TRUE(isOpen(setUp.socket));
    setUp.listener.shutdown();
    os::closeSocket(setUp.socket);
}

}  // namespace
