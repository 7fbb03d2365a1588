#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include "connection/Connection.h"

namespace connection {

// The socket the proxy opens towards a connection's original destination. Everything it reads
// is forwarded to its peer unchanged.
class OutgoingConnection : public Connection {
public:
    // Connects while the socket is still blocking; status() tells whether it worked
    // (StatusNoSocket, StatusNotConnected). The tag stays empty until the establisher sets it.
    OutgoingConnection(const sockaddr_in6* destination, const socklen_t* length);
    ~OutgoingConnection() override;

    ReadResult conRead() override;
    void disconnect() override;

protected:
    // For transports that make their own socket (TLS): no socket yet, status ready.
    OutgoingConnection();
};

}  // namespace connection
