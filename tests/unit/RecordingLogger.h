#pragma once

#include <algorithm>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "utils/logging/Logger.h"

namespace testing_support {

// A logger that keeps every entry in memory, for tests that check what was logged.
// Installs itself as the process logger for its lifetime.
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
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::string> out;
        for (const auto& e : entries_) out.push_back(e.text);
        return out;
    }
    // Number of entries whose text contains the fragment.
    size_t count(const std::string& fragment) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::count_if(entries_.begin(), entries_.end(), [&](const Entry& e) {
            return e.text.find(fragment) != std::string::npos;
        });
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
