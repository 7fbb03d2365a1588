#include "connection/Connection.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "ConnectionTestSupport.h"
#include "RecordingLogger.h"
#include "connection/IncomingConnection.h"
#include "connection/OpenWebSocketRegistry.h"
#include "connection/OutgoingConnection.h"
#include "io/ConnectionHandlerBase.h"
#include "io/ConnectionMultiplexer.h"

namespace {

using connection::Connection;
using connection::IncomingConnection;
using connection::OutgoingConnection;
using connection::ReadResult;
using testing_support::Fd;
using testing_support::pattern;

// Stands in for the handler: records what the connections ask of it.
class RecordingHandler : public io::ConnectionHandlerBase {
public:
    void adopt(std::unique_ptr<IncomingConnection>&,
               std::unique_ptr<OutgoingConnection>&) override {}
    void removeConnection(Connection* connection) override { removed.push_back(connection); }
    bool modifyEvents(Connection*, uint32_t flags) override {
        events.push_back(flags);
        return true;
    }
    void postAsyncEvent(Connection* connection) override { posted.push_back(connection); }
    uint64_t connectionCount() const override { return 0; }

    std::vector<Connection*> removed;
    std::vector<uint32_t> events;
    std::vector<Connection*> posted;
};

// The real outgoing connection, counting the sends it tries.
class CountingOutgoing : public OutgoingConnection {
public:
    using OutgoingConnection::OutgoingConnection;
    int64_t rawSend(const char* data, uint32_t length) override {
        ++sends;
        return OutgoingConnection::rawSend(data, length);
    }
    int sends = 0;
};

// An incoming connection whose WebSocket upgrade has happened.
class UpgradedIncoming : public IncomingConnection {
public:
    using IncomingConnection::IncomingConnection;
    void markUpgraded() { websocket_ = true; }
};

// One outgoing connection over loopback and the far end of its socket, both with small
// buffers so that writes back up quickly.
struct OutgoingLink {
    testing_support::Listener listener = testing_support::makeListener();
    std::unique_ptr<CountingOutgoing> connection;
    Fd far;

    OutgoingLink() {
        if (!listener.ok) {
            return;
        }
        testing_support::setBufferSizes(listener.fd.get(), 0, 4096);
        connection = std::make_unique<CountingOutgoing>(&listener.address, &listener.length);
        far = testing_support::acceptOne(listener);
        testing_support::setBufferSizes(connection->socket(), 4096, 0);
        connection->setTag("out-test");
    }
    bool ok() const {
        return connection && connection->status() == Connection::StatusReady && far.get() >= 0;
    }
};

// An accepted socket wrapped as the establisher does (second constructor).
struct IncomingLink {
    testing_support::Listener listener = testing_support::makeListener();
    Fd client;
    std::unique_ptr<UpgradedIncoming> connection;

