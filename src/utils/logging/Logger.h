#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <type_traits>

#include "utils/logging/LogFile.h"
#include "utils/logging/LogLevel.h"

namespace utils::logging {

class Logger;

// The process logger. Set by the entry point before any other thread exists and deleted by
// its exit routine after every thread has been joined, so readers need no synchronisation.
extern Logger* processLogger;

// What a queued back-end writes, with the count, once it has caught up after dropping entries.
inline constexpr const char* DROPPED_ENTRIES =
    "Log entries dropped, the logging thread fell behind";

// Abstract base of the four back-ends. log() composes the entry text; addEntry() delivers it.
// log(), addEntry() and isEnabled() may be called from any thread.
class Logger {
public:
    Logger(LogLevel minimumLevel, bool forward);
    virtual ~Logger();

    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    // Takes over one finished entry text (without line end).
    virtual void addEntry(std::string&& text, LogLevel level) = 0;
    // Writes out what the back-end holds back.
    virtual void flush() = 0;
    // Whether a statement of this level is worth building at all.
    virtual bool isEnabled(LogLevel level) const { return minimumLevel_ <= level; }

    // "[FP] : " or "[RP] : ", the level name, then " : " before the message and each argument.
    template <typename... Args>
    void log(LogLevel level, const char* message, const Args&... args);

    // Builds the entry text exactly as log() would; exposed for the delayed path and tests.
    template <typename... Args>
    std::string compose(LogLevel level, const char* message, const Args&... args) const;

    bool forward() const { return forward_; }
    LogLevel minimumLevel() const { return minimumLevel_; }
    LoggerType type() const { return type_; }

protected:
    void appendDelayed(std::string&& line);

    bool forward_;
    LogLevel minimumLevel_;
    LoggerType type_;
    std::unique_ptr<LogFile> logFile_;
    // Appended by every logging thread, drained by DelayedLogger::flush(); one entry with its
    // line end is appended under the lock so entries never interleave.
    std::deque<std::string> delayedText_;
    std::mutex delayedMutex_;
};

// Hands one composed entry to its logger's addEntry when it goes out of scope, so an entry is
// submitted exactly once. That logger is the process logger in the daemon.
class LogEntry {
public:
    LogEntry(Logger* target, bool forward, LogLevel level)
        : target_(target), forward_(forward), level_(level) {}
    ~LogEntry();
    LogEntry(const LogEntry&) = delete;
    LogEntry& operator=(const LogEntry&) = delete;

    std::string& text() { return text_; }
    bool forward() const { return forward_; }

private:
    Logger* target_;
    bool forward_;
    LogLevel level_;
    std::string text_;
};

namespace detail {

void appendArg(std::string& out, const char* value);
void appendArg(std::string& out, std::string_view value);
void appendArg(std::string& out, int value);
void appendArg(std::string& out, unsigned int value);
void appendArg(std::string& out, long value);
void appendArg(std::string& out, unsigned long value);
void appendArg(std::string& out, long long value);
void appendArg(std::string& out, unsigned long long value);
void appendArg(std::string& out, const void* value);

template <typename T>
void append(std::string& out, const T& value) {
    using D = std::decay_t<T>;
    if constexpr (std::is_same_v<D, char*> || std::is_same_v<D, const char*>) {
        appendArg(out, static_cast<const char*>(value));
    } else if constexpr (std::is_same_v<D, std::string> || std::is_same_v<D, std::string_view>) {
        appendArg(out, std::string_view(value));
    } else if constexpr (std::is_same_v<D, bool>) {
        appendArg(out, static_cast<int>(value));
    } else if constexpr (std::is_integral_v<D> && sizeof(D) < sizeof(int)) {
        appendArg(out, static_cast<int>(value));  // narrow integers print like an int
    } else if constexpr (std::is_integral_v<D> || std::is_enum_v<D>) {
        if constexpr (std::is_enum_v<D>) {
            appendArg(out, static_cast<std::underlying_type_t<D>>(value));
        } else {
            appendArg(out, value);
        }
    } else if constexpr (std::is_pointer_v<D> || std::is_null_pointer_v<D>) {
        appendArg(out, static_cast<const void*>(value));
    } else {
        static_assert(sizeof(D) == 0, "unsupported log argument type");
    }
}

void appendHead(std::string& out, bool forward, LogLevel level, const char* message);

}  // namespace detail

template <typename... Args>
std::string Logger::compose(LogLevel level, const char* message, const Args&... args) const {
    std::string text;
    text.reserve(64);
    detail::appendHead(text, forward_, level, message);
    ((text.append(" : "), detail::append(text, args)), ...);
    return text;
}

template <typename... Args>
void Logger::log(LogLevel level, const char* message, const Args&... args) {
    if (minimumLevel_ > level) {
        return;
    }
    switch (type_) {
        case LoggerTypeCSC:
        case LoggerTypeBuffered:
        case LoggerTypeCSCUnbuffered: {
            LogEntry entry(this, forward_, level);
            entry.text() = compose(level, message, args...);
            break;
        }
        case LoggerTypeDelayed: {
            std::string line = compose(level, message, args...);
            line.push_back('\n');
            appendDelayed(std::move(line));
            break;
        }
        default:
            break;
    }
}

}  // namespace utils::logging

// The call-site prefilter: arguments (strerror, conversions) are evaluated only when the level
// is enabled, so a disabled statement costs one virtual call.
#define AP_LOG(level, ...)                                                          \
    do {                                                                            \
        ::utils::logging::Logger* ap_log_logger_ = ::utils::logging::processLogger; \
        if (ap_log_logger_ != nullptr && ap_log_logger_->isEnabled(level)) {        \
            ap_log_logger_->log(level, __VA_ARGS__);                                \
        }                                                                           \
    } while (0)
