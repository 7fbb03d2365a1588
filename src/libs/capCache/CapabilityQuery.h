#pragma once

#include <cstdint>
#include <memory>
#include <utility>

#include "libs/capCache/CapabilityRules.h"
#include "libs/capCache/IResponseCallback.h"
#include "libs/capCache/QueryAction.h"
#include "libs/capCache/QueryAnswer.h"
#include "libs/capCache/QueryService.h"

namespace capability_query_if {

// Client of the capability cache. Every operation may be called from several threads at once:
// the rules are read once at construction and never change afterwards.
//
// Security levels come from the rules file named by the environment variable
// ACCESS_PROXY_CAPABILITIES (format in CapabilityRules.h). Unset or empty means no rules, so
// every link is plain (0). Problems with the file are reported on standard error, one line
// each, and never stop the client: the process logger need not exist when it is built.
//
// Actions and service offerings are allowed at once: this cache keeps no rules for them.
class CapabilityQuery {
public:
    static constexpr const char* RULES_VARIABLE = "ACCESS_PROXY_CAPABILITIES";

    CapabilityQuery();
    explicit CapabilityQuery(CapabilityRules rules) : rules_(std::move(rules)) {}

    CapabilityQuery(const CapabilityQuery&) = delete;
    CapabilityQuery& operator=(const CapabilityQuery&) = delete;

    // Level of the first rule matching the request's address and port; 0 when none matches.
    // Protocol and service are not consulted.
    int8_t securityLevel(const QueryService& request) const;

    // A record starts a query and is answered at once: available and allowed; the callback is
    // never called. An empty pointer asks for the answer of a pending query; as none is ever
    // pending, that answer is not available with STATUS_INVALID_QUERY.
    QueryAnswer queryAction(std::shared_ptr<QueryAction> action, IResponseCallback* callback);
    QueryAnswer queryService(std::shared_ptr<QueryService> service, IResponseCallback* callback);
    // Drops the queries started with this callback; the callback is not called after this
    // returns. Answers here are immediate, so nothing is ever pending.
    void cancelQueries(IResponseCallback* callback);

private:
    const CapabilityRules rules_;
};

}  // namespace capability_query_if
