#include "connection/AccessQueries.h"

#include <utility>

#include "access/CapabilityQueries.h"
#include "access/QueryCallback.h"

namespace connection {

namespace {

class CapabilityCacheQueries final : public AccessQueries {
public:
    capability_query_if::QueryAnswer queryAction(
        std::shared_ptr<capability_query_if::QueryAction> action,
        ccc::QueryCallback& callback) override {
        return ccc::queryAction(std::move(action), &callback);
    }
    capability_query_if::QueryAnswer queryService(
        std::shared_ptr<capability_query_if::QueryService> service,
        ccc::QueryCallback& callback) override {
        return ccc::queryService(std::move(service), &callback);
    }
};

}  // namespace

AccessQueries& AccessQueries::capabilityCache() {
    // Stateless, so one instance serves every connection on every thread. Never destroyed, so a
    // handler thread that outlives static destruction still finds it.
    static CapabilityCacheQueries* const queries = new CapabilityCacheQueries();
    return *queries;
}

}  // namespace connection
