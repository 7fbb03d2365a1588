#pragma once

#include <atomic>
#include <mutex>
#include <string>

namespace csc_logging {

// The platform's logging service. Entries go to the systemd journal when a journal socket
// exists, otherwise to standard error, one line per entry with its severity.
//
// Service levels: 1 critical, 2 error, 3 warning, 4 info, 5 debug, 6 verbose. A level is
// enabled when it is at most the level given to initialize(); before initialize() nothing is.
// Every operation is safe to call from several threads at once.
class CSCLoggingApi {
public:
    CSCLoggingApi();
    virtual ~CSCLoggingApi();

    CSCLoggingApi(const CSCLoggingApi&) = delete;
    CSCLoggingApi& operator=(const CSCLoggingApi&) = delete;

    virtual void initialize(const std::string& applicationId, int level);
    virtual bool isLevelEnabled(int level);
    virtual void logCritical(const std::string& text);
    virtual void logError(const std::string& text);
    virtual void logWarning(const std::string& text);
    virtual void logInfo(const std::string& text);
    virtual void logDebug(const std::string& text);
    virtual void logVerbose(const std::string& text);

private:
    void write(int level, const std::string& text);

    std::atomic<int> level_{0};
    std::mutex mutex_;  // guards applicationId_ and keeps stderr lines whole
    std::string applicationId_;
    bool useJournal_;
};

}  // namespace csc_logging
