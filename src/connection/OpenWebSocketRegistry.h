#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_set>

namespace connection {

// The process-wide record of which (client domain, destination address, destination port) keys
// have an open WebSocket, so that a client application gets at most one per destination.
//
// Threading: insert() and remove() may be called from any thread; one mutex guards the set and
// no other lock is taken while it is held.
// Lifetime: instance() is constructed on first use and outlives every handler thread.
class OpenWebSocketRegistry {
public:
    OpenWebSocketRegistry() = default;
    OpenWebSocketRegistry(const OpenWebSocketRegistry&) = delete;
    OpenWebSocketRegistry& operator=(const OpenWebSocketRegistry&) = delete;

    static OpenWebSocketRegistry& instance();

    // False when this key already has an open WebSocket; the caller then refuses the upgrade and
    // must not remove the key, since it belongs to the first connection.
    bool insert(const std::string& domain, const std::string& address, uint16_t port);
    // Absent keys are ignored.
    void remove(const std::string& domain, const std::string& address, uint16_t port);

private:
    static std::string makeKey(const std::string& domain, const std::string& address,
                               uint16_t port);

    std::mutex mutex_;
    std::unordered_set<std::string> keys_;
};

}  // namespace connection
