#include "libs/aliasManager/AliasTable.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <istream>
#include <ostream>
#include <string_view>

namespace alias_manager {

namespace {

constexpr uint32_t INVALID_UID = 0xFFFFFFFFu;

std::vector<std::string_view> splitFields(std::string_view line) {
    constexpr std::string_view blanks = " \t\r\v\f";
    std::vector<std::string_view> fields;
    size_t position = line.find_first_not_of(blanks);
    while (position != std::string_view::npos) {
        size_t end = line.find_first_of(blanks, position);
        if (end == std::string_view::npos) {
            end = line.size();
        }
        fields.push_back(line.substr(position, end - position));
        position = line.find_first_not_of(blanks, end);
    }
    return fields;
}

// Whole-field decimal conversion: "12abc", "+1", "-1" and "" are rejected.
bool parseUid(std::string_view text, uint32_t& uid) {
    const char* end = text.data() + text.size();
    auto [stop, error] = std::from_chars(text.data(), end, uid);
    return error == std::errc() && stop == end && !text.empty() && uid != INVALID_UID;
}

}  // namespace

AliasTable AliasTable::parse(std::istream& input, const std::string& source, std::ostream& report) {
    AliasTable table;
    std::string line;
    size_t lineNumber = 0;
    while (std::getline(input, line)) {
        ++lineNumber;
        std::string_view content(line);
        content = content.substr(0, content.find('#'));
        const std::vector<std::string_view> fields = splitFields(content);
        if (fields.empty()) {
            continue;
        }

        const char* problem = nullptr;
        uint32_t uid = 0;
        if (!parseUid(fields[0], uid)) {
            problem = "not a user id (0..4294967294)";
        } else if (fields.size() < 2) {
            problem = "no alias after the user id";
        } else if (table.aliases_.count(uid) != 0) {
            problem = "user id already listed earlier";
        }
        if (problem != nullptr) {
            // One write per report so that lines of concurrent writers stay whole.
            report << (source + ":" + std::to_string(lineNumber) +
                       ": malformed alias entry, line skipped: " + problem + "\n");
            continue;
        }
        table.aliases_.emplace(uid, std::vector<std::string>(fields.begin() + 1, fields.end()));
    }
    return table;
}

AliasTable AliasTable::load(const std::string& path, std::ostream& report) {
    std::ifstream file(path);
    if (!file.is_open()) {
        const int error = errno;
        report << (path + ": cannot open alias table, login names apply: " + std::strerror(error) +
                   "\n");
        return AliasTable();
    }
    return parse(file, path, report);
}

const std::vector<std::string>* AliasTable::find(uint32_t uid) const {
    auto entry = aliases_.find(uid);
    return entry == aliases_.end() ? nullptr : &entry->second;
}

}  // namespace alias_manager
