#include "libs/tlslib/OpenSslSocketFactory.h"

#include "libs/tlslib/TlsLib.h"

namespace tarn::tls {

namespace {

int32_t unavailableCode() {
    return isTLSLibInitialized() ? RC_TLS_NOT_IMPLEMENTED : RC_TLS_NOT_INITIALIZED;
}

}  // namespace

Result<TlsStream> OpenSslSocketFactory::createServerStream(int /*descriptor*/,
                                                           const std::string& /*nodeAddress*/,
                                                           bool /*mode*/) {
    return Result<TlsStream>::failure(unavailableCode());
}

Result<TlsClientSocket> OpenSslSocketFactory::createClientSocket(
    std::shared_ptr<IPAddress> /*address*/, uint16_t /*port*/, std::string /*serverName*/,
    bool /*mode*/, uint32_t /*options*/) {
    return Result<TlsClientSocket>::failure(unavailableCode());
}

}  // namespace tarn::tls
