#pragma once

#include <cstdint>

namespace ccc {

// How a link must be secured, as the capability cache rules. Any value other than the three
// below is undetermined and rejects the connection.
using SecurityLevel = int8_t;

inline constexpr SecurityLevel SECURITY_LEVEL_PLAIN = 0;
inline constexpr SecurityLevel SECURITY_LEVEL_AUTHENTIC = 1;
inline constexpr SecurityLevel SECURITY_LEVEL_CONFIDENTIAL = 2;

}  // namespace ccc
