#include "os/Termination.h"

#include <pthread.h>
#include <semaphore.h>
#include <systemd/sd-daemon.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "utils/logging/Logger.h"

namespace os {

namespace {

sem_t exitSemaphore;
std::atomic<uint8_t> exitFlag{0};

// Signal numbers recorded by the handler, reported later by the main thread. Each slot is
// written once; signals beyond the last slot are still counted but no longer reported.
constexpr unsigned kSignalSlots = 16;
std::atomic<int> signalSlots[kSignalSlots];
std::atomic<unsigned> signalsReceived{0};
unsigned signalsReported = 0;  // main thread only

static_assert(std::atomic<int>::is_always_lock_free, "signal slots must be lock-free");
static_assert(std::atomic<unsigned>::is_always_lock_free, "signal count must be lock-free");

}  // namespace

extern "C" void terminationSignalHandler(int signalNumber) {
    int savedErrno = errno;
    unsigned slot = signalsReceived.fetch_add(1);
    if (slot < kSignalSlots) {
        signalSlots[slot].store(signalNumber);
    }
    if (signalNumber != SIGTERM) {
        exitFlag.store(1);
    }
    sem_post(&exitSemaphore);
    errno = savedErrno;
}

void setupTermination() {
    if (sem_init(&exitSemaphore, 0, 0) != 0) {
        AP_LOG(utils::logging::Error, "Failed to initialize exit semaphore", "errno", errno,
               "description", strerror(errno));
    }
    signal(SIGPIPE, SIG_IGN);
    signal(SIGINT, terminationSignalHandler);
    signal(SIGTERM, terminationSignalHandler);
}

uint8_t waitForTermination() {
    // The result is not examined: the only way on is a post, EINTR just means a handler ran and
    // posted.
    while (sem_wait(&exitSemaphore) != 0 && errno == EINTR) {
    }
    return exitFlag.load();
}

void signalTermination(uint8_t flag) {
    exitFlag.store(flag);
    if (sem_post(&exitSemaphore) == -1) {
        AP_LOG(utils::logging::Error, "Failed sem_post() in os::signalTermination", "errno", errno,
               "description", strerror(errno));
    }
}

void reportTerminationSignals() {
    unsigned received = signalsReceived.load();
    if (received > kSignalSlots) {
        received = kSignalSlots;
    }
    for (; signalsReported < received; ++signalsReported) {
        // The handler bumps the count before it stores the number; wait for the store.
        int signalNumber = 0;
        while ((signalNumber = signalSlots[signalsReported].load()) == 0) {
        }
        AP_LOG(utils::logging::Critical, "Killed by signal", signalNumber);
    }
}

void notifyServiceReady() {
    sd_notify(0, "READY=1");
}

int setThreadName(std::thread& thread, const std::string& name) {
    constexpr size_t kMaxThreadName = 15;
    std::string shortName = name.substr(0, kMaxThreadName);
    return pthread_setname_np(thread.native_handle(), shortName.c_str());
}

}  // namespace os
