#pragma once

#include <string_view>

// The fixed HTTP answers an incoming connection writes to its own client. They carry no body
// and no Content-Length, so the client's connection stays usable for its next request.
namespace connection::canned {

// The target could not be split into service and resource.
inline constexpr std::string_view BAD_REQUEST = "HTTP/1.1 400 Bad Request\r\nServer: rz\r\n\r\n";
// The action or the service offering is not allowed.
inline constexpr std::string_view FORBIDDEN = "HTTP/1.1 403 Forbidden\r\nServer: rz\r\n\r\n";
// A second WebSocket for the same application and destination. The ellipsis is one UTF-8
// character (three bytes).
inline constexpr std::string_view CONFLICT =
    "HTTP/1.1 409 Dude, the highlander principle applies\xE2\x80\xA6 I warned you.\r\n"
    "Server: rz\r\n\r\n";

static_assert(BAD_REQUEST.size() == 40);
static_assert(FORBIDDEN.size() == 38);
static_assert(CONFLICT.size() == 84);

}  // namespace connection::canned
