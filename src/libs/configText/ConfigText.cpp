#include "libs/configText/ConfigText.h"

namespace config_text {

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

void forEachEntry(std::istream& input, const std::string& source, const char* kind,
                  std::ostream& report,
                  const std::function<const char*(const std::vector<std::string_view>&)>& entry) {
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
        if (const char* problem = entry(fields)) {
            // One write per report so that lines of concurrent writers stay whole.
            report << (source + ":" + std::to_string(lineNumber) + ": malformed " + kind +
                       ", line skipped: " + problem + "\n");
        }
    }
}

}  // namespace config_text
