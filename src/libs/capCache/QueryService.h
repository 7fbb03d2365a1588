#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace capability_query_if {

// A service offered at an address and port. Also the request for a link's security level,
// where address and port name the destination and protocol and service stay empty.
struct QueryService {
    QueryService() = default;
    QueryService(std::string address, std::string protocol, std::string service, uint16_t port)
        : address(std::move(address)),
          protocol(std::move(protocol)),
          service(std::move(service)),
          port(port) {}

    std::string address;  // IPv6 text
    std::string protocol;
    std::string service;
    uint16_t port = 0;  // host order
};

}  // namespace capability_query_if
