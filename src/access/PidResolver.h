#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "access/ProcessLookup.h"

namespace peer {

// Finds the local process behind the client end of an accepted forward connection.
//
// The client socket is identified once per lookup: the kernel names its inode and owner from
// the connection's addresses and ports. Then the processes that connected to the same
// destination port before are tried, then the processes found before for the socket's owner,
// and only when none of them holds the socket does the expensive full scan of /proc run; what
// it finds is remembered for that port and that owner. Each list is tried first at the one
// descriptor where each process held a client socket last time (a process that connects again
// mostly gets the same descriptor), and only then, in list order, through whole descriptor
// tables. Lists are kept with the process found last first. A process that has ended is forgotten
// by both caches as soon as a lookup meets it, so they hold roughly the clients that still run,
// however many have come and gone.
//
// lookup() may be called from any number of threads at once. The resolver mutex guards only the
// port map; a port's own mutex serialises the cached checks of that port; the per-user mutex
// guards the per-user lists and is never held during a check; the full scan runs with no lock
// held. No two of these locks are ever held together.
class PidResolver {
public:
    // How the resolver reaches the kernel; the defaults are the functions of ProcessLookup.h.
    struct Operations {
        // The client socket's inode ("%u") and owner, or empty text.
        std::function<std::string(const sockaddr_in6& client, const sockaddr_in6& destination,
                                  uint32_t& ownerUserId)>
            findSocketInode;
        // One look at a process's descriptors, as peer::checkPid.
        std::function<Holding(int32_t pid, const std::string& inode, int& descriptor,
                              bool wholeTable)>
            checkPid;
        // The full scan, skipping the ids in `skip` (ascending), as peer::findPid.
        std::function<int32_t(const std::string& inode, uint32_t ownerUserId,
                              const std::vector<int32_t>& skip, int& descriptor)>
            findPid;
        // The ids of all running processes, ascending; may be empty (no bulk forgetting).
        std::function<std::vector<int32_t>()> listProcesses;
    };

    explicit PidResolver(Operations operations);

    // The resolver with the real sock_diag and /proc operations.
    static PidResolver makeDefault();
    static Operations defaultOperations();

    PidResolver(const PidResolver&) = delete;
    PidResolver& operator=(const PidResolver&) = delete;

    // The process id owning the client socket, or -1 when none was found. `client` is the
    // accepted socket's peer; `destination` is the connection's original destination, which the
    // client's own socket still names as its remote end.
    int32_t lookup(const sockaddr_in6& client, const sockaddr_in6& destination);

    // The ids remembered for the port and for the user, the one found last first.
    std::vector<int32_t> cachedPids(uint16_t destinationPort) const;
    std::vector<int32_t> cachedUserPids(uint32_t userId) const;

private:
    // A remembered process and the descriptor where it held a client socket last time.
    struct Candidate {
        int32_t pid = -1;
        int descriptor = -1;
    };
    struct PortEntry {
        mutable std::mutex mutex;
        std::vector<Candidate> candidates;
    };
    struct Walk;

    // The map is node based, so an entry stays where it is while others are added.
    PortEntry& entryFor(uint16_t destinationPort);
    // Tries the candidates and drops those that have ended; the one holding the socket (with its
    // descriptor) or a pid of -1.
    Candidate tryCandidates(std::vector<Candidate>& candidates, Walk& walk) const;
    std::vector<Candidate> userCandidates(uint32_t userId, const Walk& walk) const;
    // The process found last comes first: a busy client is then the cheapest to find.
    static void putFirst(std::vector<Candidate>& candidates, Candidate found);
    // Drops ended processes from every per-user list and records where `found` holds its socket.
    void updateUserLists(uint32_t userId, const std::vector<int32_t>& gone, Candidate found);

    Operations operations_;
    mutable std::mutex mutex_;
    std::unordered_map<uint16_t, PortEntry> entries_;
    mutable std::mutex userMutex_;
    std::map<uint32_t, std::vector<Candidate>> userLists_;
};

}  // namespace peer
