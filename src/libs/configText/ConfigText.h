#pragma once

#include <charconv>
#include <functional>
#include <istream>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

// Line-oriented configuration text shared by our platform library stand-ins: blank-separated
// fields, '#' comments, and one report line per malformed entry.
namespace config_text {

std::vector<std::string_view> splitFields(std::string_view line);

// Whole-field decimal conversion: "12abc", "+1" and "" are rejected rather than read as 12, 1, 0.
template <typename T>
bool parseWholeNumber(std::string_view text, T& value) {
    const char* end = text.data() + text.size();
    auto [stop, error] = std::from_chars(text.data(), end, value);
    return error == std::errc() && stop == end && !text.empty();
}

// Hands the fields of every non-empty line to `entry`, which returns null to accept the line or
// the reason it is malformed. A malformed line is reported as
// "<source>:<line>: malformed <kind>, line skipped: <reason>" and never stops the reading.
void forEachEntry(std::istream& input, const std::string& source, const char* kind,
                  std::ostream& report,
                  const std::function<const char*(const std::vector<std::string_view>&)>& entry);

}  // namespace config_text
