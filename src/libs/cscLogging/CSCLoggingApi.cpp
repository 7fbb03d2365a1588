#include "libs/cscLogging/CSCLoggingApi.h"

#include <sys/stat.h>
#include <syslog.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <cstdio>

namespace csc_logging {

namespace {

// Where journald listens for native entries; without it sd_journal_send would fail silently.
constexpr const char* kJournalSocket = "/run/systemd/journal/socket";

bool journalAvailable() {
    struct stat st {};
    return ::stat(kJournalSocket, &st) == 0 && S_ISSOCK(st.st_mode);
}

int syslogPriority(int level) {
    switch (level) {
        case 1:
            return LOG_CRIT;
        case 2:
            return LOG_ERR;
        case 3:
            return LOG_WARNING;
        case 4:
            return LOG_INFO;
        default:
            return LOG_DEBUG;
    }
}

const char* severityName(int level) {
    switch (level) {
        case 1:
            return "critical";
        case 2:
            return "error";
        case 3:
            return "warning";
        case 4:
            return "info";
        case 5:
            return "debug";
        default:
            return "verbose";
    }
}

}  // namespace

CSCLoggingApi::CSCLoggingApi() : useJournal_(journalAvailable()) {}

CSCLoggingApi::~CSCLoggingApi() = default;

void CSCLoggingApi::initialize(const std::string& applicationId, int level) {
    std::lock_guard<std::mutex> lock(mutex_);
    applicationId_ = applicationId;
    level_.store(level, std::memory_order_relaxed);
}

bool CSCLoggingApi::isLevelEnabled(int level) {
    return level >= 1 && level <= level_.load(std::memory_order_relaxed);
}

void CSCLoggingApi::logCritical(const std::string& text) {
    write(1, text);
}
void CSCLoggingApi::logError(const std::string& text) {
    write(2, text);
}
void CSCLoggingApi::logWarning(const std::string& text) {
    write(3, text);
}
void CSCLoggingApi::logInfo(const std::string& text) {
    write(4, text);
}
void CSCLoggingApi::logDebug(const std::string& text) {
    write(5, text);
}
void CSCLoggingApi::logVerbose(const std::string& text) {
    write(6, text);
}

void CSCLoggingApi::write(int level, const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (useJournal_) {
        // A failed send falls back to standard error so that no entry is lost silently.
        if (sd_journal_send("MESSAGE=%s", text.c_str(), "PRIORITY=%d", syslogPriority(level),
                            "SYSLOG_IDENTIFIER=%s", applicationId_.c_str(), nullptr) >= 0) {
            return;
        }
    }
    std::fprintf(stderr, "%s[%d] <%s> %s\n", applicationId_.c_str(), static_cast<int>(getpid()),
                 severityName(level), text.c_str());
}

}  // namespace csc_logging
