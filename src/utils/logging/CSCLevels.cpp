#include "utils/logging/CSCLevels.h"

namespace utils::logging {

int serviceLevel(LogLevel level) {
    static constexpr int kServiceLevels[6] = {6, 5, 4, 3, 2, 1};
    if (level < Verbose || level > Critical) {
        return 0;
    }
    return kServiceLevels[level];
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
