#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "libs/tlslib/IPAddress.h"

namespace tarn::tls {

// One TLS session over a connected socket, from TlsSocketFactory::createServerStream or
// TlsClientSocket::connect. Abstract so that the system's tests can substitute it.
//
// A stream is used by one thread at a time (the connection that owns it); it is not
// internally synchronised. It never closes the socket's descriptor: that stays with whoever
// accepted it, or with the TlsClientSocket that created it (which must outlive the stream).
//
// Blocking and non-blocking use follow the descriptor's O_NONBLOCK flag. On a blocking
// descriptor the stream arrives established and send/receive block like the socket does. On
// a non-blocking descriptor the stream may arrive before its handshake; the owner drives it:
//
//   1. Call handshake() until it returns RC_TLS_OK. RC_TLS_WANT_READ / RC_TLS_WANT_WRITE: wait
//      until the descriptor is readable / writable (epoll, poll) and call it again. Any other
//      code: the session failed; close() the stream and discard it.
//   2. Then send/receive. A negative result with RC_TLS_WANT_READ or RC_TLS_WANT_WRITE queued
//      means "nothing moved, retry after that readiness"; these are never fatal, also when a
//      receive only consumed protocol records (session tickets, key updates). After
//      RC_TLS_WANT_WRITE from send, the retry must offer the same first bytes again (the
//      buffer may move, its content may grow, never shrink).
//   3. After every successful receive, pending() bytes may already be decrypted inside the
//      library; the descriptor will not become readable for them, so receive until pending()
//      is 0 before waiting for input again.
//   4. RC_TLS_IO_ERROR, RC_TLS_PEER_CLOSED and RC_TLS_SEND_AFTER_SHUTDOWN in the queue end the
//      session; RC_TLS_INVALID_ARGUMENT only refuses the call that queued it.
class TlsStream {
public:
    virtual ~TlsStream() = default;

    // Bytes taken (> 0; 0 only for an empty buffer), or negative with the reasons queued for
    // popError. May take fewer bytes than offered. Before the handshake has finished it first
    // drives the handshake (as handshake() does). RC_TLS_SEND_AFTER_SHUTDOWN once the stream was
    // closed; after a failure, that failure's code again.
    virtual int32_t send(const void* data, int32_t length) = 0;
    // Bytes received (> 0), or negative with the reasons queued: RC_TLS_WANT_READ /
    // RC_TLS_WANT_WRITE (retry), RC_TLS_PEER_CLOSED (the peer's close_notify), RC_TLS_IO_ERROR
    // (reset, end of stream without close_notify, corrupted record). A length of 0 or less
    // queues RC_TLS_INVALID_ARGUMENT.
    virtual int32_t receive(void* buffer, int32_t length) = 0;
    // Ends the session: sends close_notify once if the session is intact (best effort, never
    // waits, also on a blocking descriptor) and frees it. Called at most once per stream; the
    // stream is unusable afterwards. The descriptor stays open.
    virtual void close() = 0;
    // Oldest queued error code (ErrorCodes.h), removed from the queue; RC_TLS_NO_ERROR_QUEUED
    // (all bits set) once the queue is empty. The queue keeps the most recent 64 codes.
    virtual int32_t popError() = 0;
    // Mode: true confidential, false authentic, as at creation. The system calls this once
    // with false right after obtaining the stream. The protection of a session is fixed by its
    // handshake, so the call changes nothing.
    virtual void setMode(bool mode) = 0;
    // The common name of the certificate the peer proved in the handshake; the system forwards
    // it as a header value. Empty before the handshake, and when the name is missing, repeated
    // or holds control characters.
    virtual std::string peerIdentity() const = 0;

    // Drives the handshake without blocking: RC_TLS_OK once the session is established (and on
    // every later call); RC_TLS_WANT_READ / RC_TLS_WANT_WRITE to be called again once the
    // descriptor is readable / writable; any other code is a failure, also queued for popError
    // (RC_TLS_IO_ERROR for a failed TCP connect or a refused certificate, RC_TLS_PEER_CLOSED,
    // RC_TLS_SEND_AFTER_SHUTDOWN after close()). A client stream first completes its TCP
    // connect (then the descriptor turns writable).
    virtual int32_t handshake() = 0;
    virtual bool established() const = 0;
    // Decrypted bytes held inside the library that receive can return at once.
    virtual int32_t pending() const = 0;
    // Negotiated cipher suite and protocol version (as OpenSSL names them, e.g.
    // "TLS_AES_256_GCM_SHA384", "TLSv1.3"); empty before the handshake has finished.
    virtual std::string cipherName() const = 0;
    virtual std::string protocolVersion() const = 0;

    // Values about the peer that error reports carry. peerAddress is null when the stream
    // knows no address (a descriptor that is no IPv6 socket); sessionId is a process-wide
    // counter, unique per stream.
    virtual std::shared_ptr<IPAddress> peerAddress() const = 0;
    virtual uint16_t peerPort() const = 0;
    virtual uint32_t sessionId() const = 0;
};

}  // namespace tarn::tls