    explicit IncomingLink(const std::string& domain = "app", uint16_t port = 443) {
        if (!listener.ok) {
            return;
        }
        client = testing_support::connectTo(listener);
        Fd accepted = testing_support::acceptOne(listener);
        if (accepted.get() < 0) {
            return;
        }
        testing_support::makeNonBlocking(accepted.get());
        connection = std::make_unique<UpgradedIncoming>(accepted.release(), std::string(domain),
                                                        "fd00::1", port);
    }
    bool ok() const { return connection && client.get() >= 0; }
};

// Reads what is there from the far end (without waiting long) and flushes once.
void drainAndFlush(Connection& connection, int far, std::string& received) {
    char buffer[16384];
    if (testing_support::waitFor(far, POLLIN, 100)) {
        ssize_t result;
        while ((result = ::recv(far, buffer, sizeof(buffer), MSG_DONTWAIT)) > 0) {
            received.append(buffer, static_cast<size_t>(result));
        }
    }
    ASSERT_EQ(connection.conWrite(nullptr, 0), 0);
}

// The socket reports the reset the far end sent.
bool seesReset(int fd) {
    return testing_support::waitFor(fd, POLLERR | POLLHUP, 10000);
}

TEST(ConnectionTest, QueuedWritesKeepCallOrderAndSwitchOutputEvents) {
    testing_support::RecordingLogger log;
    RecordingHandler handler;
    OutgoingLink link;
    ASSERT_TRUE(link.ok());
    CountingOutgoing& connection = *link.connection;
    connection.setHandler(&handler);

    const uint64_t filled = testing_support::fillSocket(connection.socket());
    const std::vector<size_t> sizes = {1000, 70000, 3, 200000, 5000};
    std::vector<std::string> pieces;
    uint64_t offset = filled;
    for (size_t size : sizes) {
        pieces.push_back(pattern(offset, size));
        offset += size;
    }

    // The socket takes nothing: everything is queued, output events go on.
    ASSERT_EQ(connection.conWrite(pieces[0].data(), pieces[0].size()), 0);
    EXPECT_FALSE(connection.writable());
    EXPECT_EQ(connection.writeBufferCount(), 1u);
    EXPECT_EQ(connection.queuedBytes(), pieces[0].size());
    EXPECT_EQ(connection.sends, 1);
    EXPECT_EQ(handler.events, std::vector<uint32_t>{7});
    EXPECT_TRUE(log.contains("Enabling out event handling for connection : out-test"));

    // Later writes queue behind without trying the socket.
    for (size_t i = 1; i < pieces.size(); ++i) {
        ASSERT_EQ(connection.conWrite(pieces[i].data(), pieces[i].size()), 0);
    }
    EXPECT_EQ(connection.sends, 1);
    EXPECT_EQ(handler.events.size(), 1u);
    EXPECT_EQ(connection.writeBufferCount(), pieces.size());
    EXPECT_EQ(log.count("Copy data that cannot be sent out"), pieces.size() - 1);
    // Only the fifth write found four elements queued.
    EXPECT_EQ(log.count("Large write buffer"), 1u);
    EXPECT_TRUE(log.contains(": WARNING : Large write buffer : out-test : data bytes : 271003 : "));
    EXPECT_TRUE(log.contains("buffer elements : 4"));

    std::string received;
    bool sawPartialFlush = false;
    for (int round = 0; round < 100000 && connection.writeBufferCount() > 0; ++round) {
        drainAndFlush(connection, link.far.get(), received);
        uint64_t wholeTail = 0;
        for (size_t i = sizes.size() - connection.writeBufferCount(); i < sizes.size(); ++i) {
            wholeTail += sizes[i];
        }
        if (connection.writeBufferCount() > 0) {
            EXPECT_FALSE(connection.writable());
            EXPECT_EQ(handler.events.back(), 7u);
            sawPartialFlush = sawPartialFlush || connection.queuedBytes() < wholeTail;
        }
    }
    ASSERT_EQ(connection.writeBufferCount(), 0u);
    EXPECT_TRUE(sawPartialFlush);
    EXPECT_TRUE(connection.writable());
    EXPECT_EQ(connection.queuedBytes(), 0u);
    EXPECT_EQ(handler.events.back(), 5u);
    EXPECT_TRUE(log.contains("Disabling out event handling for connection : out-test"));

    // With the queue empty, a write goes straight out again.
    const std::string last = pattern(offset, 100);
    offset += last.size();
    const int sendsBefore = connection.sends;
    ASSERT_EQ(connection.conWrite(last.data(), last.size()), 0);
    EXPECT_EQ(connection.sends, sendsBefore + 1);
    EXPECT_EQ(connection.writeBufferCount(), 0u);

    std::string rest;
    ASSERT_TRUE(testing_support::readExactly(link.far.get(), rest, offset - received.size()));
    received += rest;
    EXPECT_TRUE(received == pattern(0, offset)) << "bytes on the wire differ from the writes";
}

TEST(ConnectionTest, PartialDirectSendQueuesExactlyTheUnsentTail) {
    RecordingHandler handler;
    OutgoingLink link;
    ASSERT_TRUE(link.ok());
    CountingOutgoing& connection = *link.connection;
    connection.setHandler(&handler);

    const std::string data = pattern(0, 1 << 20);
    ASSERT_EQ(connection.conWrite(data.data(), data.size()), 0);
    EXPECT_EQ(connection.sends, 1);
    ASSERT_EQ(connection.writeBufferCount(), 1u);
    EXPECT_GT(connection.queuedBytes(), 0u);
    EXPECT_LT(connection.queuedBytes(), data.size());
    EXPECT_EQ(handler.events, std::vector<uint32_t>{7});

    std::string received;
    for (int round = 0; round < 200000 && connection.writeBufferCount() > 0; ++round) {
        drainAndFlush(connection, link.far.get(), received);
    }
    ASSERT_EQ(connection.writeBufferCount(), 0u);
    std::string rest;
    ASSERT_TRUE(testing_support::readExactly(link.far.get(), rest, data.size() - received.size()));
    received += rest;
    EXPECT_TRUE(received == data);
}

TEST(ConnectionTest, ResetByThePeerDirectlyAndDuringFlush) {
    testing_support::RecordingLogger log;
    {
        // Direct: nothing is queued and output stays off; reading will notice the reset.
        RecordingHandler handler;
        OutgoingLink link;
        ASSERT_TRUE(link.ok());
        link.connection->setHandler(&handler);
        testing_support::resetAndClose(link.far);
        ASSERT_TRUE(seesReset(link.connection->socket()));
        const std::string data = "lost";
        EXPECT_EQ(link.connection->conWrite(data.data(), data.size()), 0);
        EXPECT_EQ(link.connection->writeBufferCount(), 0u);
        EXPECT_TRUE(handler.events.empty());
        EXPECT_EQ(log.count("Connection closed by peer : out-test"), 1u);
        const ReadResult afterReset = link.connection->conRead();
        EXPECT_TRUE(afterReset == ReadResult::Failed || afterReset == ReadResult::Closed);
    }
    {
        // During a flush: the queue is dropped and the caller is told to close the pair.
        RecordingHandler handler;
        OutgoingLink link;
        ASSERT_TRUE(link.ok());
        link.connection->setHandler(&handler);
        testing_support::fillSocket(link.connection->socket());
        const std::string data = pattern(0, 50000);
        ASSERT_EQ(link.connection->conWrite(data.data(), data.size()), 0);
        ASSERT_EQ(link.connection->conWrite(data.data(), data.size()), 0);
        ASSERT_EQ(link.connection->writeBufferCount(), 2u);
        testing_support::resetAndClose(link.far);
        ASSERT_TRUE(seesReset(link.connection->socket()));
        EXPECT_EQ(link.connection->conWrite(nullptr, 0), -1);
        EXPECT_EQ(link.connection->writeBufferCount(), 0u);
        EXPECT_EQ(link.connection->queuedBytes(), 0u);
        EXPECT_EQ(log.count("Connection closed by peer : out-test"), 2u);
    }
}

TEST(ConnectionTest, OtherWriteErrorsFailAndEmptyTheQueue) {
    testing_support::RecordingLogger log;
    int pipeEnds[2];
    ASSERT_EQ(::pipe(pipeEnds), 0);
    Fd writeEnd(pipeEnds[1]);
    // Not a socket: send fails with ENOTSOCK.
    IncomingConnection connection(pipeEnds[0], std::string("app"), "fd00::1", 80);
    const std::string data = "data";
    EXPECT_EQ(connection.conWrite(data.data(), data.size()), -1);
    EXPECT_EQ(connection.writeBufferCount(), 0u);
    EXPECT_TRUE(log.contains(": WARNING : Error writing socket : " + connection.tag() +
                             " : errno : " + std::to_string(ENOTSOCK) + " : description : "));
}

TEST(ConnectionTest, ForwardingReadPathResults) {
    testing_support::RecordingLogger log;
    OutgoingLink out;
    IncomingLink in;
    ASSERT_TRUE(out.ok());
    ASSERT_TRUE(in.ok());
    out.connection->setPeer(in.connection.get());
    in.connection->setPeer(out.connection.get());

    EXPECT_EQ(out.connection->conRead(), ReadResult::WouldBlock);

    // One read takes at most one receive buffer; the rest waits for the next input event.
    const std::string data = pattern(0, 10000, 1);
    ASSERT_TRUE(testing_support::writeAll(out.far.get(), data));
    ASSERT_TRUE(testing_support::waitFor(out.connection->socket(), POLLIN, 10000));
    std::string got;
    ASSERT_TRUE(testing_support::eventually([&] {
        std::string available(20000, '\0');
        return ::recv(out.connection->socket(), available.data(), available.size(),
                      MSG_PEEK | MSG_DONTWAIT) == static_cast<ssize_t>(data.size());
    }));
    EXPECT_EQ(out.connection->conRead(), ReadResult::Done);
    EXPECT_EQ(out.connection->bytesRead(), 8192);
    EXPECT_EQ(in.connection->conRead(), ReadResult::WouldBlock);
    EXPECT_EQ(out.connection->conRead(), ReadResult::Done);
    EXPECT_EQ(out.connection->bytesRead(), 10000 - 8192);
    ASSERT_TRUE(testing_support::readExactly(in.client.get(), got, data.size()));
    EXPECT_TRUE(got == data);

    // The incoming side forwards the other way, a request at a time.
    const std::string request = "GET / HTTP/1.1\r\n\r\n";
    ASSERT_TRUE(testing_support::writeAll(in.client.get(), request));
    ASSERT_TRUE(testing_support::waitFor(in.connection->socket(), POLLIN, 10000));
    EXPECT_EQ(in.connection->conRead(), ReadResult::Done);
    ASSERT_TRUE(testing_support::readExactly(out.far.get(), got, request.size()));
    EXPECT_EQ(got, request);

    // Without a peer the bytes are dropped.
    out.connection->setPeer(nullptr);
    in.connection->setPeer(nullptr);
    ASSERT_TRUE(testing_support::writeAll(out.far.get(), "dropped"));
    ASSERT_TRUE(testing_support::waitFor(out.connection->socket(), POLLIN, 10000));
    EXPECT_EQ(out.connection->conRead(), ReadResult::Done);
    EXPECT_EQ(out.connection->conRead(), ReadResult::WouldBlock);

    out.far.reset();
    ASSERT_TRUE(testing_support::waitFor(out.connection->socket(), POLLIN, 10000));
    EXPECT_EQ(out.connection->conRead(), ReadResult::Closed);
    EXPECT_TRUE(log.contains("Connection already closed : out-test"));
}

TEST(ConnectionTest, RequestDisconnectWithAndWithoutQueuedData) {
    testing_support::RecordingLogger log;
    RecordingHandler handler;
    {
        // Nothing queued: ends at once, and neither half links to the other afterwards.
        OutgoingLink out;
        IncomingLink in;
        ASSERT_TRUE(out.ok());
        ASSERT_TRUE(in.ok());
        out.connection->setHandler(&handler);
        out.connection->setPeer(in.connection.get());
        in.connection->setPeer(out.connection.get());
        out.connection->requestDisconnect();
        EXPECT_TRUE(out.connection->disconnected());
        EXPECT_EQ(out.connection->peer(), nullptr);
        EXPECT_EQ(in.connection->peer(), nullptr);
        EXPECT_EQ(handler.removed, std::vector<Connection*>{out.connection.get()});
        EXPECT_TRUE(testing_support::seesEndOfStream(out.far.get()));

        // A second disconnect only logs.
        out.connection->disconnect();
        EXPECT_EQ(handler.removed.size(), 1u);
        EXPECT_EQ(log.count("disconnect called : out-test"), 2u);
        EXPECT_FALSE(log.contains("Error closing file descriptor"));
    }
    handler.removed.clear();
    handler.events.clear();
    {
        // Data queued: the connection stays until the queue is sent, reads nothing meanwhile
        // and stops asking for input events.
        OutgoingLink out;
        IncomingLink in;
        ASSERT_TRUE(out.ok());
        ASSERT_TRUE(in.ok());
        out.connection->setHandler(&handler);
        out.connection->setPeer(in.connection.get());
        in.connection->setPeer(out.connection.get());
        const uint64_t filled = testing_support::fillSocket(out.connection->socket());
        const std::string tail = pattern(filled, 30000);
        ASSERT_EQ(out.connection->conWrite(tail.data(), tail.size()), 0);

        out.connection->requestDisconnect();
        EXPECT_FALSE(out.connection->disconnected());
        EXPECT_TRUE(out.connection->closing());
        EXPECT_EQ(out.connection->peer(), nullptr);
        EXPECT_EQ(in.connection->peer(), nullptr);
        EXPECT_TRUE(handler.removed.empty());
        EXPECT_EQ(handler.events.back(), io::EVENT_OUTPUT | io::EVENT_HANGUP);

        ASSERT_TRUE(testing_support::writeAll(out.far.get(), "late"));
        ASSERT_TRUE(testing_support::waitFor(out.connection->socket(), POLLIN, 10000));
        EXPECT_EQ(out.connection->conRead(), ReadResult::Done);
        char peek[8];
        EXPECT_EQ(::recv(out.connection->socket(), peek, sizeof(peek), MSG_PEEK | MSG_DONTWAIT), 4);

        // What the handler does on each output event. The unread late input must not cost the
        // client the bytes that were flushed last (closing with unread input resets).
        std::string received;
        for (int round = 0; round < 100000 && !out.connection->disconnected(); ++round) {
            drainAndFlush(*out.connection, out.far.get(), received);
            if (out.connection->closing()) {
                out.connection->requestDisconnect();
            }
        }
        EXPECT_TRUE(out.connection->disconnected());
        EXPECT_EQ(handler.removed.size(), 1u);
        std::string rest;
        ASSERT_TRUE(testing_support::readExactly(out.far.get(), rest,
                                                 filled + tail.size() - received.size()));
        EXPECT_TRUE(received + rest == pattern(0, filled + tail.size()));
        EXPECT_TRUE(testing_support::seesEndOfStream(out.far.get()));
    }
}

TEST(ConnectionTest, DisconnectPairClosesThisSideAndLetsThePeerFlush) {
    testing_support::RecordingLogger log;
    RecordingHandler handler;
    auto& registry = connection::OpenWebSocketRegistry::instance();
    {
        OutgoingLink out;
        IncomingLink in("pair-app", 1001);
        ASSERT_TRUE(out.ok());
        ASSERT_TRUE(in.ok());
        out.connection->setHandler(&handler);
        in.connection->setHandler(&handler);
        out.connection->setPeer(in.connection.get());
        in.connection->setPeer(out.connection.get());
        ASSERT_TRUE(registry.insert("pair-app", "fd00::1", 1001));
        in.connection->markUpgraded();

        testing_support::fillSocket(out.connection->socket());
        const std::string queued = "queued";
        ASSERT_EQ(out.connection->conWrite(queued.data(), queued.size()), 0);

        in.connection->disconnectPair();
        EXPECT_TRUE(in.connection->disconnected());
        EXPECT_FALSE(out.connection->disconnected());
        EXPECT_TRUE(out.connection->closing());
        EXPECT_EQ(in.connection->peer(), nullptr);
        EXPECT_EQ(out.connection->peer(), nullptr);
        EXPECT_EQ(handler.removed, std::vector<Connection*>{in.connection.get()});
        EXPECT_TRUE(testing_support::seesEndOfStream(in.client.get()));
        // The upgraded, registered side gave its WebSocket key back.
        EXPECT_TRUE(log.contains("Remove websocket connection : " + in.connection->tag()));
        EXPECT_TRUE(registry.insert("pair-app", "fd00::1", 1001));
        registry.remove("pair-app", "fd00::1", 1001);
    }
    handler.removed.clear();
    log.clear();
    {
        // A peer with nothing queued closes at once too.
        OutgoingLink out;
        IncomingLink in;
        ASSERT_TRUE(out.ok());
        ASSERT_TRUE(in.ok());
        out.connection->setHandler(&handler);
        in.connection->setHandler(&handler);
        out.connection->setPeer(in.connection.get());
        in.connection->setPeer(out.connection.get());
        out.connection->disconnectPair();
        EXPECT_TRUE(out.connection->disconnected());
        EXPECT_TRUE(in.connection->disconnected());
        EXPECT_EQ(handler.removed.size(), 2u);
        EXPECT_TRUE(testing_support::seesEndOfStream(out.far.get()));
        EXPECT_TRUE(testing_support::seesEndOfStream(in.client.get()));
        // Never upgraded: the registry is not touched.
        EXPECT_FALSE(log.contains("Remove websocket connection : " + in.connection->tag()));
    }
}

TEST(ConnectionTest, DestructionClosesWithoutTheHandlerAndUnlinksThePeer) {
    testing_support::RecordingLogger log;
    RecordingHandler handler;
    auto& registry = connection::OpenWebSocketRegistry::instance();
    OutgoingLink out;
    IncomingLink in("gone-app", 2002);
    ASSERT_TRUE(out.ok());
    ASSERT_TRUE(in.ok());
    out.connection->setHandler(&handler);
    in.connection->setHandler(&handler);
    out.connection->setPeer(in.connection.get());
    in.connection->setPeer(out.connection.get());
    ASSERT_TRUE(registry.insert("gone-app", "fd00::1", 2002));
    in.connection->markUpgraded();

    in.connection.reset();
    EXPECT_EQ(out.connection->peer(), nullptr);
    EXPECT_TRUE(registry.insert("gone-app", "fd00::1", 2002));
    registry.remove("gone-app", "fd00::1", 2002);
    out.connection.reset();
    EXPECT_TRUE(handler.removed.empty());
    EXPECT_TRUE(handler.events.empty());
    EXPECT_TRUE(testing_support::seesEndOfStream(out.far.get()));
    EXPECT_TRUE(testing_support::seesEndOfStream(in.client.get()));
    EXPECT_FALSE(log.contains("disconnect called"));
}

TEST(ConnectionTest, ConstructorsSetUpTheirSockets) {
    auto listener = testing_support::makeListener();
    ASSERT_TRUE(listener.ok);

    Fd client = testing_support::connectTo(listener);
    Fd accepted = testing_support::acceptOne(listener);
    ASSERT_GE(accepted.get(), 0);
    const int plainFd = accepted.release();
    IncomingConnection plain(plainFd, "plain-app");
    EXPECT_EQ(plain.tag(), std::to_string(plainFd));
    EXPECT_TRUE(testing_support::isNonBlocking(plainFd));

    Fd client2 = testing_support::connectTo(listener);
    Fd accepted2 = testing_support::acceptOne(listener);
    ASSERT_GE(accepted2.get(), 0);
    const int establishedFd = accepted2.release();
    IncomingConnection established(establishedFd, std::string("app"), "fd00::2", 8080);
    EXPECT_EQ(established.tag(), std::to_string(establishedFd));
    EXPECT_FALSE(testing_support::isNonBlocking(establishedFd));  // the caller's job

    OutgoingConnection out(&listener.address, &listener.length);
    EXPECT_EQ(out.status(), Connection::StatusReady);
    EXPECT_TRUE(out.tag().empty());
    EXPECT_TRUE(testing_support::isNonBlocking(out.socket()));

    // Nobody listens on a port that was just given back.
    sockaddr_in6 closedPort = listener.address;
    socklen_t length = listener.length;
    listener.fd.reset();
    OutgoingConnection refused(&closedPort, &length);
    EXPECT_EQ(refused.status(), Connection::StatusNotConnected);
}

}  // namespace
