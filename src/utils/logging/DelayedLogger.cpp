#include "utils/logging/DelayedLogger.h"

#include <deque>

namespace utils::logging {

DelayedLogger::DelayedLogger(LogLevel minimumLevel, bool forward) : Logger(minimumLevel, forward) {
    type_ = LoggerTypeDelayed;
    logFile_ = std::make_unique<LogFile>("delayedlog_");
}

DelayedLogger::~DelayedLogger() {
    flush();
}

void DelayedLogger::addEntry(std::string&& /*text*/, LogLevel /*level*/) {}

void DelayedLogger::flush() {
    std::lock_guard<std::mutex> flushLock(flushMutex_);
    std::deque<std::string> pending;
    {
        // Take the list out so logging threads are not held up by the file write.
        std::lock_guard<std::mutex> lock(delayedMutex_);
        pending.swap(delayedText_);
    }
    std::ofstream& out = logFile_->stream();
    for (const std::string& line : pending) {
        out << line;
    }
    out.flush();
}

}  // namespace utils::logging
