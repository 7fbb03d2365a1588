#pragma once

#include <cstdint>

namespace os {

// Raises the soft limit of open descriptors to the hard limit (every connection pair needs two),
// and returns the soft limit in force afterwards; 0 when it cannot be read.
uint64_t raiseDescriptorLimit();

}  // namespace os
