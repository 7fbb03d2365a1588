#include "utils/logging/LogFile.h"

#include <ctime>
#include <iomanip>
#include <sstream>

namespace utils::logging {

std::string LogFile::makeName(const std::string& prefix) {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::ostringstream name;
    name << prefix << std::put_time(&local, "%d-%m-%Y_%H-%M-%S") << ".txt";
    return name.str();
}

LogFile::LogFile(const std::string& prefix)
    : name_(makeName(prefix)), stream_(name_, std::ios::out | std::ios::trunc) {}

}  // namespace utils::logging
