#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace connection {

// The bytes a connection accepted for its socket but could not send yet, oldest first, each write
// kept as one element. Sending takes bytes off the front; a partly sent element stays first and
// is not moved, so a slow reader costs no copying beyond the one copy on the way in.
//
// An empty queue holds no memory, which keeps an idle connection small.
// Threading: owned by one connection, used by its handler thread only.
class WriteQueue {
public:
    bool empty() const { return head_ == elements_.size(); }
    // Elements still (partly) unsent.
    size_t count() const { return elements_.size() - head_; }
    // Unsent bytes.
    uint64_t bytes() const { return bytes_; }
    // Storage the unsent elements hold.
    uint64_t capacity() const;

    void append(const char* data, size_t length);
    // The unsent bytes of the first element; empty when the queue is.
    std::string_view front() const;
    // Marks `length` bytes of the first element as sent; at most front().size().
    void consume(size_t length);
    void clear();

private:
    std::vector<std::string> elements_;
    // Elements before head_ are sent; offset_ bytes of elements_[head_] are.
    size_t head_ = 0;
    size_t offset_ = 0;
    uint64_t bytes_ = 0;
};

}  // namespace connection
