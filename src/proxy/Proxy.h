#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "access/PidResolver.h"
#include "io/ConnectionDispatcher.h"
#include "io/ConnectionEstablisher.h"
#include "io/ConnectionHandler.h"
#include "io/ConnectionMultiplexer.h"
#include "io/PendingConnectionQueue.h"
#include "io/SocketListener.h"
#include "libs/tlslib/TlsSocketFactory.h"

namespace proxy {

// Owns everything that runs in the daemon: the listening socket, the pending-connection queue,
// the socket listener, the dispatcher, the connection handlers with their multiplexers, the
// establishers, the TLS socket factory, the PID resolver and every worker thread.
//
// The constructor does the whole set-up and never throws for an expected failure: it goes
// through every step even after one failed, so that every member exists, and isInitialized()
// reports the outcome. An uninitialised proxy must not be started; destroying it is fine.
//
// Threading: constructor, start(), stop() and the destructor belong to one thread (the main
// thread); the workers run on threads of their own between start() and stop().
class Proxy {
public:
    static constexpr uint32_t ROLE_FORWARD = 0;
    static constexpr uint32_t ROLE_REVERSE = 1;

    Proxy(uint32_t role, uint32_t establisherCount, uint32_t handlerCount,
          std::string interfaceName);
    // Stops first, so every thread has been joined before any member goes.
    ~Proxy();

    Proxy(const Proxy&) = delete;
    Proxy& operator=(const Proxy&) = delete;

    // The listening socket is set up, registered with the listener, and TLS is available.
    bool isInitialized() const;

    // Starts the handlers, then the establishers, then the listener, each on its own thread.
    void start();
    // Asks every worker to stop, then joins the listener, the establishers and the handlers in
    // that order, and makes sure the listening socket is closed exactly once. Only the first
    // call does anything.
    void stop();

    int listeningSocket() const { return listeningSocket_; }
    size_t handlerCount() const { return handlers_.size(); }
    size_t establisherCount() const { return establishers_.size(); }

private:
    // Creates, binds and listens, and sets listenAddress to where; -1 after any failure, which
    // it has logged and cleaned up, with listenAddress left alone.
    static int openListeningSocket(uint32_t role, const std::string& interfaceName,
                                   sockaddr_in6& listenAddress);
    static std::shared_ptr<tarn::tls::TlsSocketFactory> initializeTls();

    uint32_t establisherCount_;
    uint32_t handlerCount_;
    std::string interfaceName_;
    // All zero when the listening socket failed.
    sockaddr_in6 listenAddress_{};
    int listeningSocket_;
    io::PendingConnectionQueue queue_;
    std::unique_ptr<io::ConnectionMultiplexer> listenerMultiplexer_;
    io::SocketListener socketListener_;
    std::shared_ptr<tarn::tls::TlsSocketFactory> tlsSocketFactory_;
    io::ConnectionDispatcher dispatcher_;
    std::vector<std::unique_ptr<io::ConnectionMultiplexer>> handlerMultiplexers_;
    // Lists, because handlers and establishers are handed out by address and must not move.
    std::list<io::ConnectionHandler> handlers_;
    std::list<io::ConnectionEstablisher> establishers_;
    std::thread listenerThread_;
    std::vector<std::thread> handlerThreads_;
    std::vector<std::thread> establisherThreads_;
    peer::PidResolver pidResolver_;
    uint32_t role_;
    bool stopped_ = false;
};

}  // namespace proxy
