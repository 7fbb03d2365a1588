#pragma once

#include <netinet/in.h>

#include <istream>
#include <string>
#include <vector>

// The TLS exception list: addresses whose links stay plain whatever the capability cache says.
// The process-wide list is read from "tls_exceptions.txt" in the working directory while the
// program loads, before main runs and before any logger exists, and never changes afterwards,
// so it is read without a lock from any thread.
//
// File format: one IPv6 address per line as inet_pton(AF_INET6) accepts it. A line that does
// not convert (empty, dotted IPv4, trailing blanks, a carriage return) adds nothing. A missing
// file gives an empty list; nothing is reported.
namespace proxy {

// The addresses of the lines that convert, in file order.
std::vector<in6_addr> parseTlsExceptions(std::istream& input);
// parseTlsExceptions of the file; empty when it cannot be opened.
std::vector<in6_addr> loadTlsExceptions(const std::string& path);

// The process-wide list.
const std::vector<in6_addr>& tlsExceptions();

// Whether the 16 address bytes equal an entry's; family, port, flow information and scope id
// play no part.
bool isTlsException(const sockaddr_in6& address);

}  // namespace proxy
