#include "libs/aliasManager/AliasTable.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <istream>
#include <ostream>
#include <string_view>

#include "libs/configText/ConfigText.h"

namespace alias_manager {

namespace {

constexpr uint32_t INVALID_UID = 0xFFFFFFFFu;

// Whole-field decimal conversion: "12abc", "+1", "-1" and "" are rejected.
bool parseUid(std::string_view text, uint32_t& uid) {
    return config_text::parseWholeNumber(text, uid) && uid != INVALID_UID;
}

}  // namespace

AliasTable AliasTable::parse(std::istream& input, const std::string& source, std::ostream& report) {
    AliasTable table;
    config_text::forEachEntry(
        input, source, "alias entry", report,
        [&table](const std::vector<std::string_view>& fields) -> const char* {
            uint32_t uid = 0;
            if (!parseUid(fields[0], uid)) {
                return "not a user id (0..4294967294)";
            }
            if (fields.size() < 2) {
                return "no alias after the user id";
            }
            if (table.aliases_.count(uid) != 0) {
                return "user id already listed earlier";
            }
            table.aliases_.emplace(uid, std::vector<std::string>(fields.begin() + 1, fields.end()));
            return nullptr;
        });
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
