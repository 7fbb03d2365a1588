#include "connection/OpenWebSocketRegistry.h"

namespace connection {

OpenWebSocketRegistry& OpenWebSocketRegistry::instance() {
    static OpenWebSocketRegistry registry;
    return registry;
}

// A plain concatenation would let different keys meet: domain "ab" with address "c" against
// domain "a" with address "bc", or address "fd00::1" with port 443 against "fd00::14" with port
// 43. Each variable-length part is therefore prefixed with its length, which makes the key
// unique for every (domain, address, port) whatever characters the parts contain.
std::string OpenWebSocketRegistry::makeKey(const std::string& domain, const std::string& address,
                                           uint16_t port) {
    std::string key;
    key.reserve(domain.size() + address.size() + 16);
    key.append(std::to_string(domain.size())).push_back(':');
    key.append(domain);
    key.append(std::to_string(address.size())).push_back(':');
    key.append(address);
    key.append(std::to_string(port));
    return key;
}

bool OpenWebSocketRegistry::insert(const std::string& domain, const std::string& address,
                                   uint16_t port) {
    // The key is built before locking: it depends on the arguments only, and the critical
    // section stays one hash lookup long.
    std::string key = makeKey(domain, address, port);
    std::lock_guard<std::mutex> lock(mutex_);
    return keys_.insert(std::move(key)).second;
}

void OpenWebSocketRegistry::remove(const std::string& domain, const std::string& address,
                                   uint16_t port) {
    const std::string key = makeKey(domain, address, port);
    std::lock_guard<std::mutex> lock(mutex_);
    keys_.erase(key);
}

}  // namespace connection
