#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "libs/tlslib/TlsStream.h"

namespace connection {

class Connection;

// What the two TLS connection classes share: the session (a TLS stream) and how its results are
// read. Not polymorphic; SecureIncomingConnection and SecureOutgoingConnection derive from it
// beside their plain base.
//
// Every stream runs on a non-blocking descriptor: the handshake is driven by the owning
// handler's readiness events (continueSetUp), and sends and receives that would block report
// EAGAIN like a plain socket, so a handler serving many connections never waits for one.
//
// Threading: the handler thread that owns the connection (set-up starts on an establisher
// thread, before the connection is handed over).
class SecureConnection {
public:
    // How the stream's queued error codes end a failed call.
    enum class Failure : uint8_t {
        WouldBlock,  // only "wants to read/write" (or no reason at all): retry after readiness
        PeerClosed,  // the peer ended the session in order: the end of its stream
        Fatal,       // the session is broken
    };

    const std::shared_ptr<tarn::tls::TlsStream>& stream() const { return stream_; }
    // Decrypted bytes wait inside the session: no input event will announce them.
    bool hasPendingPlaintext() const;

    // Takes every queued code off the stream and reports it (Error), as the failure it amounts
    // to; `tag` names the connection in the reports.
    static Failure classify(tarn::tls::TlsStream& stream, const std::string& tag);

protected:
    // TLS send and receive with the results of send() and recv(): -1 with errno EAGAIN when the
    // call would block, 0 from a receive at the peer's orderly end, -1 with errno EPIPE (receive)
    // or EIO (send) after a fatal error, logged with `tag`.
    int64_t secureSend(const std::string& tag, const char* data, uint32_t length);
    int64_t secureReceive(const std::string& tag, char* buffer, uint32_t length);
    // One step of the handshake: true while it goes on or once it is done (established()),
    // with *events set to what the next step waits for; false when it failed (logged with
    // `failure`).
    bool handshakeStep(const std::string& tag, const char* failure, uint32_t* events);
    // Sends the close alert (once) and releases the session.
    void closeStream();

    std::shared_ptr<tarn::tls::TlsStream> stream_;
};

}  // namespace connection
