#include "io/PendingConnectionQueue.h"

#include "os/SocketHelpers.h"

namespace io {

PendingConnectionQueue::~PendingConnectionQueue() {
    for (PendingConnection& element : queue_) {
        os::closeSocket(element.descriptor);
    }
}

bool PendingConnectionQueue::push(const PendingConnection& element) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (queue_.size() >= limit_) {
        return false;
    }
    queue_.push_back(element);
    condition_.notify_one();
    return true;
}

bool PendingConnectionQueue::take(PendingConnection& element) {
    std::unique_lock<std::mutex> lock(mutex_);
    condition_.wait(lock, [this] { return stop_.load() || !queue_.empty(); });
    if (stop_.load()) {
        return false;
    }
    element = queue_.front();
    queue_.pop_front();
    return true;
}

void PendingConnectionQueue::requestStop() {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_.store(true);
    condition_.notify_all();
}

size_t PendingConnectionQueue::size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.size();
}

}  // namespace io
