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

void PidResolver::putFirst(std::vector<Candidate>& candidates, Candidate found) {
    // Two lookups may both reach the scan and find the same process: it is listed once.
    std::erase_if(candidates,
                  [&](const Candidate& candidate) { return candidate.pid == found.pid; });
    candidates.insert(candidates.begin(), found);
}

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
    const auto drop = [&](size_t i) {
        states[i] = State::Ended;
        walk.gone.push_back(candidates[i].pid);
        if (walk.gone.size() == kGoneBeforeListing && operations_.listProcesses) {
            walk.running = operations_.listProcesses();
        }
    };
    const auto ended = [&](size_t i) {
        return walk.running && !listed(*walk.running, candidates[i].pid);
    };

    // First one look per process, at the descriptor where it held a client socket last time: a
    // client mostly connects again there, and this spares the whole tables of those before it.
    std::optional<size_t> found;
    for (size_t i = 0; i < candidates.size() && !found; ++i) {
        int descriptor = candidates[i].descriptor;
        if (ended(i)) {
            drop(i);
        } else if (descriptor >= 0) {
            const Holding holding =
                operations_.checkPid(candidates[i].pid, walk.inode, descriptor, false);
            if (holding == Holding::Holds) {
                found = i;
            } else if (holding == Holding::Gone) {
                drop(i);
            }
        }
    }
    // Then whole tables, in list order.
    for (size_t i = 0; i < candidates.size() && !found; ++i) {
        if (states[i] != State::Untried) {
            continue;
        }
        const Holding holding = ended(i) ? Holding::Gone
                                         : operations_.checkPid(candidates[i].pid, walk.inode,
                                                                candidates[i].descriptor, true);
        if (holding == Holding::Holds) {
            found = i;
        } else if (holding == Holding::Gone) {
            drop(i);
        } else {
            states[i] = State::Checked;
            walk.checked.push_back(candidates[i].pid);
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
    if (found) {
        putFirst(candidates, result);
    }
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
        putFirst(userLists_[userId], found);
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
    putFirst(entry.candidates, found);
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
