#pragma once

#include <memory>

#include "libs/cscLogging/CSCLoggingApi.h"
#include "utils/logging/Logger.h"

namespace utils::logging {

// Hands every entry to the platform logging service at once, on the logging thread.
class CSCUnbufferedLogger : public Logger {
public:
    CSCUnbufferedLogger(LogLevel minimumLevel, bool forward);
    // For tests: uses the given service object instead of creating one.
    CSCUnbufferedLogger(LogLevel minimumLevel, bool forward,
                        std::unique_ptr<csc_logging::CSCLoggingApi> service);
    ~CSCUnbufferedLogger() override;

    void addEntry(std::string&& text, LogLevel level) override;
    void flush() override {}
    bool isEnabled(LogLevel level) const override;

private:
    std::unique_ptr<csc_logging::CSCLoggingApi> service_;
};

}  // namespace utils::logging
