#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace peer {

// Finds the local process behind the client end of an accepted forward connection.
//
// Processes that connected to a destination port before are tried first (one cheap check each);
// only when none of them holds the socket does the expensive full lookup run, and what it finds
// is remembered for that port. Ids are never dropped from a port's list: a process that no
// longer holds the socket is tried and skipped.
//
// lookup() may be called from any number of threads at once. The resolver mutex guards only the
// port map; a port's own mutex serialises the cached checks of that port; the full lookup runs
// with no lock held. No two of these locks are ever held together.
class PidResolver {
public:
    // Full lookup: the process holding the client socket, or -1.
    using FindPidOperation = std::function<int32_t(const sockaddr_in6& client)>;
    // Whether the process still holds the client socket.
    using CheckPidOperation = std::function<bool(int32_t pid, const sockaddr_in6& client)>;

    PidResolver(FindPidOperation findPid, CheckPidOperation checkPid);

    // The resolver with the real sock_diag and /proc operations.
    static PidResolver makeDefault();

    PidResolver(const PidResolver&) = delete;
    PidResolver& operator=(const PidResolver&) = delete;

    // The process id owning the client socket (client address as the accepted socket's peer,
    // destination port in host order), or -1 when none was found.
    int32_t lookup(const sockaddr_in6& client, uint16_t destinationPort);

    // The ids remembered for the port, in the order they were found.
    std::vector<int32_t> cachedPids(uint16_t destinationPort) const;

private:
    struct PortEntry {
        mutable std::mutex mutex;
        std::vector<int32_t> pids;
    };

    // The map is node based, so an entry stays where it is while others are added.
    PortEntry& entryFor(uint16_t destinationPort);

    FindPidOperation findPid_;
    CheckPidOperation checkPid_;
    mutable std::mutex mutex_;
    std::unordered_map<uint16_t, PortEntry> entries_;
};

}  // namespace peer
