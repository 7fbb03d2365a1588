#pragma once

#include <cstdint>

namespace tarn::tls {

// Error codes of the TLS library: results of the creating operations and entries of a
// stream's error queue (TlsStream::popError).
inline constexpr int32_t RC_TLS_OK = 0;
inline constexpr int32_t RC_TLS_INIT_FAILED = 1;
// The library was never initialised or has been cleaned up.
inline constexpr int32_t RC_TLS_NOT_INITIALIZED = 2;
inline constexpr int32_t RC_TLS_INVALID_ARGUMENT = 3;
// The operation has no implementation in this build of the library.
inline constexpr int32_t RC_TLS_NOT_IMPLEMENTED = 4;

// Queued by a stream; 8, 11 and 12 end the session, 9 and 10 only ask the caller to retry.
inline constexpr int32_t RC_TLS_IO_ERROR = 8;
inline constexpr int32_t RC_TLS_WANT_READ = 9;
inline constexpr int32_t RC_TLS_WANT_WRITE = 10;
inline constexpr int32_t RC_TLS_PEER_CLOSED = 11;
inline constexpr int32_t RC_TLS_SEND_AFTER_SHUTDOWN = 12;

// What popError returns once the queue is empty: all bits set.
inline constexpr int32_t RC_TLS_NO_ERROR_QUEUED = -1;

}  // namespace tarn::tls
