#pragma once

#include <cstdint>
#include <string>

#include "parser/ParseResult.h"

namespace parser {

// Returns the first method name ("GET", "PUT", "POST", "DELETE", "HEAD") that starts at or after
// `position` and at least six bytes before `length`, or "" when the end of a header area (CR LF
// CR LF) or that bound comes first. The name need not start a line nor be followed by a blank.
// On return `position` is where the name starts, or where the search stopped.
std::string findHttpMethod(const uint8_t* data, uint32_t& position, uint32_t length);

// Recognises the one HTTP request that starts at data[0] and fills the HTTP fields of `result`
// (the WebSocket fields are left alone). Nothing is kept between calls: an incomplete request
// stays with the caller and is parsed again from its start once more bytes have arrived.
// Every reported index lies inside the `length` bytes, and no byte outside them is read; `data`
// may be null.
void parseHttpRequest(ParseResult& result, const uint8_t* data, uint32_t length);

}  // namespace parser
