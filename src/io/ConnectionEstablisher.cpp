#include "io/ConnectionEstablisher.h"

#include <arpa/inet.h>
#include <linux/netfilter_ipv6/ip6_tables.h>

#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "access/CapabilityQueries.h"
#include "access/ProcessLookup.h"
#include "access/SecurityLevel.h"
#include "connection/IdentityHeader.h"
#include "connection/IncomingConnection.h"
#include "connection/OutgoingConnection.h"
#include "connection/SecureIncomingConnection.h"
#include "connection/SecureOutgoingConnection.h"
#include "libs/aliasManager/AliasQueryClient.h"
#include "libs/capCache/QueryService.h"
#include "os/SocketHelpers.h"
#include "proxy/TlsExceptions.h"
#include "utils/BuildConfig.h"
#include "utils/logging/Logger.h"

namespace io {

using utils::logging::Debug;
using utils::logging::Error;
using utils::logging::Info;
using utils::logging::Verbose;

namespace {

constexpr const char* MARK_IN_PLAIN = ",in,p,";
constexpr const char* MARK_IN_AUTHENTIC = ",in,a,";
constexpr const char* MARK_IN_CONFIDENTIAL = ",in,c,";
constexpr const char* MARK_OUT_PLAIN = ",out,p,";
constexpr const char* MARK_OUT_AUTHENTIC = ",out,a,";
constexpr const char* MARK_OUT_CONFIDENTIAL = ",out,c,";

// Authentic and confidential links need TLS credentials; without them such a link is refused
// rather than carried in plain.
constexpr const char* SECURE_UNAVAILABLE = "Secure connections not available. Rejecting connection";

alias_manager::AliasQueryClient& aliasClient() {
    // Never destroyed: establisher threads may still query it while static destructors run at
    // exit. Static initialisation makes the first use from several threads safe.
    static alias_manager::AliasQueryClient* const client = new alias_manager::AliasQueryClient();
    return *client;
}

}  // namespace

// Where connection tracking is active, a connection made straight to the proxy's own port (not
// redirected) reports that port as its original destination. Connecting there would make the
// proxy connect to itself again and again until it runs out of descriptors.
bool ConnectionEstablisher::isDirectConnection(const sockaddr_in6& destination) const {
    return listenAddress_.sin6_port == destination.sin6_port &&
           std::memcmp(&listenAddress_.sin6_addr, &destination.sin6_addr, sizeof(in6_addr)) == 0;
}

bool ConnectionEstablisher::readOriginalDestination(int descriptor, sockaddr_in6* destination,
                                                    socklen_t* length) const {
    AP_LOG(Verbose, "Getting original destination of connection");
    if (getOriginalDestination(descriptor, destination, length) < 0) {
        const int error = errno;
        AP_LOG(Error, "could not get original destination of connection", strerror(error), "errno",
               error, descriptor);
        return false;
    }
    if (isDirectConnection(*destination)) {
        AP_LOG(Error, "Connection was not redirected to the proxy. Rejecting connection", "fd",
               descriptor);
        return false;
    }
    return true;
}

ConnectionEstablisher::ConnectionEstablisher(
    PendingConnectionQueue& queue, ConnectionDispatcherBase& dispatcher,
    std::shared_ptr<tarn::tls::TlsSocketFactory> tlsSocketFactory, peer::PidResolver& pidResolver,
    const sockaddr_in6& listenAddress)
    : queue_(&queue),
      dispatcher_(&dispatcher),
      tlsSocketFactory_(std::move(tlsSocketFactory)),
      pidResolver_(&pidResolver),
      listenAddress_(listenAddress),
      localAddress_(listenAddress.sin6_family == AF_INET6 ? os::addressToString(listenAddress)
                                                          : std::string()) {}

bool ConnectionEstablisher::secureLinksAvailable() const {
    return tlsSocketFactory_ != nullptr && tlsSocketFactory_->available();
}

void ConnectionEstablisher::runReverse() {
    run(&ConnectionEstablisher::establishReverse);
}

void ConnectionEstablisher::runForward() {
    run(&ConnectionEstablisher::establishForward);
}

void ConnectionEstablisher::run(void (ConnectionEstablisher::*establish)(PendingConnection)) {
    AP_LOG(Info, "Connection establisher running");
    PendingConnection element;
    while (queue_->take(element)) {
        (this->*establish)(element);
    }
    AP_LOG(Info, "Connection establisher shutting down");
}

std::string ConnectionEstablisher::formatEndpoint(const sockaddr_in6& address) {
    // Appended piece by piece: g++ 12 at -O3 misreads the chained operator+ as an overlapping
    // copy (-Wrestrict) and would stop the release build.
    std::string endpoint = "[";
    endpoint += os::addressToString(address);
    endpoint += "]:";
    endpoint += std::to_string(os::portOf(address));
    return endpoint;
}

int ConnectionEstablisher::getOriginalDestination(int descriptor, sockaddr_in6* address,
                                                  socklen_t* length) {
    return getsockopt(descriptor, SOL_IPV6, IP6T_SO_ORIGINAL_DST, address, length);
}

void ConnectionEstablisher::establishReverse(PendingConnection element) {
    int descriptor = element.descriptor;
    // The peer's address as accept gave it: the same getpeername would give, one call less.
    AP_LOG(Verbose, "Getting peer IP address");
    const sockaddr_in6 client = element.address;

    if (!readOriginalDestination(descriptor, &element.address, &element.addressLength)) {
        os::closeSocket(descriptor);
        return;
    }
    const sockaddr_in6& destination = element.address;
    const std::string clientText = os::addressToString(client);
    const std::string destinationText = os::addressToString(destination);
    const uint16_t destinationPort = ntohs(destination.sin6_port);

    AP_LOG(Verbose, "Trying to connect to", destinationText, destinationPort, "from", clientText,
           descriptor);
    AP_LOG(Verbose, "checking if connection is excluded form tls", descriptor);

    std::unique_ptr<connection::IncomingConnection> incoming;
    const char* mark = MARK_IN_PLAIN;
    if (proxy::isTlsException(client)) {
        AP_LOG(Debug, "Creating incoming connection (TLS exclusion)", descriptor);
        incoming = std::make_unique<connection::IncomingConnection>(
            descriptor, clientText.c_str(),
            connection::IncomingConnection::SocketOptions::Inherited);
    } else {
        const capability_query_if::QueryService request(destinationText, "", "", destinationPort);
        AP_LOG(Verbose, "Checking capability cache for security level", descriptor);
        const ccc::SecurityLevel level = ccc::querySecurityLevel(request);
        switch (level) {
            case ccc::SECURITY_LEVEL_PLAIN:
                AP_LOG(Debug, "Creating incoming connection", descriptor);
                incoming = std::make_unique<connection::IncomingConnection>(
                    descriptor, clientText.c_str(),
                    connection::IncomingConnection::SocketOptions::Inherited);
                break;
            case ccc::SECURITY_LEVEL_AUTHENTIC:
            case ccc::SECURITY_LEVEL_CONFIDENTIAL: {
                if (!secureLinksAvailable()) {
                    AP_LOG(Error, SECURE_UNAVAILABLE, "fd", descriptor, "ip", destinationText,
                           "port", destinationPort, "result", level);
                    os::closeSocket(descriptor);
                    return;
                }
                const bool confidential = level == ccc::SECURITY_LEVEL_CONFIDENTIAL;
                AP_LOG(Debug,
                       confidential ? "Creating confidential incoming connection"
                                    : "Creating authentic incoming connection",
                       descriptor);
                incoming = std::make_unique<connection::SecureIncomingConnection>(
                    tlsSocketFactory_, descriptor, clientText.c_str(), confidential);
                mark = confidential ? MARK_IN_CONFIDENTIAL : MARK_IN_AUTHENTIC;
                break;
            }
            default:
                AP_LOG(Error, "Could not determine security level", "fd", descriptor, "ip",
                       destinationText, "port", destinationPort, "result", level);
                os::closeSocket(descriptor);
                return;
        }
    }
    const std::string tagPrefix =
        formatEndpoint(client) + "/" + clientText + "->" + formatEndpoint(destination);
    incoming->setTag(tagPrefix + mark + std::to_string(incoming->socket()));

    if (incoming->status() != connection::Connection::StatusReady) {
        const int error = errno;
        AP_LOG(Error, "Creating incoming connection failed. Closing connection : client",
               clientText, "server", destinationText, destinationPort, strerror(error));
        // A connection that never took the descriptor over (its socket is still -1) leaves it
        // to us; one that did closes it itself. Either way it is closed exactly once.
        const bool tookDescriptor = incoming->socket() == descriptor;
        incoming.reset();
        if (!tookDescriptor) {
            os::closeSocket(descriptor);
        }
        return;
    }

    AP_LOG(Info, "Creating outgoing connection to server", incoming->tag());
    auto outgoing =
        std::make_unique<connection::OutgoingConnection>(&destination, &element.addressLength);
    if (outgoing->status() != connection::Connection::StatusReady) {
        AP_LOG(Error, "Creating outgoing connection failed. Closing connection pair",
               incoming->tag());
        outgoing.reset();
        incoming.reset();
        return;
    }
    outgoing->setTag(tagPrefix + MARK_OUT_PLAIN + std::to_string(outgoing->socket()));

    AP_LOG(Info, "Established", incoming->tag(), outgoing->tag());
    incoming->setPeer(outgoing.get());
    outgoing->setPeer(incoming.get());
    // Whatever the dispatcher does not take is destroyed here, which closes both sockets.
    dispatcher_->dispatch(incoming, outgoing);
}

void ConnectionEstablisher::establishForward(PendingConnection element) {
    int descriptor = element.descriptor;
    const socklen_t length = sizeof(sockaddr_in6);
    const sockaddr_in6& client = element.address;

    // Accepted non-blocking already.
    AP_LOG(Debug, "Establishing connection", descriptor, "from", formatEndpoint(client));
    std::string alias;

    sockaddr_in6 destination{};
    socklen_t destinationLength = sizeof(destination);
    if (!readOriginalDestination(descriptor, &destination, &destinationLength)) {
        os::closeSocket(descriptor);
        return;
    }
    const std::string destinationText = os::addressToString(destination);
    const uint16_t destinationPort = ntohs(destination.sin6_port);

    AP_LOG(Verbose, "getting PID from port");
    const int32_t pid = pidResolver_->lookup(client, destination);
    if (pid == -1) {
        AP_LOG(Error,
               "Cannot find pid, most likely you did not set correct permissions to the "
               "executable. Rejecting connection");
        os::closeSocket(descriptor);
        return;
    }

    AP_LOG(Verbose, "Getting UID and GID from PID");
    const peer::UserAndGroup ids = peer::readUserAndGroup(std::to_string(pid));
    AP_LOG(Verbose, "UID", ids.userId, "GID", ids.groupId);

    AP_LOG(Verbose, "Querying alias manager");
    std::vector<std::string> aliases;
    // Ids of -1 (an unreadable status file) go to the alias manager unchanged; it refuses them.
    const int status = aliasClient().queryAliases(static_cast<uint32_t>(ids.userId), 0,
                                                  static_cast<uint32_t>(ids.groupId), aliases);
    if (status == alias_manager::AliasQueryClient::STATUS_INVALID_REQUEST) {
        AP_LOG(Error, "AliasManager invalid request");
        os::closeSocket(descriptor);
        return;
    }
    if (status == alias_manager::AliasQueryClient::STATUS_SOCKET_CLOSED) {
        AP_LOG(Error, "AliasManager Socket closed");
        os::closeSocket(descriptor);
        return;
    }
    if (status == alias_manager::AliasQueryClient::STATUS_OK) {
        AP_LOG(Verbose, "Alias manager query successful");
        if (aliases.empty()) {
            AP_LOG(Error, "Alias query vector empty. Rejecting connection");
            os::closeSocket(descriptor);
            return;
        }
        alias = aliases.front();
        AP_LOG(Debug, "domain", alias, descriptor);
        if (connection::unsafeHeaderValue(alias)) {
            // The alias becomes a header value; a line break in it would let it forge headers.
            AP_LOG(Error, "Alias holds a line break. Rejecting connection", descriptor);
            os::closeSocket(descriptor);
            return;
        }
    }

    const std::string destinationEndpoint = formatEndpoint(destination);
    // A destination on the loopback address is reached through this node's own address, and
    // the incoming side names its server that way (the WebSocket registry key).
    std::string serverAddress = destinationText;
    if (!localAddress_.empty() && destinationText == "::1") {
        serverAddress = localAddress_;
    }

    // From here on the incoming connection owns the descriptor: every failure below destroys
    // it, which closes the descriptor, and must not close it again.
    auto incoming = std::make_unique<connection::IncomingConnection>(
        descriptor, std::string(alias), serverAddress.c_str(), destinationPort);
    const std::string tagPrefix = formatEndpoint(client) + "/" + alias + "->" + destinationEndpoint;
    incoming->setTag(tagPrefix + MARK_IN_PLAIN + std::to_string(descriptor));
    AP_LOG(Verbose, "Trying to connect to", destinationEndpoint, incoming->tag());
    AP_LOG(Verbose, "checking if connection is excluded form tls", incoming->tag());

    std::unique_ptr<connection::OutgoingConnection> outgoing;
    const char* mark = MARK_OUT_PLAIN;
    if (proxy::isTlsException(destination)) {
        AP_LOG(Debug, "Creating outgoing connection (TLS exclusion)", incoming->tag());
        incoming->setAddHeader(true);
        outgoing = std::make_unique<connection::OutgoingConnection>(&destination, &length);
    } else {
        const capability_query_if::QueryService request(destinationText, "", "", destinationPort);
        AP_LOG(Verbose, "Checking capability cache for security level", incoming->tag());
        const ccc::SecurityLevel level = ccc::querySecurityLevel(request);
        switch (level) {
            case ccc::SECURITY_LEVEL_PLAIN:
                AP_LOG(Debug, "Creating outgoing connection", incoming->tag());
                incoming->setAddHeader(true);
                outgoing = std::make_unique<connection::OutgoingConnection>(&destination, &length);
                break;
            case ccc::SECURITY_LEVEL_AUTHENTIC:
            case ccc::SECURITY_LEVEL_CONFIDENTIAL: {
                if (!secureLinksAvailable()) {
                    AP_LOG(Error, SECURE_UNAVAILABLE, incoming->tag(), "result", level);
                    return;
                }
                const bool confidential = level == ccc::SECURITY_LEVEL_CONFIDENTIAL;
                AP_LOG(Debug,
                       confidential ? "Creating confidential outgoing connection"
                                    : "Creating authentic outgoing connection",
                       incoming->tag());
                outgoing = std::make_unique<connection::SecureOutgoingConnection>(
                    tlsSocketFactory_, destination, alias, confidential);
                mark = confidential ? MARK_OUT_CONFIDENTIAL : MARK_OUT_AUTHENTIC;
                break;
            }
            default:
                AP_LOG(Error, "Could not determine security level", incoming->tag(), "result",
                       level);
                return;
        }
    }
    outgoing->setTag(tagPrefix + mark + std::to_string(outgoing->socket()));

    if (outgoing->status() != connection::Connection::StatusReady) {
        AP_LOG(Error, "Forward: Creating outgoing connection failed. Closing connection pair",
               incoming->tag());
        outgoing.reset();
        incoming.reset();
        return;
    }

    AP_LOG(Info, "Established", incoming->tag(), outgoing->tag());
    incoming->setPeer(outgoing.get());
    outgoing->setPeer(incoming.get());
    dispatcher_->dispatch(incoming, outgoing);
}

}  // namespace io
