#include "utils/logging/BufferedLogger.h"

namespace utils::logging {

BufferedLogger::BufferedLogger(LogLevel minimumLevel, bool forward)
    : Logger(minimumLevel, forward) {
    type_ = LoggerTypeBuffered;
    logFile_ = std::make_unique<LogFile>("bufferedlog_");
    runner_ = std::make_unique<Runner>(queue_);
}

BufferedLogger::~BufferedLogger() {
    // Stopping the runner drains the queue first; the base then flushes and closes the file.
    runner_.reset();
}

void BufferedLogger::addEntry(std::string&& text, LogLevel /*level*/) {
    queue_.post([this, text = std::move(text)] {
        std::ofstream& out = logFile_->stream();
        if (const uint64_t dropped = queue_.takeDropped(); dropped != 0) {
            out << compose(Warning, DROPPED_ENTRIES, dropped) << '\n';
        }
        out << text << '\n';
        out.flush();
    });
}

void BufferedLogger::flush() {
    // The runner is the only writer of the stream, so the flush runs there too, behind every
    // entry already queued.
    queue_.runAndWait([this] { logFile_->stream().flush(); });
}

}  // namespace utils::logging
