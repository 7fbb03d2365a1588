#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// Byte classes of HTTP/1.1 message syntax, shared by the request head and the chunked body so
// that a field line is judged the same wherever it appears.
namespace parser::syntax {

constexpr uint8_t toLower(uint8_t c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<uint8_t>(c + ('a' - 'A')) : c;
}

constexpr bool isDigit(uint8_t c) {
    return c >= '0' && c <= '9';
}

// SP or HTAB: the optional white space around field values and list elements.
constexpr bool isBlank(uint8_t c) {
    return c == ' ' || c == '\t';
}

constexpr bool isTokenChar(uint8_t c) {
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
        return true;
    }
    return std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
}

// Any byte but the controls (HTAB excepted) and DEL; bytes above 0x7F are obsolete text, still
// allowed. CR and LF are controls, so a value never runs past its line end.
constexpr bool isFieldValueByte(uint8_t c) {
    return c == '\t' || (c >= 0x20 && c != 0x7F);
}

// `pattern` is lower case; the bytes are folded before the comparison. `Byte` is uint8_t for
// received data and char for text already held in a string.
template <typename Byte>
constexpr bool matchesFolded(const Byte* data, const char* pattern, size_t count) {
    for (size_t k = 0; k < count; ++k) {
        if (toLower(static_cast<uint8_t>(data[k])) != static_cast<uint8_t>(pattern[k])) {
            return false;
        }
    }
    return true;
}

// The whole of `text`, folded, is `lowerCase`.
constexpr bool equalsFolded(std::string_view text, std::string_view lowerCase) {
    return text.size() == lowerCase.size() &&
           matchesFolded(text.data(), lowerCase.data(), text.size());
}

// `text` without the optional white space around it.
constexpr std::string_view trimBlanks(std::string_view text) {
    while (!text.empty() && isBlank(static_cast<uint8_t>(text.front()))) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isBlank(static_cast<uint8_t>(text.back()))) {
        text.remove_suffix(1);
    }
    return text;
}

// Name of the identity field that the proxy itself inserts; a client must not bring its own.
inline constexpr char kIdentityField[] = "x-swid";
inline constexpr size_t kIdentityFieldLength = sizeof(kIdentityField) - 1;

}  // namespace parser::syntax
