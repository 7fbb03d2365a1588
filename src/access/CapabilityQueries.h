#pragma once

#include <memory>

#include "access/SecurityLevel.h"
#include "libs/capCache/IResponseCallback.h"
#include "libs/capCache/QueryAction.h"
#include "libs/capCache/QueryAnswer.h"
#include "libs/capCache/QueryService.h"

// The system's questions to the capability cache. All three may be called from any thread.
// The cache client behind them is created on first use and lives until the process ends.
namespace ccc {

// The security level for a link to request.address and request.port (protocol and service
// empty). Blocks until the cache answers.
SecurityLevel querySecurityLevel(const capability_query_if::QueryService& request);

// A record starts a query; an empty pointer asks for the answer of the pending one, after the
// callback was told it arrived. Unless the build enables action and service-offering queries
// (ENABLE_ACTION_AND_SERVICE_OFFERING_QUERIES), both answer available and allowed at once
// without asking the cache, and the callback is never called.
capability_query_if::QueryAnswer queryAction(
    std::shared_ptr<capability_query_if::QueryAction> action,
    capability_query_if::IResponseCallback* callback);
capability_query_if::QueryAnswer queryService(
    std::shared_ptr<capability_query_if::QueryService> service,
    capability_query_if::IResponseCallback* callback);

// Drops every query started with this callback; once it returns, the cache never calls the
// callback again, so its owner may be destroyed.
void cancelQueries(capability_query_if::IResponseCallback* callback);

}  // namespace ccc
