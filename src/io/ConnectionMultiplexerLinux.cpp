#include "io/ConnectionMultiplexerLinux.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "connection/Connection.h"
#include "os/SocketHelpers.h"
#include "utils/logging/Logger.h"

namespace io {

namespace {

using namespace utils::logging;

constexpr uint64_t PIPE_DATA = 0;
constexpr uint64_t LISTENING_SOCKET_DATA = 1;
// An event of a connection removed after the wait that reported it: handed out like an
// interruption, but without a byte of its own in the pipe to read.
constexpr uint64_t BLANKED_DATA = 2;

uint64_t connectionData(const connection::Connection* connection) {
    return reinterpret_cast<uintptr_t>(connection);
}

}  // namespace

ConnectionMultiplexerLinux::ConnectionMultiplexerLinux() {
    AP_LOG(Debug, "Creating connection multiplexer");

    AP_LOG(Verbose, "Creating epoll");
    epollDescriptor_ = epoll_create1(0);
    if (epollDescriptor_ == -1) {
        const int error = errno;
        AP_LOG(Critical, "Could not create epoll", "errno", error, "description", strerror(error));
        return;
    }

    AP_LOG(Verbose, "Creating pipe");
    int ends[2] = {-1, -1};
    if (pipe(ends) != 0) {
        const int error = errno;
        AP_LOG(Critical, "Could not create pipe", "errno", error, "description", strerror(error));
        return;
    }
    pipeReadEnd_ = ends[0];
    pipeWriteEnd_ = ends[1];
    // Non-blocking on both ends: interrupt() must never block its caller on a full pipe, and a
    // blanked event must not block the owner on an empty one.
    os::setNonBlocking(pipeReadEnd_);
    os::setNonBlocking(pipeWriteEnd_);

    AP_LOG(Verbose, "Adding pipe to epoll");
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = PIPE_DATA;
    if (epoll_ctl(epollDescriptor_, EPOLL_CTL_ADD, pipeReadEnd_, &event) != 0) {
        const int error = errno;
        AP_LOG(Critical, "Failed to add pipe to epoll", "errno", error, "description",
               strerror(error));
    }
}

ConnectionMultiplexerLinux::~ConnectionMultiplexerLinux() {
    AP_LOG(Debug, "Destroying ConnectionMultiplexer");
    if (pipeReadEnd_ != -1) {
        close(pipeReadEnd_);
    }
    if (pipeWriteEnd_ != -1) {
        close(pipeWriteEnd_);
    }
    if (epollDescriptor_ != -1) {
        close(epollDescriptor_);
    }
}

bool ConnectionMultiplexerLinux::isValid() const {
    return epollDescriptor_ != -1 && pipeReadEnd_ != -1 && pipeWriteEnd_ != -1;
}

uint32_t ConnectionMultiplexerLinux::toEpollEvents(uint32_t flags) {
    uint32_t events = 0;
    if (flags & EVENT_INPUT) {
        events |= EPOLLIN;
    }
    if (flags & EVENT_OUTPUT) {
        events |= EPOLLOUT;
    }
    if (flags & EVENT_HANGUP) {
        events |= EPOLLRDHUP | EPOLLHUP;
    }
    if (flags & EVENT_ERROR) {
        events |= EPOLLERR;
    }
    return events;
}

uint32_t ConnectionMultiplexerLinux::fromEpollEvents(uint32_t events) {
    uint32_t flags = 0;
    if (events & EPOLLIN) {
        flags |= EVENT_INPUT;
    }
    if (events & EPOLLOUT) {
        flags |= EVENT_OUTPUT;
    }
    if (events & (EPOLLRDHUP | EPOLLHUP)) {
        flags |= EVENT_HANGUP;
    }
    if (events & EPOLLHUP) {
        flags |= EVENT_CLOSED;
    }
    if (events & EPOLLERR) {
        flags |= EVENT_ERROR;
    }
    return flags;
}

bool ConnectionMultiplexerLinux::addConnection(connection::Connection* connection, uint32_t flags) {
    AP_LOG(Debug, "Adding connection to epoll", "connection", connection->tag());
    return controlConnection(EPOLL_CTL_ADD, connection, flags, "Failed to add connection to epoll");
}

bool ConnectionMultiplexerLinux::modifyConnection(connection::Connection* connection,
                                                  uint32_t flags) {
    return controlConnection(EPOLL_CTL_MOD, connection, flags,
                             "Modifying connection in epoll handler failed");
}

bool ConnectionMultiplexerLinux::controlConnection(int operation,
                                                   connection::Connection* connection,
                                                   uint32_t flags, const char* failure) {
    epoll_event event{};
    event.events = toEpollEvents(flags);
    event.data.u64 = connectionData(connection);
    if (epoll_ctl(epollDescriptor_, operation, connection->socket(), &event) != 0) {
        const int error = errno;
        AP_LOG(Error, failure, "errno", error, "description", strerror(error), "connection",
               connection->tag());
        return false;
    }
    return true;
}

void ConnectionMultiplexerLinux::removeConnection(connection::Connection* connection) {
    AP_LOG(Debug, "Removing connection from epoll handling", "connection", connection->tag());
    // Closing a socket already takes it out of epoll, so EBADF only means that happened first.
    if (epoll_ctl(epollDescriptor_, EPOLL_CTL_DEL, connection->socket(), nullptr) != 0 &&
        errno != EBADF) {
        const int error = errno;
        AP_LOG(Error, "Removing connection from epoll handling failed", "errno", error,
               "description", strerror(error), "connection", connection->tag());
    }
    forgetConnection(connection);
}

void ConnectionMultiplexerLinux::forgetConnection(connection::Connection* connection) {
    // The caller may delete the connection next, while the last wait may still hold events for
    // it. Those are turned into interruption events so its address is never handed out.
    const uint64_t data = connectionData(connection);
    for (int index = 0; index < pendingCount_; ++index) {
        if (eventList_[index].data.u64 == data) {
            eventList_[index].data.u64 = BLANKED_DATA;
        }
    }
}

MultiplexerEvent ConnectionMultiplexerLinux::nextEvent(int timeoutMilliseconds) {
    if (pendingCount_ == 0) {
        pendingCount_ = epoll_wait(epollDescriptor_, eventList_.data(),
                                   static_cast<int>(eventList_.size()), timeoutMilliseconds);
        AP_LOG(Verbose, "epoll_wait", "result", pendingCount_);
        if (pendingCount_ == -1) {
            const int error = errno;
            AP_LOG(Error, "Error during epoll_wait", "errno", error, "description",
                   strerror(error));
            pendingCount_ = 0;
            return {nullptr, 0};
        }
        if (pendingCount_ <= 0) {
            pendingCount_ = 0;
            return {nullptr, 0};
        }
    }

    const epoll_event& event = eventList_[--pendingCount_];
    switch (event.data.u64) {
        case LISTENING_SOCKET_DATA:
            return {nullptr, EVENT_NEW_CONNECTION};
        case PIPE_DATA:
            readInterruptionPipe();
            return {nullptr, 0};
        case BLANKED_DATA:
            return {nullptr, 0};
        default:
            return {reinterpret_cast<connection::Connection*>(event.data.u64),
                    fromEpollEvents(event.events)};
    }
}

void ConnectionMultiplexerLinux::readInterruptionPipe() {
    char byte = 0;
    const ssize_t result = read(pipeReadEnd_, &byte, 1);
    if (result == 1) {
        return;
    }
    if (result == -1 && errno != EAGAIN) {
        const int error = errno;
        AP_LOG(Error, "error reading multiplexer interruption pipe", "errno", error, "description",
               strerror(error));
        return;
    }
    // An empty pipe is expected after a blanked event, which has no byte of its own.
    AP_LOG(Warning, "unexpected result reading multiplexer interruption pipe", "result",
           static_cast<long>(result));
}

void ConnectionMultiplexerLinux::interrupt() {
    const char byte = 0;
    const ssize_t rc = write(pipeWriteEnd_, &byte, 1);
    if (rc < 0) {
        const int error = errno;
        AP_LOG(Error, "Error writing pipe", "errno", error, "description", strerror(error));
    } else if (rc != 1) {
        AP_LOG(Warning, "Unexpected result writing pipe", "rc", static_cast<long>(rc));
    }
}

bool ConnectionMultiplexerLinux::addListeningSocket(int descriptor) {
    if (listeningSocket_ != -1) {
        return false;
    }
    AP_LOG(Debug, "Adding listening socket to epoll", "fd", descriptor);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = LISTENING_SOCKET_DATA;
    if (epoll_ctl(epollDescriptor_, EPOLL_CTL_ADD, descriptor, &event) != 0) {
        const int error = errno;
        AP_LOG(Error, "Failed to add listening socket to epoll", "errno", error, "description",
               strerror(error), "fd", descriptor);
        return false;
    }
    listeningSocket_ = descriptor;
    return true;
}

int ConnectionMultiplexerLinux::removeListeningSocket() {
    if (listeningSocket_ == -1) {
        return -1;
    }
    const int descriptor = listeningSocket_;
    AP_LOG(Debug, "Removing listening socket from epoll handling", "fd", descriptor);
    if (epoll_ctl(epollDescriptor_, EPOLL_CTL_DEL, descriptor, nullptr) != 0) {
        const int error = errno;
        AP_LOG(Error, "Removing listening socket from epoll handling failed", "errno", error,
               "description", strerror(error), "fd", descriptor);
    }
    listeningSocket_ = -1;
    return descriptor;
}

}  // namespace io
