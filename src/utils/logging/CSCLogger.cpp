#include "utils/logging/CSCLogger.h"

#include "utils/logging/CSCLevels.h"

namespace utils::logging {

CSCLogger::CSCLogger(LogLevel minimumLevel, bool forward)
    : CSCLogger(minimumLevel, forward, std::make_unique<csc_logging::CSCLoggingApi>()) {}

CSCLogger::CSCLogger(LogLevel minimumLevel, bool forward,
                     std::unique_ptr<csc_logging::CSCLoggingApi> service)
    : Logger(minimumLevel, forward), service_(std::move(service)) {
    type_ = LoggerTypeCSC;
    initializeService(*service_, minimumLevel);
    runner_ = std::make_unique<Runner>(queue_);
}

CSCLogger::~CSCLogger() {
    // Every queued entry reaches the service before the service object goes.
    runner_.reset();
    service_.reset();
}

void CSCLogger::addEntry(std::string&& text, LogLevel level) {
    queue_.post([this, level, text = std::move(text)] {
        if (const uint64_t dropped = queue_.takeDropped(); dropped != 0) {
            sendToService(*service_, compose(Warning, DROPPED_ENTRIES, dropped), Warning);
        }
        sendToService(*service_, text, level);
    });
}

void CSCLogger::flush() {
    queue_.runAndWait([] {});
}

bool CSCLogger::isEnabled(LogLevel level) const {
    return serviceEnables(*service_, level);
}

}  // namespace utils::logging
