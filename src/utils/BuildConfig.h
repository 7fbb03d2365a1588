#pragma once

#include <cstddef>

// Values fixed when the daemon is built; the entry point writes them to the log at start-up.
namespace config {

constexpr const char* PROXY_VERSION = "1.5.6";
// Receive buffer of each connection and the limit of one message.
constexpr size_t BUFFER_SIZE = 8192;
// Events taken per multiplexer wait.
constexpr int EPOLL_EVENTLIST_SIZE = 32;
// Listen backlog of the listening socket.
constexpr int MAX_CONNECTIONS = 525;
constexpr const char* SPLICING_ENABLED = "Off";
constexpr const char* HAVE_SYSTEMD = "On";
// Node address handed to the TLS library for every secure connection.
constexpr const char* NODE_ADDRESS_VALUE = "0106";
// The TLS exception list, read from the working directory.
constexpr const char* TLS_EXCEPTIONS = "tls_exceptions.txt";

constexpr unsigned short FORWARD_PROXY_PORT = 29178;
constexpr unsigned short REVERSE_PROXY_PORT = 29179;

}  // namespace config
