#pragma once

#include <atomic>

#include "libs/capCache/IResponseCallback.h"

namespace connection {
class Connection;
}

namespace ccc {

// Receives the capability cache's late answers for one incoming connection (it lives inside
// that connection) and wakes the connection's handler, whose read path then fetches the answer.
//
// Threading: response() and queryCancelled() run on a capability library thread; everything
// else on the connection's handler thread. While waiting() is true the library may still call
// back, so the handler must not delete the connection.
class QueryCallback : public capability_query_if::IResponseCallback {
public:
    explicit QueryCallback(connection::Connection* connection = nullptr)
        : connection_(connection) {}
    ~QueryCallback() override = default;

    QueryCallback(const QueryCallback&) = delete;
    QueryCallback& operator=(const QueryCallback&) = delete;

    void response(bool allowed) override;
    // A dropped query calls back no more: release the connection and let its read path ask
    // again, which then sees the failure.
    void queryCancelled() override;

    // The read path sets this before it starts a query that may answer later, and clears it
    // when the answer came at once. Setting it only after a pending answer would race with a
    // response() that arrives before the query call returns.
    void setWaiting(bool waiting) { waiting_.store(waiting); }
    bool waiting() const { return waiting_.load(); }
    bool available() const { return available_.load(); }
    bool denied() const { return denied_.load(); }

    connection::Connection* connection() const { return connection_; }

private:
    // Wakes the handler for the connection, then clears waiting.
    void release();

    std::atomic<bool> available_{false};
    std::atomic<bool> denied_{false};
    std::atomic<bool> waiting_{false};
    connection::Connection* connection_;
};

}  // namespace ccc
