#pragma once

#include <string>

#include "libs/cscLogging/CSCLoggingApi.h"
#include "utils/logging/LogLevel.h"

namespace utils::logging {

// The service counts severity the other way round: 1 critical ... 6 verbose. 0 for a level
// outside Verbose..Critical, which the service never enables.
int serviceLevel(LogLevel level);

// Hands one entry to the service operation of its level; levels outside 0..5 are dropped.
void sendToService(csc_logging::CSCLoggingApi& service, const std::string& text, LogLevel level);

}  // namespace utils::logging
