#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "utils/logging/LogLevel.h"

namespace proxy {

enum class LoggerKind { Csc, Buffered, Delayed, CscUnbuffered };

// Settings read from the command line; held by the entry point for the life of the process.
struct StartupSettings {
    bool forward = false;
    bool reverse = false;
    std::string userName;  // accepted and kept; nothing reads it
    uint32_t handlerThreads = 1;
    uint32_t establishers = 2;
    utils::logging::LogLevel logLevel = utils::logging::Error;
    LoggerKind loggerKind = LoggerKind::Csc;
    std::string interfaceName;
    bool interfaceGiven = false;
};

// Reads every option with getopt_long. On an option error the text has been written to standard
// error and the exit status to end with is returned; std::nullopt means go on.
std::optional<int> parseCommandLine(int argc, char** argv, StartupSettings& settings);

}  // namespace proxy
