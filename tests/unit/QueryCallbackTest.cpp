#include "access/QueryCallback.h"

#include <gtest/gtest.h>

#include "ConnectionTestSupport.h"

namespace {

using Posts = std::vector<std::pair<connection::Connection*, bool>>;

// The answer's event must be queued before the waiting flag clears, and the empty event after it
// lets the handler delete the connection.
TEST(QueryCallbackTest, AnswerPostsTheEventBeforeReleasingTheConnection) {
    testing_support::RecordingHandler handler;
    connection::IncomingConnection incoming(-1, "app", "fd00::1", 443);
    incoming.setHandler(&handler);
    ccc::QueryCallback& callback = incoming.queryCallback();
    callback.queryCancelled();  // nothing waits: nothing to release
    EXPECT_TRUE(handler.posts.empty());
    for (int answer : {-1, 1, 0}) {  // cancelled, allowed, denied
        handler.posts.clear();
        callback.setWaiting(true);
        if (answer < 0) {
            callback.queryCancelled();
        } else {
            callback.response(answer == 1);
        }
        EXPECT_EQ(callback.available(), answer >= 0);
        EXPECT_EQ(callback.denied(), answer == 0);
        EXPECT_FALSE(incoming.hasPendingQuery());
        EXPECT_EQ(handler.posts, (Posts{{&incoming, true}, {nullptr, false}})) << answer;
    }
}

}  // namespace
