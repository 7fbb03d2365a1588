#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace utils::logging {

// The queue a queued back-end fills and its runner drains. The mutex guards the deque alone.
struct TaskQueue {
    std::mutex mutex;
    std::deque<std::function<void()>> tasks;
    std::condition_variable condition;

    // Appends a task and wakes the runner; never waits for the task to run.
    void post(std::function<void()> task);
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
