#pragma once

#include <mutex>

#include "utils/logging/Logger.h"

namespace utils::logging {

// Collects entries in memory (the delayed path of Logger::log) and writes them to
// "delayedlog_<time>.txt" only when flushed or destroyed: no file I/O while the daemon runs.
class DelayedLogger : public Logger {
public:
    DelayedLogger(LogLevel minimumLevel, bool forward);
    ~DelayedLogger() override;

    void addEntry(std::string&& text, LogLevel level) override;
    void flush() override;

    const std::string& fileName() const { return logFile_->name(); }

private:
    std::mutex flushMutex_;  // keeps two flushes from interleaving their output
};

}  // namespace utils::logging
