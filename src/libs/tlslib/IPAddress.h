#pragma once

#include <netinet/in.h>

#include <string>

namespace tarn::tls {

// An IPv6 address as the library passes it around. Immutable; safe to share between threads.
// Made by InetAddressFactory::makeIPAddress.
class IPAddress {
public:
    IPAddress(const in6_addr& bytes, std::string text) : bytes_(bytes), text_(std::move(text)) {}

    const in6_addr& bytes() const { return bytes_; }
    // The text the address was made from.
    const std::string& text() const { return text_; }

private:
    in6_addr bytes_;
    std::string text_;
};

}  // namespace tarn::tls
