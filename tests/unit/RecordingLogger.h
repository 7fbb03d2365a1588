#pragma once

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "utils/logging/Logger.h"

namespace testing_support {

// Keeps every entry's text in memory; the process logger for its lifetime.
class RecordingLogger : public utils::logging::Logger {
public:
    explicit RecordingLogger(utils::logging::LogLevel minimum = utils::logging::Verbose,
                             bool forward = true)
        : Logger(minimum, forward), previous_(utils::logging::processLogger) {
        utils::logging::processLogger = this;
    }
    ~RecordingLogger() override { utils::logging::processLogger = previous_; }

    void addEntry(std::string&& text, utils::logging::LogLevel) override {
        std::lock_guard<std::mutex> lock(mutex_);
        texts_.push_back(std::move(text));
    }
    void flush() override {}

    std::vector<std::string> texts() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return texts_;
    }
    size_t count(const std::string& fragment) const {
        return std::ranges::count_if(
            texts(), [&](const std::string& text) { return text.find(fragment) != text.npos; });
    }
    bool contains(const std::string& fragment) const { return count(fragment) > 0; }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        texts_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> texts_;
    utils::logging::Logger* previous_;
};

}  // namespace testing_support
