#include "connection/IdentityHeader.h"

#include <algorithm>

namespace connection {

namespace {

constexpr std::string_view HEADER_END = "\r\n\r\n";
constexpr std::string_view LINE_END = "\r\n";

}  // namespace

std::string insertIdentityHeader(std::string_view request, uint32_t bodyStart,
                                 const std::string& value) {
    // Without a body index the header area still need not be all there is: a chunked request
    // can be reported without body bounds while chunks follow its header area.
    size_t headEnd = request.size();
    if (bodyStart != 0) {
        headEnd = std::min<size_t>(bodyStart, request.size());
    } else if (const size_t end = request.find(HEADER_END); end != std::string_view::npos) {
        headEnd = end + HEADER_END.size();
    }
    std::string_view head = request.substr(0, headEnd);
    // The head ends with the blank line; one line end of it goes, and comes back after the
    // new line.
    if (head.size() >= LINE_END.size()) {
        head.remove_suffix(LINE_END.size());
    }
    const std::string_view tail = request.substr(headEnd);

    std::string out;
    out.reserve(head.size() + IDENTITY_HEADER.size() + value.size() + HEADER_END.size() +
                tail.size());
    out.append(head).append(IDENTITY_HEADER).append(value).append(HEADER_END).append(tail);
    return out;
}

}  // namespace connection
