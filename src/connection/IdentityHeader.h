#pragma once

#include <string>
#include <string_view>

namespace connection {

// The header line that tells the destination who the client is.
inline constexpr std::string_view IDENTITY_HEADER = "X-SWID: ";

// Whether the text could break out of a header line (an alias or a certificate name that holds
// a line break); such a value is never sent.
bool unsafeHeaderValue(std::string_view value);

// Returns `request` (one HTTP request, or the part of it received so far, whose head is complete)
// with its head rewritten: every header line named X-SWID (in any letter case) is removed when
// `stripClaims` is set, so that no client can claim an identity, and when `value` is given the
// line "X-SWID: <value>" is added as the last header line. The request line, every other header
// line and every byte after the head stay as they are.
std::string rewriteHead(std::string_view request, bool stripClaims, const std::string* value);

}  // namespace connection
