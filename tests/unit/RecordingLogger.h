#pragma once

#include <algorithm>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "utils/logging/Logger.h"

namespace testing_support {

// Keeps every entry in memory; the process logger for its lifetime.
class RecordingLogger : public utils::logging::Logger {
public:
    struct Entry {
        std::string text;
        utils::logging::LogLevel level;
        std::thread::id thread;
    };

    explicit RecordingLogger(utils::logging::LogLevel minimum = utils::logging::Verbose,
                             bool forward = true)
        : Logger(minimum, forward), previous_(utils::logging::processLogger) {
        utils::logging::processLogger = this;
    }
    ~RecordingLogger() override { utils::logging::processLogger = previous_; }

    void addEntry(std::string&& text, utils::logging::LogLevel level) override {
        std::lock_guard<std::mutex> lock(mutex_);
        entries_.push_back({std::move(text), level, std::this_thread::get_id()});
    }
    void flush() override {}

    std::vector<Entry> entries() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return entries_;
    }
    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        std::ranges::transform(entries(), std::back_inserter(out), &Entry::text);
        return out;
    }
    size_t count(const std::string& fragment) const {
        return std::ranges::count_if(
            texts(), [&](const std::string& text) { return text.find(fragment) != text.npos; });
    }
    bool contains(const std::string& fragment) const { return count(fragment) > 0; }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        entries_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
    utils::logging::Logger* previous_;
};

}  // namespace testing_support
