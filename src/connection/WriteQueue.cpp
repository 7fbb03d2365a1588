#include "connection/WriteQueue.h"

#include <iterator>
#include <utility>

namespace connection {

uint64_t WriteQueue::capacity() const {
    uint64_t total = 0;
    for (size_t index = head_; index < elements_.size(); ++index) {
        total += elements_[index].capacity();
    }
    return total;
}

void WriteQueue::append(const char* data, size_t length) {
    if (length == 0) {
        return;
    }
    elements_.emplace_back(data, length);
    bytes_ += length;
}

std::string_view WriteQueue::front() const {
    if (empty()) {
        return {};
    }
    return std::string_view(elements_[head_]).substr(offset_);
}

void WriteQueue::consume(size_t length) {
    if (empty()) {
        return;
    }
    bytes_ -= length;
    offset_ += length;
    if (offset_ < elements_[head_].size()) {
        return;
    }
    // The element is sent: free its storage now rather than when the queue empties.
    std::string().swap(elements_[head_]);
    offset_ = 0;
    if (++head_ == elements_.size()) {
        clear();
    } else if (head_ >= 32 && head_ * 2 >= elements_.size()) {
        // Sent elements pile up at the front while a slow reader keeps the queue from emptying.
        elements_.erase(elements_.begin(), elements_.begin() + static_cast<std::ptrdiff_t>(head_));
        head_ = 0;
    }
}

void WriteQueue::clear() {
    std::vector<std::string>().swap(elements_);
    head_ = 0;
    offset_ = 0;
    bytes_ = 0;
}

}  // namespace connection
