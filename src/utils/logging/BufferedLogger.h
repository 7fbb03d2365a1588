#pragma once

#include <memory>

#include "utils/logging/Logger.h"
#include "utils/logging/TaskRunner.h"

namespace utils::logging {

// Writes each entry and a line feed to "bufferedlog_<time>.txt" on its own runner thread;
// addEntry only queues, so a logging thread never waits for the file system.
class BufferedLogger : public Logger {
public:
    using Runner = TaskRunner;

    BufferedLogger(LogLevel minimumLevel, bool forward);
    ~BufferedLogger() override;

    void addEntry(std::string&& text, LogLevel level) override;
    // Returns once every entry queued before the call is in the operating system's hands.
    void flush() override;

    const std::string& fileName() const { return logFile_->name(); }

private:
    TaskQueue queue_;
    std::unique_ptr<Runner> runner_;
};

}  // namespace utils::logging
