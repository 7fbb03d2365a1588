#include "utils/logging/CSCLevels.h"

namespace utils::logging {

int serviceLevel(LogLevel level) {
    static constexpr int kServiceLevels[6] = {6, 5, 4, 3, 2, 1};
    if (level < Verbose || level > Critical) {
        return 0;
    }
    return kServiceLevels[level];
}

void initializeService(csc_logging::CSCLoggingApi& service, LogLevel minimumLevel) {
    // The identity under which the platform logging service files our entries.
    constexpr const char* kApplicationId = "RZ";
    if (minimumLevel >= Verbose && minimumLevel <= Critical) {
        service.initialize(kApplicationId, serviceLevel(minimumLevel));
    }
}

bool serviceEnables(csc_logging::CSCLoggingApi& service, LogLevel level) {
    const int mapped = serviceLevel(level);
    return mapped != 0 && service.isLevelEnabled(mapped);
}

void sendToService(csc_logging::CSCLoggingApi& service, const std::string& text, LogLevel level) {
    switch (level) {
        case Critical:
            service.logCritical(text);
            break;
        case Error:
            service.logError(text);
            break;
        case Warning:
            service.logWarning(text);
            break;
        case Info:
            service.logInfo(text);
            break;
        case Debug:
            service.logDebug(text);
            break;
        case Verbose:
            service.logVerbose(text);
            break;
        default:
            break;
    }
}

}  // namespace utils::logging
