#pragma once

#include <string>

#include "libs/cscLogging/CSCLoggingApi.h"
#include "utils/logging/LogLevel.h"

namespace utils::logging {

// The service counts severity the other way round: 1 critical ... 6 verbose. 0 for a level
// outside Verbose..Critical, which the service never enables.
int serviceLevel(LogLevel level);

// Registers the daemon with the service at the service level of `minimumLevel`; a minimum level
// outside Verbose..Critical leaves the service uninitialised.
void initializeService(csc_logging::CSCLoggingApi& service, LogLevel minimumLevel);

// Whether the service takes entries of this level; never for levels outside 0..5.
bool serviceEnables(csc_logging::CSCLoggingApi& service, LogLevel level);

// Hands one entry to the service operation of its level; levels outside 0..5 are dropped.
void sendToService(csc_logging::CSCLoggingApi& service, const std::string& text, LogLevel level);

}  // namespace utils::logging
