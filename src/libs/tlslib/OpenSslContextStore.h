#pragma once

#include <openssl/ssl.h>

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "libs/tlslib/OpenSslHandles.h"

namespace tarn::tls {

// The OpenSSL contexts of one credentials directory, one per (role, mode, identity), built once
// and shared by every session. The node's contexts are built by load; an application's client
// contexts on first use, then kept for the life of the store. A context never changes after it
// is built, so sessions may be made from it on any thread.
class OpenSslContextStore {
public:
    // Loads ca.pem, node.pem and node.key from directory and builds the node's contexts. On
    // failure yields null and puts the reason, naming the file, in error.
    static std::shared_ptr<OpenSslContextStore> load(const std::string& directory,
                                                     std::string& error);

    // The server context of a mode (true confidential, false authentic), presenting the node's
    // identity. Valid as long as the store.
    SSL_CTX* serverContext(bool mode) const;
    // The client context of a mode presenting the identity of application alias when the
    // directory holds <alias>.pem or <alias>.key, else the node's. An alias that could reach
    // outside the directory or name the trust anchor is never made a path. Null when the
    // application's files exist but do not load, with errorCode set. Callable from any thread.
    SSL_CTX* clientContext(const std::string& alias, bool mode, int32_t& errorCode);

    // The lists of suites each mode allows in TLS 1.2 (TLS 1.3 suites are all AEAD).
    static constexpr const char* CONFIDENTIAL_SUITES =
        "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
        "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
        "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";
    static constexpr const char* AUTHENTIC_SUITES = "ECDHE-ECDSA-NULL-SHA:ECDHE-RSA-NULL-SHA";

private:
    using ModeContexts = std::array<SslContextPtr, 2>;  // indexed by mode

    OpenSslContextStore(std::string directory, X509StorePtr trust);

    std::string directory_;
    X509StorePtr trust_;
    ModeContexts server_;
    ModeContexts nodeClient_;
    std::mutex applicationsMutex_;  // guards applicationClients_
    std::map<std::string, ModeContexts> applicationClients_;
};

}  // namespace tarn::tls
