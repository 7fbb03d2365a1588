#include "connection/ReceiveArea.h"

#include <memory>

namespace connection {

char* ReceiveArea::data() {
    // Allocated on first use, so threads that never receive (establishers, the listener) hold
    // none.
    thread_local std::unique_ptr<char[]> area;
    if (!area) {
        area = std::make_unique<char[]>(SIZE);
    }
    return area.get();
}

}  // namespace connection
