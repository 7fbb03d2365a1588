#include "utils/logging/CSCLogger.h"

#include "utils/logging/CSCLevels.h"

namespace utils::logging {

namespace {
// The identity under which the platform logging service files our entries.
constexpr const char* kApplicationId = "RZ";
}  // namespace

CSCLogger::CSCLogger(LogLevel minimumLevel, bool forward)
    : CSCLogger(minimumLevel, forward, std::make_unique<csc_logging::CSCLoggingApi>()) {}

CSCLogger::CSCLogger(LogLevel minimumLevel, bool forward,
                     std::unique_ptr<csc_logging::CSCLoggingApi> service)
    : Logger(minimumLevel, forward), service_(std::move(service)) {
    type_ = LoggerTypeCSC;
    if (minimumLevel >= Verbose && minimumLevel <= Critical) {
        service_->initialize(kApplicationId, serviceLevel(minimumLevel));
    }
    runner_ = std::make_unique<Runner>(queue_);
}

CSCLogger::~CSCLogger() {
    // Every queued entry reaches the service before the service object goes.
    runner_.reset();
    service_.reset();
}

void CSCLogger::addEntry(std::string&& text, LogLevel level) {
    queue_.post([this, level, text = std::move(text)] { sendToService(*service_, text, level); });
}

void CSCLogger::flush() {
    queue_.runAndWait([] {});
}

bool CSCLogger::isEnabled(LogLevel level) const {
    int mapped = serviceLevel(level);
    return mapped != 0 && service_->isLevelEnabled(mapped);
}

}  // namespace utils::logging
