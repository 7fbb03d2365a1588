#pragma once

#include <memory>

#include "libs/capCache/QueryAction.h"
#include "libs/capCache/QueryAnswer.h"
#include "libs/capCache/QueryService.h"

namespace ccc {
class QueryCallback;
}

namespace connection {

// The two capability cache questions an incoming connection asks about each request: whether
// its action is allowed and whether the destination may offer its service. The read path asks
// through this interface so that answers the cache only gives in some builds (pending, denied,
// failed) can be produced in tests.
//
// Contract (as for ccc::queryAction and ccc::queryService): a record starts a query; an empty
// pointer asks for the answer of the pending one, after the callback reported that it arrived.
// A pending answer means the callback will be called later, on another thread.
// Threading: called on the connection's handler thread only.
class AccessQueries {
public:
    virtual ~AccessQueries() = default;

    virtual capability_query_if::QueryAnswer queryAction(
        std::shared_ptr<capability_query_if::QueryAction> action, ccc::QueryCallback& callback) = 0;
    virtual capability_query_if::QueryAnswer queryService(
        std::shared_ptr<capability_query_if::QueryService> service,
        ccc::QueryCallback& callback) = 0;

    // The capability cache itself; lives as long as the process.
    static AccessQueries& capabilityCache();
};

}  // namespace connection
