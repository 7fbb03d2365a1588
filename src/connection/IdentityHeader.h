#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace connection {

// The header line that tells the destination who the client is.
inline constexpr std::string_view IDENTITY_HEADER = "X-SWID: ";

// Returns `request` (one HTTP request, or the part of it received so far) with the line
// "X-SWID: <value>" added as the last header line, before the blank line that ends the header
// area. `bodyStart` is the parser's index of the first body byte (0 when the request has no
// body); every byte after the header area is kept, whatever framing the body uses, and none
// beyond the end of `request`.
std::string insertIdentityHeader(std::string_view request, uint32_t bodyStart,
                                 const std::string& value);

}  // namespace connection
