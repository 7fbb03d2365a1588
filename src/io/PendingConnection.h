#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

namespace io {

// One accepted socket on its way from the socket listener to an establisher: the client's
// address as accept() wrote it, the length accept() left, and the new descriptor. Whoever takes
// it from the queue owns the descriptor.
struct PendingConnection {
    sockaddr_in6 address{};
    socklen_t addressLength = sizeof(sockaddr_in6);
    int descriptor = -1;
};

}  // namespace io
