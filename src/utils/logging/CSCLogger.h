#pragma once

#include <memory>

#include "libs/cscLogging/CSCLoggingApi.h"
#include "utils/logging/Logger.h"
#include "utils/logging/TaskRunner.h"

namespace utils::logging {

// Hands entries to the platform logging service from its own runner thread; the service also
// decides which levels are enabled.
class CSCLogger : public Logger {
public:
    using Runner = TaskRunner;

    CSCLogger(LogLevel minimumLevel, bool forward);
    // For tests: uses the given service object instead of creating one.
    CSCLogger(LogLevel minimumLevel, bool forward,
              std::unique_ptr<csc_logging::CSCLoggingApi> service);
    ~CSCLogger() override;

    void addEntry(std::string&& text, LogLevel level) override;
    // Returns once every entry queued before the call has been handed to the service, so that
    // nothing is lost when the process ends right after.
    void flush() override;
    bool isEnabled(LogLevel level) const override;

    std::thread::id runnerThreadId() const { return runner_->threadId(); }

private:
    TaskQueue queue_;
    std::unique_ptr<csc_logging::CSCLoggingApi> service_;
    std::unique_ptr<Runner> runner_;
};

}  // namespace utils::logging
