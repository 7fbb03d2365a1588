#include "connection/IdentityHeader.h"

#include <cstddef>

#include "parser/HttpSyntax.h"

namespace connection {

namespace {

constexpr std::string_view HEAD_END = "\r\n\r\n";
constexpr std::string_view LINE_END = "\r\n";

// The name the parser looks for: a line it reported as a claim is the line removed here.
bool isIdentityLine(std::string_view line) {
    using parser::syntax::kIdentityField;
    using parser::syntax::kIdentityFieldLength;
    return line.size() > kIdentityFieldLength &&
           parser::syntax::matchesFolded(line.data(), kIdentityField, kIdentityFieldLength) &&
           line[kIdentityFieldLength] == ':';
}

}  // namespace

bool unsafeHeaderValue(std::string_view value) {
    return value.find_first_of("\r\n") != std::string_view::npos;
}

std::string rewriteHead(std::string_view request, bool stripClaims, const std::string* value) {
    // A complete head ends at its first empty line; header lines cannot hold one.
    const size_t end = request.find(HEAD_END);
    if (end == std::string_view::npos) {
        return std::string(request);
    }
    const size_t headLength = end + HEAD_END.size();
    // The request line and the header lines, each with its line end, without the empty line.
    const std::string_view lines = request.substr(0, headLength - LINE_END.size());
    const std::string_view rest = request.substr(headLength);

    std::string out;
    out.reserve(request.size() +
                (value != nullptr ? IDENTITY_HEADER.size() + value->size() + 2 : 0));
    size_t start = 0;
    while (start < lines.size()) {
        size_t next = lines.find(LINE_END, start);
        next = next == std::string_view::npos ? lines.size() : next + LINE_END.size();
        const std::string_view line = lines.substr(start, next - start);
        // The first line is the request line, never a header.
        if (!(stripClaims && start != 0 && isIdentityLine(line))) {
            out.append(line);
        }
        start = next;
    }
    if (value != nullptr) {
        out.append(IDENTITY_HEADER).append(*value).append(LINE_END);
    }
    out.append(LINE_END).append(rest);
    return out;
}

}  // namespace connection
