#include "access/PidResolver.h"

#include <algorithm>
#include <utility>

#include "access/ProcessLookup.h"

namespace peer {

PidResolver::PidResolver(FindPidOperation findPid, CheckPidOperation checkPid)
    : findPid_(std::move(findPid)), checkPid_(std::move(checkPid)) {}

PidResolver PidResolver::makeDefault() {
    return PidResolver(&peer::findPid, &peer::checkPid);
}

PidResolver::PortEntry& PidResolver::entryFor(uint16_t destinationPort) {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_[destinationPort];
}

int32_t PidResolver::lookup(const sockaddr_in6& client, uint16_t destinationPort) {
    PortEntry& entry = entryFor(destinationPort);
    {
        // Held across the checks so that lookups for one port do not each repeat them.
        std::lock_guard<std::mutex> lock(entry.mutex);
        if (checkPid_) {
            for (int32_t pid : entry.pids) {
                if (checkPid_(pid, client)) {
                    return pid;
                }
            }
        }
    }

    const int32_t pid = findPid_ ? findPid_(client) : -1;
    // No process has an id of 0 or below; remembering one would only cost a check each time.
    if (pid <= 0) {
        return -1;
    }
    std::lock_guard<std::mutex> lock(entry.mutex);
    if (std::find(entry.pids.begin(), entry.pids.end(), pid) == entry.pids.end()) {
        entry.pids.push_back(pid);
    }
    return pid;
}

std::vector<int32_t> PidResolver::cachedPids(uint16_t destinationPort) const {
    const PortEntry* entry = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = entries_.find(destinationPort);
        if (found == entries_.end()) {
            return {};
        }
        entry = &found->second;
    }
    std::lock_guard<std::mutex> lock(entry->mutex);
    return entry->pids;
}

}  // namespace peer
