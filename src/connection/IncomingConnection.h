#pragma once

#include <cstdint>
#include <string>

#include "access/QueryCallback.h"
#include "connection/Connection.h"

namespace connection {

// The socket the proxy accepted from a client. Its read path is where requests are checked
// before they reach the peer; until that check exists, it forwards what it reads unchanged,
// like the outgoing side.
class IncomingConnection : public Connection {
public:
    // Sets no-delay, keep-alive and non-blocking on the socket; the tag is the descriptor.
    IncomingConnection(int socket, const char* domain);
    // For the establisher, which has made the socket non-blocking itself and sets no other
    // option. An upgraded WebSocket of this connection is entered in the open WebSocket registry
    // under (domain, address, port), and service offerings are checked.
    IncomingConnection(int socket, std::string&& domain, const char* address, uint16_t port);
    ~IncomingConnection() override;

    ReadResult conRead() override;
    void disconnect() override;
    bool hasPendingQuery() const override;
    // The value of the identity header added to a forwarded request.
    virtual std::string headerValue();

    const std::string& domain() const { return domain_; }
    const std::string& address() const { return address_; }
    uint16_t port() const { return port_; }
    bool registered() const { return registered_; }
    bool offeringCheck() const { return offeringCheck_; }
    bool websocket() const { return websocket_; }
    bool addHeader() const { return addHeader_; }
    void setAddHeader(bool addHeader) { addHeader_ = addHeader; }
    ccc::QueryCallback& queryCallback() { return queryCallback_; }

protected:
    // For transports that set up their socket later (TLS): socket -1, tag empty, not
    // registered.
    explicit IncomingConnection(const char* domain);

    // Removes the registry entry of an upgraded, registered connection.
    void leaveRegistry();

    std::string service_;
    std::string resource_;
    std::string domain_;
    uint16_t port_ = 0;
    std::string address_;
    int32_t parseOffset_ = 0;
    uint32_t readState_ = 0;
    bool registered_ = false;
    bool offeringCheck_ = false;
    bool websocket_ = false;
    std::string parseBuffer_;
    ccc::QueryCallback queryCallback_{this};
    bool addHeader_ = false;
};

}  // namespace connection
