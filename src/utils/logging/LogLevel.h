#pragma once

#include <cstdint>

namespace utils::logging {

enum LogLevel : int32_t {
    Verbose = 0,
    Debug = 1,
    Info = 2,
    Warning = 3,
    Error = 4,
    Critical = 5,
};

// Decides how Logger::log delivers an entry; set once by each back-end's constructor.
enum LoggerType : int32_t {
    LoggerTypeCSC = 0,
    LoggerTypeBuffered = 1,
    LoggerTypeDelayed = 2,
    LoggerTypeCSCUnbuffered = 3,
};

// Fixed-width names so that the message column lines up in every log file.
extern const char* const LogLevelNames[6];

// Name of the level as written into an entry; "UNKNOWN: " for values outside 0..5.
const char* levelName(LogLevel level);

}  // namespace utils::logging
