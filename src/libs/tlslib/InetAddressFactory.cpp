#include "libs/tlslib/InetAddressFactory.h"

#include <arpa/inet.h>

#include <memory>

namespace tarn::tls {

Result<IPAddress> InetAddressFactory::makeIPAddress(const std::string& text) {
    in6_addr bytes{};
    if (inet_pton(AF_INET6, text.c_str(), &bytes) != 1) {
        return Result<IPAddress>::failure(RC_TLS_INVALID_ARGUMENT);
    }
    return Result<IPAddress>::success(std::make_shared<IPAddress>(bytes, text));
}

}  // namespace tarn::tls
