#pragma once

namespace capability_query_if {

// Receives the late answer of a query that was pending. The library calls it on a thread of
// its own, so implementations must be safe against the thread that started the query. The
// callback must outlive every query started with it.
class IResponseCallback {
public:
    virtual ~IResponseCallback() = default;

    // The answer to the pending query.
    virtual void response(bool allowed) = 0;
    // The pending query was dropped without an answer (for instance because the cache went
    // away); by default nothing happens and the caller's own error handling applies.
    virtual void queryCancelled() {}
};

}  // namespace capability_query_if
