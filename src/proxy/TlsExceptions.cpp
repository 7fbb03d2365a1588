#include "proxy/TlsExceptions.h"

#include <arpa/inet.h>

#include <cstring>
#include <fstream>

#include "utils/BuildConfig.h"

namespace proxy {

std::vector<in6_addr> parseTlsExceptions(std::istream& input) {
    std::vector<in6_addr> entries;
    std::string line;
    while (std::getline(input, line, '\n')) {
        in6_addr address{};
        if (inet_pton(AF_INET6, line.c_str(), &address) == 1) {
            entries.push_back(address);
        }
    }
    return entries;
}

std::vector<in6_addr> loadTlsExceptions(const std::string& path) {
    std::ifstream file(path);
    if (!file.is_open()) {
        return {};
    }
    return parseTlsExceptions(file);
}

const std::vector<in6_addr>& tlsExceptions() {
    // A function-local static, so that a use from another translation unit's initialiser can
    // never see the list before it was read.
    static const std::vector<in6_addr> entries = loadTlsExceptions(config::TLS_EXCEPTIONS);
    return entries;
}

namespace {

// Reads the list at program load, while the working directory is still the one the daemon was
// started in and before any thread exists.
[[maybe_unused]] const bool tlsExceptionsLoaded = (tlsExceptions(), true);

}  // namespace

bool isTlsException(const sockaddr_in6& address) {
    for (const in6_addr& entry : tlsExceptions()) {
        if (std::memcmp(&entry, &address.sin6_addr, sizeof(entry)) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace proxy
