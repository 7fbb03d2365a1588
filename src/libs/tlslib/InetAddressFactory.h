#pragma once

#include <string>

#include "libs/tlslib/IPAddress.h"
#include "libs/tlslib/Result.h"

namespace tarn::tls {

class InetAddressFactory {
public:
    // Converts the text form of an IPv6 address (as inet_pton accepts it). Text that is not an
    // IPv6 address gives RC_TLS_INVALID_ARGUMENT and no object. Callable from any thread and
    // without initTLSLib.
    static Result<IPAddress> makeIPAddress(const std::string& text);
};

}  // namespace tarn::tls
