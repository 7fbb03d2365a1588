#include "access/QueryCallback.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "RecordingLogger.h"
#include "connection/IncomingConnection.h"
#include "connection/OutgoingConnection.h"
#include "io/ConnectionHandlerBase.h"

namespace {

using connection::Connection;

// Records each async event together with whether the connection still counted as waiting at
// that moment: the handler relies on it to keep the connection alive until the post is queued.
class RecordingHandler : public io::ConnectionHandlerBase {
public:
    struct Post {
        Connection* connection;
        bool pendingAtPost;
    };
    void adopt(std::unique_ptr<connection::IncomingConnection>&,
               std::unique_ptr<connection::OutgoingConnection>&) override {}
    void removeConnection(Connection*) override {}
    bool modifyEvents(Connection*, uint32_t) override { return true; }
    void postAsyncEvent(Connection* connection) override {
        posts.push_back({connection, connection != nullptr && connection->hasPendingQuery()});
    }
    uint64_t connectionCount() const override { return 0; }

    std::vector<Post> posts;
};

TEST(QueryCallbackTest, AnswerWakesTheHandlerBeforeReleasingTheConnection) {
    testing_support::RecordingLogger log;
    RecordingHandler handler;
    connection::IncomingConnection incoming(-1, std::string("app"), "fd00::1", 443);
    incoming.setHandler(&handler);
    ccc::QueryCallback& callback = incoming.queryCallback();
    EXPECT_EQ(callback.connection(), &incoming);
    EXPECT_FALSE(incoming.hasPendingQuery());

    callback.setWaiting(true);
    EXPECT_TRUE(incoming.hasPendingQuery());
    callback.response(true);
    EXPECT_TRUE(callback.available());
    EXPECT_FALSE(callback.denied());
    EXPECT_FALSE(incoming.hasPendingQuery());
    // The event for the connection is queued while it is still held; the wake-up after the
    // release carries no connection.
    ASSERT_EQ(handler.posts.size(), 2u);
    EXPECT_EQ(handler.posts[0].connection, &incoming);
    EXPECT_TRUE(handler.posts[0].pendingAtPost);
    EXPECT_EQ(handler.posts[1].connection, nullptr);
    EXPECT_TRUE(log.contains(": DEBUG   : QueryCallback : result : 1 : fd : -1"));

    callback.setWaiting(true);
    callback.response(false);
    EXPECT_TRUE(callback.denied());
    EXPECT_FALSE(callback.waiting());
    EXPECT_EQ(handler.posts.size(), 4u);
}

TEST(QueryCallbackTest, CancelledQueryReleasesOnlyAWaitingConnection) {
    RecordingHandler handler;
    connection::IncomingConnection incoming(-1, std::string("app"), "fd00::1", 443);
    incoming.setHandler(&handler);
    ccc::QueryCallback& callback = incoming.queryCallback();

    callback.queryCancelled();
    EXPECT_TRUE(handler.posts.empty());

    callback.setWaiting(true);
    callback.queryCancelled();
    EXPECT_FALSE(callback.waiting());
    EXPECT_FALSE(callback.available());
    ASSERT_EQ(handler.posts.size(), 2u);
    EXPECT_EQ(handler.posts[0].connection, &incoming);
    EXPECT_TRUE(handler.posts[0].pendingAtPost);
}

}  // namespace
