#include "access/CapabilityQueries.h"

#include <utility>

#include "libs/capCache/CapabilityQuery.h"
#include "utils/logging/Logger.h"

namespace ccc {

namespace {

capability_query_if::CapabilityQuery& capabilityQuery() {
    // Deliberately never destroyed: establisher threads and the library's own answer threads
    // may still use the client while static destructors run at exit, so destroying it would
    // race with them. Static initialisation makes the first use from several threads safe.
    static capability_query_if::CapabilityQuery* const client =
        new capability_query_if::CapabilityQuery();
    return *client;
}

}  // namespace

SecurityLevel querySecurityLevel(const capability_query_if::QueryService& request) {
    AP_LOG(utils::logging::Debug, "Querying security level", "address", request.address, "protocol",
           request.protocol, "service", request.service, "port", request.port);
    return capabilityQuery().securityLevel(request);
}

#if defined(ENABLE_ACTION_AND_SERVICE_OFFERING_QUERIES) && \
    ENABLE_ACTION_AND_SERVICE_OFFERING_QUERIES

capability_query_if::QueryAnswer queryAction(
    std::shared_ptr<capability_query_if::QueryAction> action,
    capability_query_if::IResponseCallback* callback) {
    return capabilityQuery().queryAction(std::move(action), callback);
}

capability_query_if::QueryAnswer queryService(
    std::shared_ptr<capability_query_if::QueryService> service,
    capability_query_if::IResponseCallback* callback) {
    return capabilityQuery().queryService(std::move(service), callback);
}

void cancelQueries(capability_query_if::IResponseCallback* callback) {
    capabilityQuery().cancelQueries(callback);
}

#else

capability_query_if::QueryAnswer queryAction(
    std::shared_ptr<capability_query_if::QueryAction> /*action*/,
    capability_query_if::IResponseCallback* /*callback*/) {
    return capability_query_if::QueryAnswer{true, capability_query_if::QueryAnswer::STATUS_ALLOWED};
}

capability_query_if::QueryAnswer queryService(
    std::shared_ptr<capability_query_if::QueryService> /*service*/,
    capability_query_if::IResponseCallback* /*callback*/) {
    return capability_query_if::QueryAnswer{true, capability_query_if::QueryAnswer::STATUS_ALLOWED};
}

// No query is ever started in this build, so none can be pending.
void cancelQueries(capability_query_if::IResponseCallback* /*callback*/) {}

#endif

}  // namespace ccc
