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
// (the WebSocket fields are left alone). Nothing is kept between calls: an incomplete head stays
// with the caller and is parsed again from its start once more bytes have arrived.
//
// Framing is strict, so that the proxy and any strict HTTP/1.1 server agree on where a request
// ends: the only fields acted on are Content-Length (decimal digits, at most 2^62),
// Transfer-Encoding (chunked as the final coding), Upgrade and X-SWID, recognised by their whole
// name at a line start. Bare LF, lone CR, folded lines, malformed field lines, control characters
// in values, a malformed request line (when the method starts the buffer), conflicting lengths,
// other transfer codings and bad chunks give Invalid with `framingError`; the caller cannot know
// where the next request starts. An HTTP major version other than 1 gives Invalid alone, with
// the request's extent reported as for an accepted one.
//
// A chunked body is followed with `result.chunkedBody`: if it ends inside the buffer the request
// is Complete with the body's framing between bodyStart and bodyEnd; otherwise the status is
// BodyIncomplete with `chunked` set and missingBytes 0, and the caller feeds every later byte to
// `result.chunkedBody` until it reports Done (the bytes after that are the next request).
//
// Every reported index lies inside the `length` bytes (bodyEnd is `length` while a body is still
// arriving), and no byte outside them is read; `data` may be null.
void parseHttpRequest(ParseResult& result, const uint8_t* data, uint32_t length);

}  // namespace parser
