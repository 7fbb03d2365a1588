#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <memory>
#include <string>

#include "access/PidResolver.h"
#include "io/ConnectionDispatcherBase.h"
#include "io/PendingConnection.h"
#include "io/PendingConnectionQueue.h"
#include "libs/tlslib/TlsSocketFactory.h"

namespace io {

// Turns accepted sockets into connection pairs. It takes one socket at a time from the
// pending-connection queue, finds where the client wanted to go (the destination before the
// kernel redirected the connection), decides how each side must be secured, creates the
// incoming and the outgoing connection, tags and links them and hands the pair to the
// dispatcher.
//
// Forward proxy: the client is a local process. The incoming side is plain; the process behind
// the socket and its alias are found, and the outgoing side is secured as the capability cache
// says. Reverse proxy: the client is remote; the incoming side is secured as the cache says and
// the outgoing side is plain.
//
// Links that must be authentic or confidential are wrapped in TLS; without TLS credentials they
// are refused and closed, never carried in plain. Nothing here waits for a remote host: outgoing
// connects and TLS handshakes complete on the handler that adopts the pair.
//
// Threading: one establisher per thread; establishers share the queue, the dispatcher, the TLS
// socket factory, the PID resolver and the process-wide capability and alias clients, all safe
// for concurrent use. Establishing runs without the queue's lock.
// Ownership: an element's descriptor belongs to the establisher from the moment it leaves the
// queue; it ends either closed or inside a connection handed to the dispatcher. Nothing passed to
// the constructor is owned, except a share of the TLS socket factory.
class ConnectionEstablisher {
public:
    ConnectionEstablisher(PendingConnectionQueue& queue, ConnectionDispatcherBase& dispatcher,
                          std::shared_ptr<tarn::tls::TlsSocketFactory> tlsSocketFactory,
                          peer::PidResolver& pidResolver, const sockaddr_in6& listenAddress);

    ConnectionEstablisher(const ConnectionEstablisher&) = delete;
    ConnectionEstablisher& operator=(const ConnectionEstablisher&) = delete;

    // Thread bodies: establish elements until the queue's stop flag is set.
    void runReverse();
    void runForward();

    // Every failure closes whatever was opened for the element.
    void establishReverse(PendingConnection element);
    void establishForward(PendingConnection element);

    // "[address]:port".
    static std::string formatEndpoint(const sockaddr_in6& address);
    // The destination of a redirected connection as it was before the redirection; negative
    // with errno set when the socket has none (it was not redirected).
    static int getOriginalDestination(int descriptor, sockaddr_in6* address, socklen_t* length);

private:
    void run(void (ConnectionEstablisher::*establish)(PendingConnection));
    bool secureLinksAvailable() const;
    // The original destination of an accepted socket; false, logged, when it has none or when
    // the client connected straight to the proxy. The caller closes the socket then.
    bool readOriginalDestination(int descriptor, sockaddr_in6* destination,
                                 socklen_t* length) const;
    bool isDirectConnection(const sockaddr_in6& destination) const;

    PendingConnectionQueue* queue_;
    ConnectionDispatcherBase* dispatcher_;
    std::shared_ptr<tarn::tls::TlsSocketFactory> tlsSocketFactory_;
    peer::PidResolver* pidResolver_;
    // The address and port the listening socket is bound to, and so the local end of every
    // accepted socket; all zero when the listening socket failed.
    sockaddr_in6 listenAddress_;
    // Address text of the proxy's interface; empty when the listening socket failed.
    std::string localAddress_;
};

}  // namespace io
