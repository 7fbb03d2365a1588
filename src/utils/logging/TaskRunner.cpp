#include "utils/logging/TaskRunner.h"

#include <future>
#include <utility>

namespace utils::logging {

void TaskQueue::post(std::function<void()> task) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (tasks.size() >= LIMIT) {
            dropped.fetch_add(1);
            return;
        }
        tasks.push_back(std::move(task));
    }
    condition.notify_one();
}

void TaskQueue::postAlways(std::function<void()> task) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        tasks.push_back(std::move(task));
    }
    condition.notify_one();
}

void TaskQueue::runAndWait(std::function<void()> task) {
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    postAlways([&task, &done] {
        task();
        done.set_value();
    });
    finished.wait();
}

TaskRunner::TaskRunner(TaskQueue& queue) : queue_(&queue) {
    thread_ = std::thread([this] { run(); });
}

TaskRunner::~TaskRunner() {
    queue_->postAlways([this] { stopped_ = true; });
    if (thread_.joinable()) {
        thread_.join();
    }
}

void TaskRunner::run() {
    while (!stopped_) {
        std::function<void()> task;
        {
            std::unique_lock<std::mutex> lock(queue_->mutex);
            queue_->condition.wait(lock, [this] { return !queue_->tasks.empty(); });
            task = std::move(queue_->tasks.front());
            queue_->tasks.pop_front();
        }
        task();
    }
}

}  // namespace utils::logging
