#include "utils/logging/Logger.h"

#include <cinttypes>
#include <cstdio>
#include <sstream>

namespace utils::logging {

Logger* processLogger = nullptr;

const char* const LogLevelNames[6] = {"VERBOSE", "DEBUG  ", "INFO   ",
                                      "WARNING", "ERROR  ", "FATAL  "};

const char* levelName(LogLevel level) {
    if (level >= Verbose && level <= Critical) {
        return LogLevelNames[level];
    }
    return "UNKNOWN: ";
}

Logger::Logger(LogLevel minimumLevel, bool forward)
    : forward_(forward), minimumLevel_(minimumLevel), type_(LoggerTypeCSC) {}

Logger::~Logger() {
    if (logFile_) {
        logFile_->stream().flush();
        logFile_->stream().close();
        logFile_.reset();
    }
}

void Logger::appendDelayed(std::string&& line) {
    std::lock_guard<std::mutex> lock(delayedMutex_);
    delayedText_.push_back(std::move(line));
}

LogEntry::~LogEntry() {
    target_->addEntry(std::move(text_), level_);
}

namespace detail {

void appendHead(std::string& out, bool forward, LogLevel level, const char* message) {
    out.append(forward ? "[FP] : " : "[RP] : ");
    out.append(levelName(level));
    out.append(" : ");
    if (message != nullptr) {
        out.append(message);
    }
}

void appendArg(std::string& out, const char* value) {
    // A null C string has no text; writing nothing keeps the entry intact.
    if (value != nullptr) {
        out.append(value);
    }
}

void appendArg(std::string& out, std::string_view value) {
    out.append(value);
}

void appendArg(std::string& out, int value) {
    out.append(std::to_string(value));
}
void appendArg(std::string& out, unsigned int value) {
    out.append(std::to_string(value));
}
void appendArg(std::string& out, long value) {
    out.append(std::to_string(value));
}
void appendArg(std::string& out, unsigned long value) {
    out.append(std::to_string(value));
}
void appendArg(std::string& out, long long value) {
    out.append(std::to_string(value));
}
void appendArg(std::string& out, unsigned long long value) {
    out.append(std::to_string(value));
}

void appendArg(std::string& out, const void* value) {
    if (value == nullptr) {
        out.push_back('0');
        return;
    }
    char buffer[2 + 2 * sizeof(void*) + 1];
    std::snprintf(buffer, sizeof(buffer), "0x%" PRIxPTR, reinterpret_cast<uintptr_t>(value));
    out.append(buffer);
}

}  // namespace detail
}  // namespace utils::logging
