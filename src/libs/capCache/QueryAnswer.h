#pragma once

#include <cstdint>

namespace capability_query_if {

// The answer to an action or service-offering query. Available: status STATUS_DENIED denies,
// any other status allows. Not available: STATUS_PENDING means the answer follows through the
// callback, STATUS_CONNECTION_FAILED that the cache could not be reached, anything else that
// the query was invalid.
struct QueryAnswer {
    static constexpr uint8_t STATUS_ALLOWED = 0;
    static constexpr uint8_t STATUS_DENIED = 1;
    static constexpr uint8_t STATUS_CONNECTION_FAILED = 2;
    static constexpr uint8_t STATUS_INVALID_QUERY = 3;
    static constexpr uint8_t STATUS_PENDING = 4;

    bool available = false;
    uint8_t status = STATUS_INVALID_QUERY;
};

}  // namespace capability_query_if
