#pragma once

#include <openssl/err.h>

namespace tarn::tls {

// Empties the calling thread's OpenSSL error queue on entry and again on exit. SSL_get_error
// then judges a call by that call's errors only, and nothing is left behind for the next
// stream served by the same thread to misread.
class OpenSslErrorScope {
public:
    OpenSslErrorScope() { ERR_clear_error(); }
    ~OpenSslErrorScope() { ERR_clear_error(); }
    OpenSslErrorScope(const OpenSslErrorScope&) = delete;
    OpenSslErrorScope& operator=(const OpenSslErrorScope&) = delete;
};

}  // namespace tarn::tls
