#include "libs/capCache/CapabilityQuery.h"

#include <cstdlib>
#include <iostream>
#include <string>

namespace capability_query_if {

namespace {

CapabilityRules rulesFromEnvironment() {
    const char* path = std::getenv(CapabilityQuery::RULES_VARIABLE);
    if (path == nullptr || *path == '\0') {
        return CapabilityRules();
    }
    return CapabilityRules::load(path, std::cerr);
}

QueryAnswer immediateAnswer(bool started) {
    if (started) {
        return QueryAnswer{true, QueryAnswer::STATUS_ALLOWED};
    }
    return QueryAnswer{false, QueryAnswer::STATUS_INVALID_QUERY};
}

}  // namespace

CapabilityQuery::CapabilityQuery() : rules_(rulesFromEnvironment()) {}

int8_t CapabilityQuery::securityLevel(const QueryService& request) const {
    return rules_.securityLevel(request.address, request.port);
}

QueryAnswer CapabilityQuery::queryAction(std::shared_ptr<QueryAction> action,
                                         IResponseCallback* /*callback*/) {
    return immediateAnswer(action != nullptr);
}

QueryAnswer CapabilityQuery::queryService(std::shared_ptr<QueryService> service,
                                          IResponseCallback* /*callback*/) {
    return immediateAnswer(service != nullptr);
}

void CapabilityQuery::cancelQueries(IResponseCallback* /*callback*/) {}

}  // namespace capability_query_if
