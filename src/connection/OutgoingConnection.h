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

protected:
    // For transports that make their own socket (TLS): no socket yet, status ready.
    explicit OutgoingConnection(State state);

private:
    // Which response answers which forwarded request, for the answer to an upgrade request.
    parser::ResponseTracker responses_;
};

}  // namespace connection
