#pragma once

#include <sys/epoll.h>

#include <array>
#include <cstdint>

#include "io/ConnectionMultiplexer.h"
#include "utils/BuildConfig.h"

namespace io {

// The epoll implementation. An interruption pipe, registered with user data 0, lets another
// thread wake the owner; the listening socket is registered with user data 1; every other user
// data value is the address of a connection::Connection.
//
// Threading and ownership as for ConnectionMultiplexer. The destructor closes the epoll
// instance and the pipe, never the listening socket nor any connection's socket.
class ConnectionMultiplexerLinux : public ConnectionMultiplexer {
public:
    ConnectionMultiplexerLinux();
    ~ConnectionMultiplexerLinux() override;

    ConnectionMultiplexerLinux(const ConnectionMultiplexerLinux&) = delete;
    ConnectionMultiplexerLinux& operator=(const ConnectionMultiplexerLinux&) = delete;

    // Whether the epoll instance and both pipe ends exist; create() discards an invalid one.
    bool isValid() const;

    bool addConnection(connection::Connection* connection, uint32_t flags) override;
    bool modifyConnection(connection::Connection* connection, uint32_t flags) override;
    void removeConnection(connection::Connection* connection) override;
    void forgetConnection(connection::Connection* connection) override;
    MultiplexerEvent nextEvent(int timeoutMilliseconds = -1) override;
    bool eventsPending() const override { return pendingCount_ > 0; }
    void interrupt() override;
    bool addListeningSocket(int descriptor) override;
    int removeListeningSocket() override;

    static uint32_t toEpollEvents(uint32_t flags);
    static uint32_t fromEpollEvents(uint32_t events);

private:
    void readInterruptionPipe();
    // Adds or modifies the registration of a connection's socket; logs `failure` when refused.
    bool controlConnection(int operation, connection::Connection* connection, uint32_t flags,
                           const char* failure);

    int epollDescriptor_ = -1;
    int pipeReadEnd_ = -1;
    int pipeWriteEnd_ = -1;
    // Events of the last wait not handed out yet; they sit at indices 0 .. pendingCount_ - 1.
    int pendingCount_ = 0;
    int listeningSocket_ = -1;
    std::array<epoll_event, config::EPOLL_EVENTLIST_SIZE> eventList_{};
};

}  // namespace io
