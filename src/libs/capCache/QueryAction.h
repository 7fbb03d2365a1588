#pragma once

#include <string>
#include <utility>

namespace capability_query_if {

// One action to be ruled on: a method on a resource of a service, requested by an
// application (its domain).
struct QueryAction {
    QueryAction() = default;
    QueryAction(std::string domain, std::string protocol, std::string service, std::string resource,
                std::string method)
        : domain(std::move(domain)),
          protocol(std::move(protocol)),
          service(std::move(service)),
          resource(std::move(resource)),
          method(std::move(method)) {}

    std::string domain;
    std::string protocol;
    std::string service;
    std::string resource;
    std::string method;
};

}  // namespace capability_query_if
