#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>

#include "io/PendingConnection.h"
#include "utils/BuildConfig.h"

namespace io {

// The first-in first-out hand-over of accepted sockets: the socket listener appends, the
// establisher threads take. A stop request wins over queued elements: once it is made, take()
// refuses every element, even those that were queued before.
//
// Threading: every operation may be called from any thread; the mutex guards only the queue
// itself, and nobody holds it while working on an element.
// Ownership: the queue owns the descriptors of the elements it holds; those still queued when it
// is destroyed are closed then, so a stopped proxy leaves no accepted socket open.
class PendingConnectionQueue {
public:
    explicit PendingConnectionQueue(size_t limit = config::PENDING_CONNECTIONS_LIMIT)
        : limit_(limit) {}
    ~PendingConnectionQueue();

    PendingConnectionQueue(const PendingConnectionQueue&) = delete;
    PendingConnectionQueue& operator=(const PendingConnectionQueue&) = delete;

    // Appends at the back and wakes one waiting taker; false (nothing appended) when the queue
    // already holds its limit: the caller refuses the connection rather than let it wait.
    bool push(const PendingConnection& element);

    // Blocks until an element is queued or a stop is requested. True with the front element
    // taken out; false once a stop is requested, whatever is still queued.
    bool take(PendingConnection& element);

    // Sets the stop flag under the mutex and wakes every taker, so that none can test the queue,
    // miss the flag and then sleep for good.
    void requestStop();

    bool stopRequested() const { return stop_.load(); }
    size_t size() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable condition_;
    std::atomic<bool> stop_{false};
    std::deque<PendingConnection> queue_;
    const size_t limit_;
};

}  // namespace io
