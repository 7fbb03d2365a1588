#pragma once

#include <fstream>
#include <string>

namespace utils::logging {

// A log file in the working directory named <prefix><local time of creation>.txt.
// A file that cannot be opened leaves the stream failed: writes are lost, nothing throws.
class LogFile {
public:
    explicit LogFile(const std::string& prefix);

    const std::string& name() const { return name_; }
    std::ofstream& stream() { return stream_; }

    // "<prefix>%d-%m-%Y_%H-%M-%S.txt" for the current local time.
    static std::string makeName(const std::string& prefix);

private:
    std::string name_;
    std::ofstream stream_;
};

}  // namespace utils::logging
