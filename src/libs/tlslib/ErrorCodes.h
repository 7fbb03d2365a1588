#pragma once

#include <cstdint>

namespace tarn::tls {

// Error codes of the TLS library: results of the creating operations and entries of a
// stream's error queue (TlsStream::popError).
inline constexpr int32_t RC_TLS_OK = 0;
// initTLSLib could not load the credentials; lastInitError() says which file and why.
inline constexpr int32_t RC_TLS_INIT_FAILED = 1;
// The library was never initialised or has been cleaned up.
inline constexpr int32_t RC_TLS_NOT_INITIALIZED = 2;
inline constexpr int32_t RC_TLS_INVALID_ARGUMENT = 3;
// The operation has no implementation in this build of the library.
inline constexpr int32_t RC_TLS_NOT_IMPLEMENTED = 4;
// No credentials directory is configured (ACCESS_PROXY_TLS_DIR unset or empty): the factory
// exists, reports available() false and refuses every session with this code.
inline constexpr int32_t RC_TLS_UNAVAILABLE = 5;
// A blocking handshake (or the TCP connect before it) did not finish within the handshake
// deadline.
inline constexpr int32_t RC_TLS_HANDSHAKE_TIMEOUT = 6;
// An application's certificate or key exists in the credentials directory but cannot be used.
inline constexpr int32_t RC_TLS_BAD_CREDENTIALS = 7;

// Queued by a stream; 8, 11 and 12 end the session, 9 and 10 only ask the caller to retry.
// 8 also covers a failed TCP connect, a peer whose certificate does not verify, a protocol
// error and a connection that ended without the peer's close_notify.
inline constexpr int32_t RC_TLS_IO_ERROR = 8;
inline constexpr int32_t RC_TLS_WANT_READ = 9;
inline constexpr int32_t RC_TLS_WANT_WRITE = 10;
// The peer ended the session with close_notify.
inline constexpr int32_t RC_TLS_PEER_CLOSED = 11;
// The stream was closed (close()): it moves no more bytes.
inline constexpr int32_t RC_TLS_SEND_AFTER_SHUTDOWN = 12;

// What popError returns once the queue is empty: all bits set.
inline constexpr int32_t RC_TLS_NO_ERROR_QUEUED = -1;

}  // namespace tarn::tls
