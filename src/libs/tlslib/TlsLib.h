#pragma once

#include "libs/tlslib/Result.h"
#include "libs/tlslib/TlsSocketFactory.h"

namespace tarn::tls {

// Initialises the library (and OpenSSL underneath) and yields the socket factory: errorCode
// RC_TLS_OK with the factory, or RC_TLS_INIT_FAILED without one. Called once at start-up on
// the main thread; a repeated call yields a further factory and is harmless.
Result<TlsSocketFactory> initTLSLib();

// Ends the library's use: factories still held refuse further sessions afterwards. Called at
// exit, after every stream is gone; safe without a preceding initTLSLib and when repeated.
// initTLSLib may be called again later.
void cleanupTLSLib();

// Whether initTLSLib succeeded and cleanupTLSLib has not run since.
bool isTLSLibInitialized();

}  // namespace tarn::tls
