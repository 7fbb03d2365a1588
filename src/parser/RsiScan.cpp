#include "parser/RsiScan.h"

#include <cstddef>

namespace parser {

namespace {

constexpr uint32_t kMaxDepth = 31;

class EventScanner {
public:
    explicit EventScanner(RsiScan& scan) : s_(scan) {}

    bool run();

private:
    bool atEnd() const { return s_.position >= s_.length; }
    uint8_t peek() const { return s_.data[s_.position]; }
    bool at(uint8_t c) const { return !atEnd() && peek() == c; }

    void skipWhitespace() {
        while (!atEnd()) {
            const uint8_t c = peek();
            if (c != ' ' && c != '\t' && c != '\n' && c != '\r') {
                return;
            }
            ++s_.position;
        }
    }

    // Takes `c` if it is the next byte; otherwise leaves the position on the offending byte.
    bool expect(uint8_t c) {
        if (!at(c)) {
            return false;
        }
        ++s_.position;
        return true;
    }

    // From just after an opening quote to just after the closing one. Escapes are not decoded,
    // only stepped over: a backslash takes the next byte with it, so an escaped quote does not
    // close the string and the quote after an escaped backslash does.
    bool readString(std::string_view& text);
    bool skipValue();
    bool skipObject();
    bool skipArray();
    bool skipNumber();
    bool skipLiteral();
    // After the event: the members up to the object's end (or the data's), none of them another
    // "event". A server that takes the last of two would otherwise act on an event that was never
    // checked.
    bool restOfObjectIsEventFree();

    RsiScan& s_;
};

bool EventScanner::readString(std::string_view& text) {
    const uint64_t begin = s_.position;
    for (uint64_t q = begin; q < s_.length; ++q) {
        if (s_.data[q] == '\\') {
            ++q;
            continue;
        }
        if (s_.data[q] == '"') {
            text = std::string_view(reinterpret_cast<const char*>(s_.data + begin),
                                    static_cast<size_t>(q - begin));
            s_.position = q + 1;
            return true;
        }
    }
    text = {};
    s_.position = s_.length;
    return false;
}

bool EventScanner::skipValue() {
    skipWhitespace();
    if (atEnd()) {
        return false;
    }
    if (s_.depth >= kMaxDepth) {
        return false;
    }
    ++s_.depth;
    bool ok = false;
    const uint8_t c = peek();
    if (c == '{') {
        ok = skipObject();
    } else if (c == '[') {
        ok = skipArray();
    } else if ((c >= '0' && c <= '9') || c == '-') {
        ok = skipNumber();
    } else if (c == '"') {
        ++s_.position;
        std::string_view ignored;
        ok = readString(ignored);
    } else if (c >= 'a' && c <= 'z') {
        ok = skipLiteral();
    }
    --s_.depth;
    return ok;
}

bool EventScanner::skipObject() {
    ++s_.position;
    for (;;) {
        skipWhitespace();
        if (expect('}')) {
            return true;  // empty object, or a comma before the brace
        }
        std::string_view name;
        if (!expect('"') || !readString(name)) {
            return false;
        }
        skipWhitespace();
        if (!expect(':') || !skipValue()) {
            return false;
        }
        skipWhitespace();
        if (expect('}')) {
            return true;
        }
        if (!expect(',')) {
            return false;
        }
    }
}

bool EventScanner::skipArray() {
    ++s_.position;
    for (;;) {
        skipWhitespace();
        if (expect(']')) {
            return true;  // empty array, or a comma before the bracket
        }
        if (!skipValue()) {
            return false;
        }
        skipWhitespace();
        if (expect(']')) {
            return true;
        }
        if (!expect(',')) {
            return false;
        }
    }
}

bool EventScanner::skipNumber() {
    // Only the end of the number matters here; its digits are the receiver's business.
    while (!atEnd()) {
        const uint8_t c = peek();
        if (c == ']' || c == '}' || c == ',') {
            return true;
        }
        ++s_.position;
    }
    return false;
}

bool EventScanner::skipLiteral() {
    // The byte after the literal is judged by the enclosing container.
    for (std::string_view literal :
         {std::string_view("false"), std::string_view("true"), std::string_view("null")}) {
        if (s_.length - s_.position >= literal.size() &&
            std::string_view(reinterpret_cast<const char*>(s_.data + s_.position),
                             literal.size()) == literal) {
            s_.position += literal.size();
            return true;
        }
    }
    return false;
}

bool EventScanner::restOfObjectIsEventFree() {
    for (;;) {
        skipWhitespace();
        // The data may end before the object does: a message looked at before all of it has
        // arrived is judged by what is there.
        if (atEnd() || expect('}')) {
            return true;
        }
        std::string_view name;
        if (!expect(',') || (skipWhitespace(), !expect('"')) || !readString(name) ||
            name == "event" || name.find('\\') != std::string_view::npos) {
            return false;
        }
        skipWhitespace();
        if (atEnd()) {
            return true;
        }
        if (!expect(':') || !skipValue()) {
            return atEnd();
        }
    }
}

bool EventScanner::run() {
    skipWhitespace();
    if (!expect('{')) {
        return false;
    }
    while (!atEnd()) {
        skipWhitespace();
        std::string_view name;
        if (!expect('"')) {
            return false;
        }
        readString(name);
        if (name.find('\\') != std::string_view::npos) {
            // Its escapes might spell "event" for a parser that decodes them.
            return false;
        }
        if (name == "event") {
            skipWhitespace();
            if (!expect(':')) {
                return false;
            }
            skipWhitespace();
            if (!expect('"')) {
                return false;
            }
            if (!readString(s_.value) || s_.value.empty()) {
                return false;
            }
            if (!restOfObjectIsEventFree()) {
                s_.value = {};
                return false;
            }
            return true;
        }
        // A member followed by the closing brace fails here: an object that ends before an
        // "event" member has none.
        skipWhitespace();
        if (!expect(':') || !skipValue()) {
            return false;
        }
        skipWhitespace();
        if (!expect(',')) {
            return false;
        }
    }
    return false;
}

}  // namespace

bool findRsiEvent(RsiScan& scan) {
    scan.value = {};
    if (scan.data == nullptr) {
        scan.found = false;
        return false;
    }
    if (scan.position > scan.length) {
        scan.position = scan.length;
    }
    scan.found = EventScanner(scan).run();
    return scan.found;
}

}  // namespace parser
