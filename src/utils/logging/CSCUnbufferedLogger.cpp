#include "utils/logging/CSCUnbufferedLogger.h"

#include "utils/logging/CSCLevels.h"

namespace utils::logging {

CSCUnbufferedLogger::CSCUnbufferedLogger(LogLevel minimumLevel, bool forward)
    : CSCUnbufferedLogger(minimumLevel, forward, std::make_unique<csc_logging::CSCLoggingApi>()) {}

CSCUnbufferedLogger::CSCUnbufferedLogger(LogLevel minimumLevel, bool forward,
                                         std::unique_ptr<csc_logging::CSCLoggingApi> service)
    : Logger(minimumLevel, forward), service_(std::move(service)) {
    type_ = LoggerTypeCSCUnbuffered;
    initializeService(*service_, minimumLevel);
}

CSCUnbufferedLogger::~CSCUnbufferedLogger() {
    service_.reset();
}

void CSCUnbufferedLogger::addEntry(std::string&& text, LogLevel level) {
    sendToService(*service_, text, level);
}

bool CSCUnbufferedLogger::isEnabled(LogLevel level) const {
    return serviceEnables(*service_, level);
}

}  // namespace utils::logging
