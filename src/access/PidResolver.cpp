#include "access/PidResolver.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "utils/logging/Logger.h"

namespace peer {

namespace {

using utils::logging::Error;

// Ended processes a lookup checks one by one before it asks for the list of running processes
// and drops all ended ones at once: a few failed checks cost less than one listing, hundreds of
// them (clients that came and went since the last lookup) cost far more.
constexpr size_t kGoneBeforeListing = 8;

// Whether the pid is in the ascending list.
bool listed(const std::vector<int32_t>& pids, int32_t pid) {
    return std::binary_search(pids.begin(), pids.end(), pid);
}

}  // namespace

// What one lookup has learned so far.
struct PidResolver::Walk {
    std::string inode;
    // Processes that do not hold the socket: not checked again by this lookup.
    std::vector<int32_t> checked;
    std::vector<int32_t> gone;
    // Running processes, once enough ended ones were met.
    std::optional<std::vector<int32_t>> running;

    // Both lists ascending, for the searches that follow.
    void sort() {
        std::sort(checked.begin(), checked.end());
        std::sort(gone.begin(), gone.end());
    }
};

PidResolver::PidResolver(Operations operations) : operations_(std::move(operations)) {}

PidResolver::Operations PidResolver::defaultOperations() {
    return {&peer::findSocketInode, &peer::checkPid, &peer::findPid, &peer::listProcesses};
}

PidResolver PidResolver::makeDefault() {
    return PidResolver(defaultOperations());
}

PidResolver::PortEntry& PidResolver::entryFor(uint16_t destinationPort) {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_[destinationPort];
}

PidResolver::Candidate PidResolver::tryCandidates(std::vector<Candidate>& candidates,
                                                  Walk& walk) const {
    enum class State : uint8_t { Untried, Checked, Ended };
    std::vector<State> states(candidates.size(), State::Untried);
    // The whole descriptor table of candidate i; notes what was learned.
    const auto tryWhole = [&](size_t i) {
        Candidate& candidate = candidates[i];
        Holding holding = Holding::Gone;
        if (!walk.running || listed(*walk.running, candidate.pid)) {
            holding = operations_.checkPid(candidate.pid, walk.inode, candidate.descriptor, true);
        }
        if (holding == Holding::Gone) {
            states[i] = State::Ended;
            walk.gone.push_back(candidate.pid);
            if (walk.gone.size() == kGoneBeforeListing && operations_.listProcesses) {
                walk.running = operations_.listProcesses();
            }
        } else if (holding != Holding::Holds) {
            states[i] = State::Checked;
            walk.checked.push_back(candidate.pid);
        }
        return holding == Holding::Holds;
    };

    std::optional<size_t> found;
    for (size_t i = 0; i < candidates.size() && !found; ++i) {
        int descriptor = candidates[i].descriptor;
        if (walk.running && !listed(*walk.running, candidates[i].pid)) {
            tryWhole(i);  // known to have ended: dropped without a look
            continue;
        }
        if (descriptor < 0) {
            continue;
        }
        const Holding holding =
            operations_.checkPid(candidates[i].pid, walk.inode, descriptor, false);
        // A descriptor that is not open any more may mean that the process has ended: find out
        // now, so that ended processes are dropped even when a later one holds the socket.
        if (holding == Holding::Holds || (holding == Holding::Unreadable && tryWhole(i))) {
            found = i;
        }
    }
    for (size_t i = 0; i < candidates.size() && !found; ++i) {
        if (states[i] == State::Untried && tryWhole(i)) {
            found = i;
        }
    }

    Candidate result;
    if (found) {
        result = candidates[*found];
    }
    size_t kept = 0;
    for (size_t i = 0; i < candidates.size(); ++i) {
        if (states[i] != State::Ended) {
            candidates[kept++] = candidates[i];
        }
    }
    candidates.resize(kept);
    return result;
}

std::vector<PidResolver::Candidate> PidResolver::userCandidates(uint32_t userId,
                                                                const Walk& walk) const {
    std::vector<Candidate> candidates;
    std::lock_guard<std::mutex> lock(userMutex_);
    auto list = userLists_.find(userId);
    if (list != userLists_.end()) {
        for (const Candidate& candidate : list->second) {
            if (!listed(walk.checked, candidate.pid) && !listed(walk.gone, candidate.pid)) {
                candidates.push_back(candidate);
            }
        }
    }
    return candidates;
}

void PidResolver::updateUserLists(uint32_t userId, const std::vector<int32_t>& gone,
                                  Candidate found) {
    if (gone.empty() && found.pid == -1) {
        return;
    }
    std::lock_guard<std::mutex> lock(userMutex_);
    if (!gone.empty()) {
        for (auto list = userLists_.begin(); list != userLists_.end();) {
            std::erase_if(list->second,
                          [&](const Candidate& candidate) { return listed(gone, candidate.pid); });
            list = list->second.empty() ? userLists_.erase(list) : std::next(list);
        }
    }
    if (found.pid != -1) {
        std::vector<Candidate>& list = userLists_[userId];
        auto known = std::find_if(list.begin(), list.end(), [&](const Candidate& candidate) {
            return candidate.pid == found.pid;
        });
        // Two lookups of the same user may both reach the scan and find the same process.
        if (known == list.end()) {
            list.push_back(found);
        } else {
            known->descriptor = found.descriptor;
        }
    }
}

int32_t PidResolver::lookup(const sockaddr_in6& client, const sockaddr_in6& destination) {
    uint32_t owner = 0;
    Walk walk;
    if (operations_.findSocketInode) {
        walk.inode = operations_.findSocketInode(client, destination, owner);
    }
    if (walk.inode.empty()) {
        AP_LOG(Error, "did not find inode");
        return -1;
    }

    PortEntry& entry = entryFor(ntohs(destination.sin6_port));
    Candidate found;
    {
        // Held across the checks so that lookups for one port do not each repeat them.
        std::lock_guard<std::mutex> lock(entry.mutex);
        found = tryCandidates(entry.candidates, walk);
    }
    walk.sort();
    if (found.pid != -1) {
        updateUserLists(owner, walk.gone, {});
        return found.pid;
    }

    std::vector<Candidate> candidates = userCandidates(owner, walk);
    found = tryCandidates(candidates, walk);
    walk.sort();
    if (found.pid == -1 && operations_.findPid) {
        found.pid = operations_.findPid(walk.inode, owner, walk.checked, found.descriptor);
    }
    // No process has an id of 0 or below; remembering one would only cost a check each time.
    if (found.pid <= 0) {
        updateUserLists(owner, walk.gone, {});
        return -1;
    }
    updateUserLists(owner, walk.gone, found);

    std::lock_guard<std::mutex> lock(entry.mutex);
    auto known =
        std::find_if(entry.candidates.begin(), entry.candidates.end(),
                     [&](const Candidate& candidate) { return candidate.pid == found.pid; });
    if (known == entry.candidates.end()) {
        entry.candidates.push_back(found);
    } else {
        known->descriptor = found.descriptor;
    }
    return found.pid;
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
    std::vector<int32_t> pids;
    std::lock_guard<std::mutex> lock(entry->mutex);
    for (const Candidate& candidate : entry->candidates) {
        pids.push_back(candidate.pid);
    }
    return pids;
}

std::vector<int32_t> PidResolver::cachedUserPids(uint32_t userId) const {
    std::vector<int32_t> pids;
    std::lock_guard<std::mutex> lock(userMutex_);
    auto list = userLists_.find(userId);
    if (list != userLists_.end()) {
        for (const Candidate& candidate : list->second) {
            pids.push_back(candidate.pid);
        }
    }
    return pids;
}

}  // namespace peer
