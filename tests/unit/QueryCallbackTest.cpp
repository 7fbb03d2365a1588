#include "access/QueryCallback.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "ConnectionTestSupport.h"
#include "RecordingLogger.h"

namespace {

using Posts = std::vector<std::pair<connection::Connection*, bool>>;

// The handler keeps a connection alive while it waits for an answer, so the answer's async
// event must be queued before the waiting flag clears, and nothing may reach the connection
// after that.
TEST(QueryCallbackTest, AnswerPostsTheEventBeforeReleasingTheConnection) {
    testing_support::RecordingLogger log;
    testing_support::RecordingHandler handler;
    connection::IncomingConnection incoming(-1, "app", "fd00::1", 443);
    incoming.setHandler(&handler);
    ccc::QueryCallback& callback = incoming.queryCallback();
    for (bool allowed : {true, false}) {
        handler.posts.clear();
        callback.setWaiting(true);
        callback.response(allowed);
        EXPECT_TRUE(callback.available());
        EXPECT_EQ(callback.denied(), !allowed);
        EXPECT_FALSE(incoming.hasPendingQuery());
        EXPECT_EQ(handler.posts, (Posts{{&incoming, true}, {nullptr, false}})) << allowed;
    }
    EXPECT_TRUE(log.contains(": DEBUG   : QueryCallback : result : 1 : fd : -1"));

    // A cancelled query releases the connection the same way, but only while it waits.
    handler.posts.clear();
    callback.queryCancelled();
    EXPECT_TRUE(handler.posts.empty());
    callback.setWaiting(true);
    callback.queryCancelled();
    EXPECT_FALSE(incoming.hasPendingQuery());
    EXPECT_EQ(handler.posts, (Posts{{&incoming, true}, {nullptr, false}}));
}

}  // namespace
