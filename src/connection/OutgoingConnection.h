#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include "connection/Connection.h"
#include "parser/ResponseTracker.h"

namespace connection {

// The socket the proxy opens towards a connection's original destination. Everything it reads
// is forwarded to its peer unchanged.
class OutgoingConnection : public Connection {
public:
    // Starts a non-blocking connect: no thread ever waits for a remote host. The connection is
    // Connecting until the handler sees the socket writable (continueSetUp) or the connect
    // deadline passes; bytes written meanwhile are queued. status() tells whether the socket
    // could be made and the connect started (StatusNoSocket, StatusNotConnected, with errno
    // telling why). The tag stays empty until the establisher sets it.
    OutgoingConnection(const sockaddr_in6* destination, const socklen_t* length);
    ~OutgoingConnection() override;

    ReadResult conRead() override;
    void disconnect() override;
    void requestForwarded(RequestKind kind) override;
    bool queueAnswer(const char* data, size_t length) override;

protected:
    // For transports that make their own socket (TLS): no socket yet, status ready.
    explicit OutgoingConnection(State state);

private:
    // Writes the waiting answers of the proxy's own whose turn has come to the peer: how many it
    // wrote, or -1 when the peer could not take one (the caller closes the pair).
    int deliverDueAnswers();

    // Where the server's stream stands: which response answers which forwarded request, and
    // where an answer of the proxy's own may go.
    parser::ResponseTracker responses_;
    // Answers of the proxy's own for the peer's client, oldest first, waiting for their turn.
    WriteQueue answers_;
};

}  // namespace connection
