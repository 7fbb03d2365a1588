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
// internally synchronised. It does not own the socket's descriptor: closing the descriptor
// stays with whoever accepted or created it.
class TlsStream {
public:
    virtual ~TlsStream() = default;

    // Bytes taken (>= 0), or negative on failure; then the reasons are queued for popError.
    virtual int32_t send(const void* data, int32_t length) = 0;
    // Bytes received (> 0), or negative on failure or closure, with the reasons queued.
    virtual int32_t receive(void* buffer, int32_t length) = 0;
    // Ends the session. Called at most once per stream; the stream is unusable afterwards.
    virtual void close() = 0;
    // Oldest queued error code (ErrorCodes.h), removed from the queue; RC_TLS_NO_ERROR_QUEUED
    // (all bits set) once the queue is empty.
    virtual int32_t popError() = 0;
    // Mode: true confidential, false authentic, as at creation. The system calls this once
    // with false right after obtaining the stream.
    virtual void setMode(bool mode) = 0;
    // The identity the peer proved in the handshake; the system forwards it as a header value.
    virtual std::string peerIdentity() const = 0;

    // Values about the peer that error reports carry. peerAddress is null when the stream
    // knows no address; sessionId is the number under which the library records the session.
    virtual std::shared_ptr<IPAddress> peerAddress() const = 0;
    virtual uint16_t peerPort() const = 0;
    virtual uint32_t sessionId() const = 0;
};

}  // namespace tarn::tls
