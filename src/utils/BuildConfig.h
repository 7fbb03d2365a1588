#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

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

// Bounds that keep the daemon's memory, threads and descriptors in check whatever peers do; the
// README lists them.
//
// Flow control: once more than the high mark is queued for a socket, the connection that
// produces those bytes stops reading; it reads again once the queue is below the low mark. A
// pair thus holds at most about one high mark per direction, plus one receive of each side.
// Measured through the proxy (one pair, 400 MiB downloads): 64/16 KiB and 256/64 KiB both carry
// about 1.05 GB/s, 1 MiB/256 KiB about 1.2 GB/s; the smallest keeps a thousand stalled pairs
// within about 256 MiB where the largest would need 4 GiB.
constexpr uint64_t WRITE_QUEUE_HIGH_MARK = 64 * 1024;
constexpr uint64_t WRITE_QUEUE_LOW_MARK = 16 * 1024;
// An outgoing connect that has not completed by then fails.
constexpr std::chrono::seconds CONNECT_TIMEOUT{10};
// A TLS handshake that has not completed by then fails.
constexpr std::chrono::seconds HANDSHAKE_TIMEOUT{10};
// A client must complete its first request head within this time of connecting, and every later
// head within this time of its first byte. Idle keep-alive connections and WebSockets are not
// limited.
constexpr std::chrono::seconds REQUEST_HEAD_TIMEOUT{20};
// A pair whose one direction has ended is closed when the other carries nothing for this long.
constexpr std::chrono::seconds HALF_CLOSE_TIMEOUT{60};
// Accepted sockets waiting for an establisher; beyond this, new connections are refused at once.
constexpr size_t PENDING_CONNECTIONS_LIMIT = 1024;

constexpr unsigned short FORWARD_PROXY_PORT = 29178;
constexpr unsigned short REVERSE_PROXY_PORT = 29179;

}  // namespace config
