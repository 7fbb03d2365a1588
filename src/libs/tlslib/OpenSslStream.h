#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "libs/tlslib/ErrorCodes.h"
#include "libs/tlslib/OpenSslHandles.h"
#include "libs/tlslib/TlsStream.h"

namespace tarn::tls {

// A TlsStream over an OpenSSL session bound to a socket descriptor (see TlsStream.h for the
// contract). Made by OpenSslSocketFactory and OpenSslClientSocket.
class OpenSslStream : public TlsStream {
public:
    // Takes over session, already bound to descriptor and set to its role. connecting: a client
    // whose non-blocking TCP connect is still in progress.
    OpenSslStream(SslPtr session, int descriptor, bool connecting,
                  std::shared_ptr<IPAddress> peerAddress, uint16_t peerPort);

    int32_t send(const void* data, int32_t length) override;
    int32_t receive(void* buffer, int32_t length) override;
    void close() override;
    int32_t popError() override;
    void setMode(bool mode) override;
    std::string peerIdentity() const override;
    int32_t handshake() override;
    bool established() const override;
    int32_t pending() const override;
    std::string cipherName() const override;
    std::string protocolVersion() const override;
    std::shared_ptr<IPAddress> peerAddress() const override;
    uint16_t peerPort() const override;
    uint32_t sessionId() const override;

    // Runs the handshake to its end on a non-blocking descriptor, waiting for readiness with
    // poll; RC_TLS_HANDSHAKE_TIMEOUT (the stream failed) once deadline has passed.
    int32_t completeHandshake(std::chrono::steady_clock::time_point deadline);
    // The OpenSSL session, null after close(). For diagnostics and tests; the stream stays
    // responsible for it.
    SSL* nativeHandle() const { return session_.get(); }

private:
    enum class State { Connecting, Handshaking, Established, Failed, Closed };

    static constexpr size_t MAX_QUEUED_ERRORS = 64;

    int32_t finishConnect();
    // RC_TLS_OK when the session can carry data; otherwise the code, already queued.
    int32_t readyForData();
    // Maps the outcome of a failed SSL call; a fatal one fails the stream.
    int32_t sessionFailure(int result);
    int32_t fail(int32_t code);
    void queue(int32_t code);

    SslPtr session_;
    int descriptor_;
    State state_;
    int32_t failureCode_ = RC_TLS_OK;
    std::deque<int32_t> errors_;
    std::string peerIdentity_;
    std::string cipherName_;
    std::string protocolVersion_;
    std::shared_ptr<IPAddress> peerAddress_;
    uint16_t peerPort_;
    uint32_t sessionId_;
};

}  // namespace tarn::tls
