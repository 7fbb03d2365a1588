#pragma once

#include <string>

#include "libs/tlslib/Result.h"
#include "libs/tlslib/TlsSocketFactory.h"

namespace tarn::tls {

// The environment variable naming the credentials directory: ca.pem (trust anchor), node.pem
// and node.key (this node's identity), optionally <alias>.pem and <alias>.key per application.
// PEM files; keys ECDSA or RSA, unencrypted.
inline constexpr const char* TLS_DIRECTORY_VARIABLE = "ACCESS_PROXY_TLS_DIR";

// Initialises the library (and OpenSSL underneath) and yields the socket factory: errorCode
// RC_TLS_OK with the factory, or RC_TLS_INIT_FAILED without one. Called once at start-up on
// the main thread; a repeated call yields a further factory and is harmless.
// With TLS_DIRECTORY_VARIABLE unset or empty it succeeds with a factory whose available() is
// false. With it set, the directory, ca.pem, node.pem and node.key must load and the key must
// match the certificate, else RC_TLS_INIT_FAILED and lastInitError() names the file.
Result<TlsSocketFactory> initTLSLib();

// Why the last initTLSLib failed, naming the file or directory ("" after a success).
std::string lastInitError();

// Ends the library's use: factories still held refuse further sessions afterwards. Called at
// exit, after every stream is gone; safe without a preceding initTLSLib and when repeated.
// initTLSLib may be called again later.
void cleanupTLSLib();

// Whether initTLSLib succeeded and cleanupTLSLib has not run since.
bool isTLSLibInitialized();

}  // namespace tarn::tls
