#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace utils::logging {

// The queue a queued back-end fills and its runner drains. The mutex guards the deque alone.
//
// The queue is bounded: when the runner falls behind (a slow disk or service, thousands of
// entries a second at a verbose level) entries beyond the limit are dropped and counted instead
// of growing the daemon's memory without end; the back-end reports the count once it has caught
// up. Logging threads still never wait.
struct TaskQueue {
    static constexpr size_t LIMIT = 16384;

    std::mutex mutex;
    std::deque<std::function<void()>> tasks;
    std::condition_variable condition;
    std::atomic<uint64_t> dropped{0};

    // Appends a task and wakes the runner; never waits for the task to run. When LIMIT tasks
    // wait already, the task is dropped and counted instead.
    void post(std::function<void()> task);
    // Appends a task whatever the queue holds (a flush, the stop): never dropped.
    void postAlways(std::function<void()> task);
    // The tasks dropped since the last call.
    uint64_t takeDropped() { return dropped.exchange(0); }
    // Posts a task and waits until the runner has run it, and so everything queued before it.
    // Must not be called on the runner thread.
    void runAndWait(std::function<void()> task);
};

// The thread of a queued back-end: runs tasks in the order they were posted, so file writes and
// service calls never happen on a logging thread. Its destructor posts a stop task behind
// everything already queued and joins, so no entry queued before destruction is lost.
class TaskRunner {
public:
    explicit TaskRunner(TaskQueue& queue);
    ~TaskRunner();

    TaskRunner(const TaskRunner&) = delete;
    TaskRunner& operator=(const TaskRunner&) = delete;

    std::thread::id threadId() const { return thread_.get_id(); }

private:
    void run();

    std::thread thread_;
    bool stopped_ = false;  // touched by the runner thread only
    TaskQueue* queue_;
};

}  // namespace utils::logging
