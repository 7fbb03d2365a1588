#pragma once

#include <cstdint>
#include <memory>
#include <utility>

#include "libs/tlslib/ErrorCodes.h"

namespace tarn::tls {

// What every creating operation of the library returns by value. A caller looks at errorCode
// first: only with RC_TLS_OK is object set, and then empty is 0. A record nobody filled in
// reports a failure, so it can never be mistaken for a created object.
template <typename T>
struct Result {
    uint8_t empty = 1;  // 0 = the record holds an object
    int32_t errorCode = RC_TLS_NOT_IMPLEMENTED;
    std::shared_ptr<T> object;

    static Result success(std::shared_ptr<T> created) {
        Result result;
        result.empty = created ? 0 : 1;
        result.errorCode = created ? RC_TLS_OK : RC_TLS_INVALID_ARGUMENT;
        result.object = std::move(created);
        return result;
    }
    static Result failure(int32_t code) {
        Result result;
        result.errorCode = code;
        return result;
    }
};

}  // namespace tarn::tls
