#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <string>

// Wrappers of the socket system calls the proxy uses. All sockets are IPv6 TCP sockets.
// Option setters log their failures at Error and leave the socket usable; the call wrappers
// (create, connect, accept, bind, listen) log nothing and leave errno to their caller.
// Stateless: callable from any thread.
namespace os {

int createSocket();
// A socket that is non-blocking (and not inherited by child processes) from the start, without
// the two fcntl calls of setNonBlocking.
int createNonBlockingSocket();
int connectSocket(int& descriptor, const sockaddr_in6* address, socklen_t length);
// The accepted socket is non-blocking (and not inherited by child processes) from the start, and
// inherits the listening socket's options (no-delay, keep-alive).
int acceptSocket(int& descriptor, sockaddr_in6* address, socklen_t* length);
int bindSocket(int& descriptor, const sockaddr_in6& address);
int listenSocket(int& descriptor, int backlog);

std::string addressToString(const sockaddr_in6& address);
uint16_t portOf(const sockaddr_in6& address);

// Fills the address with the last global (non fe80) IPv6 address of the interface and the port.
bool getInterfaceAddress(sockaddr_in6& address, const std::string& interfaceName, uint16_t port);

// Closes unless -1; does not reset the caller's copy.
void closeSocket(int& descriptor);

void setNonBlocking(int descriptor);
void setNoDelay(int descriptor);
void setReceiveTimeout(int descriptor, uint32_t seconds);
bool setAddressAndPortReuse(int descriptor);
void setKeepAlive(int descriptor);

}  // namespace os
