#pragma once

#include <cstdint>
#include <string>
#include <thread>

// Termination, readiness and thread names: the small operating-system layer of the process frame.
//
// Termination is one process-wide semaphore plus an exit flag (0 orderly, 1 otherwise). SIGTERM
// and SIGINT post the semaphore; SIGPIPE is ignored so a write to a closed socket fails with
// EPIPE instead of killing the daemon.
namespace os {

// Initialises the semaphore and installs the signal dispositions. Call once, first thing.
void setupTermination();

// Blocks until termination is requested; returns the exit flag at that moment.
uint8_t waitForTermination();

// Programmatic counterpart of a termination signal.
void signalTermination(uint8_t flag);

// Logs "Killed by signal" for every termination signal received since the last call.
// The signal handler cannot log (the logger allocates and locks), so it only records the signal
// number in a lock-free slot and the main thread reports it here.
void reportTerminationSignals();

// The handler installed for SIGTERM and SIGINT; exposed for tests.
extern "C" void terminationSignalHandler(int signalNumber);

// sd_notify "READY=1"; ignored without a service manager.
void notifyServiceReady();

// Names a thread. The kernel refuses names longer than 15 bytes, so longer names are cut to
// their first 15 bytes rather than silently left unset.
int setThreadName(std::thread& thread, const std::string& name);

}  // namespace os
