#include "proxy/Proxy.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include "libs/tlslib/TlsLib.h"
#include "os/SocketHelpers.h"
#include "os/Termination.h"
#include "utils/BuildConfig.h"
#include "utils/logging/Logger.h"

namespace proxy {

using utils::logging::Critical;
using utils::logging::Debug;
using utils::logging::Info;

namespace {

// Logs a failed step of the listening socket's set-up with the errno the call left.
void logSocketFailure(const char* message) {
    const int error = errno;
    AP_LOG(Critical, message, "errno", error, "description", strerror(error));
}

}  // namespace

Proxy::Proxy(uint32_t role, uint32_t establisherCount, uint32_t handlerCount,
             std::string interfaceName)
    : establisherCount_(establisherCount),
      handlerCount_(handlerCount),
      interfaceName_(std::move(interfaceName)),
      listeningSocket_(openListeningSocket(role, interfaceName_, listenAddress_)),
      listenerMultiplexer_(io::ConnectionMultiplexer::create()),
      socketListener_(listeningSocket_, &queue_, listenerMultiplexer_.get()),
      tlsSocketFactory_(initializeTls()),
      pidResolver_(peer::PidResolver::defaultOperations()),
      role_(role) {
    for (uint32_t i = 0; i < establisherCount_; ++i) {
        establishers_.emplace_back(queue_, dispatcher_, tlsSocketFactory_, pidResolver_,
                                   listenAddress_);
    }
    for (uint32_t i = 0; i < handlerCount_; ++i) {
        std::unique_ptr<io::ConnectionMultiplexer> multiplexer =
            io::ConnectionMultiplexer::create();
        if (multiplexer == nullptr) {
            // The proxy runs with fewer handlers; the multiplexer has said why.
            continue;
        }
        handlers_.emplace_back(multiplexer.get());
        handlerMultiplexers_.push_back(std::move(multiplexer));
        dispatcher_.addHandler(&handlers_.back());
    }
}

Proxy::~Proxy() {
    stop();
}

int Proxy::openListeningSocket(uint32_t role, const std::string& interfaceName,
                               sockaddr_in6& listenAddress) {
    AP_LOG(Debug, "Creating listening socket");
    int descriptor = os::createSocket();
    if (descriptor == -1) {
        logSocketFailure("Could not create listening socket");
        return -1;
    }
    auto fail = [&descriptor](const char* message, bool withErrno) {
        if (withErrno) {
            logSocketFailure(message);
        } else {
            AP_LOG(Critical, message);
        }
        os::closeSocket(descriptor);
        return -1;
    };

    AP_LOG(Debug, "Setting REUSEADDR/REUSEPORT on listening socket");
    if (!os::setAddressAndPortReuse(descriptor)) {
        return fail("Could not set REUSEADDR/REUSEPORT on listening socket", true);
    }

    sockaddr_in6 address{};
    const bool forward = role == ROLE_FORWARD;
    const uint16_t port = forward ? config::FORWARD_PROXY_PORT : config::REVERSE_PROXY_PORT;
    AP_LOG(Info, forward ? "Setting forward proxy port" : "Setting reverse proxy port", port);
    if (!os::getInterfaceAddress(address, interfaceName, port)) {
        return fail("Could not find IP for interface", false);
    }

    AP_LOG(Debug, "Binding listening socket to address/port");
    if (os::bindSocket(descriptor, address) < 0) {
        return fail("Could not bind to address/port", true);
    }

    // Accepted sockets inherit these, so that no connection pays the system calls again.
    os::setNoDelay(descriptor);
    os::setKeepAlive(descriptor);
    if (os::listenSocket(descriptor, config::MAX_CONNECTIONS) < 0) {
        return fail("Could not set connection limit on listening socket", true);
    }

    listenAddress = address;
    return descriptor;
}

std::shared_ptr<tarn::tls::TlsSocketFactory> Proxy::initializeTls() {
    AP_LOG(Info, "Initializing TLS Library");
    tarn::tls::Result<tarn::tls::TlsSocketFactory> result = tarn::tls::initTLSLib();
    if (result.errorCode != 0) {
        AP_LOG(Critical, "error initializing TLS socket factory", result.errorCode,
               tarn::tls::lastInitError());
        return nullptr;
    }
    if (!result.object->available()) {
        AP_LOG(utils::logging::Warning,
               "No TLS credentials configured: authentic and confidential links are refused",
               tarn::tls::TLS_DIRECTORY_VARIABLE);
    }
    return result.object;
}

bool Proxy::isInitialized() const {
    return listeningSocket_ != -1 && socketListener_.isRegistered() && tlsSocketFactory_ != nullptr;
}

void Proxy::start() {
    AP_LOG(Info, "Starting connection handlers");
    size_t index = 0;
    for (io::ConnectionHandler& handler : handlers_) {
        handlerThreads_.emplace_back(&io::ConnectionHandler::run, &handler);
        os::setThreadName(handlerThreads_.back(),
                          "[connection_handler:" + std::to_string(index++) + "]");
    }

    AP_LOG(Info, "Starting connection establishers");
    index = 0;
    for (io::ConnectionEstablisher& establisher : establishers_) {
        establisherThreads_.emplace_back(role_ == ROLE_REVERSE
                                             ? &io::ConnectionEstablisher::runReverse
                                             : &io::ConnectionEstablisher::runForward,
                                         &establisher);
        os::setThreadName(establisherThreads_.back(),
                          "[connection_establisher:" + std::to_string(index++) + "]");
    }

    AP_LOG(Info, "Starting socket listener");
    listenerThread_ = std::thread(&io::SocketListener::run, &socketListener_);
    os::setThreadName(listenerThread_, "[socket_listener]");
}

void Proxy::stop() {
    if (stopped_) {
        return;
    }
    stopped_ = true;
    AP_LOG(Info, "Stopping proxy");

    // Every stop request goes out before the first join, so the workers wind down in parallel.
    AP_LOG(Debug, "Shutting down SocketListener");
    socketListener_.shutdown();
    AP_LOG(Debug, "Shutting down ConnectionEstablishers");
    queue_.requestStop();
    AP_LOG(Debug, "Shutting down ConnectionHandlers");
    for (io::ConnectionHandler& handler : handlers_) {
        handler.shutdown();
    }

    AP_LOG(Debug, "Waiting for socket listening thread to terminate");
    if (listenerThread_.joinable()) {
        listenerThread_.join();
    }
    AP_LOG(Debug, "Waiting for connection establisher threads to terminate");
    for (std::thread& thread : establisherThreads_) {
        if (thread.joinable()) {
            thread.join();
        }
    }
    AP_LOG(Debug, "Waiting for connection handler threads to terminate");
    for (std::thread& thread : handlerThreads_) {
        if (thread.joinable()) {
            thread.join();
        }
    }

    // A listener that ran with the socket registered has closed it on its way out; otherwise
    // (never registered, or never started) it is still ours to close.
    if (!socketListener_.socketClosed()) {
        os::closeSocket(listeningSocket_);
    }
    listeningSocket_ = -1;
}

}  // namespace proxy
