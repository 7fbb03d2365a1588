#include <time.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>

#include "libs/tlslib/TlsLib.h"
#include "os/DescriptorLimit.h"
#include "os/Termination.h"
#include "proxy/CommandLine.h"
#include "proxy/Proxy.h"
#include "utils/BuildConfig.h"
#include "utils/logging/BufferedLogger.h"
#include "utils/logging/CSCLogger.h"
#include "utils/logging/CSCUnbufferedLogger.h"
#include "utils/logging/DelayedLogger.h"
#include "utils/logging/Logger.h"

namespace {

using utils::logging::Critical;
using utils::logging::Info;
using utils::logging::Warning;

utils::logging::Logger* createLogger(const proxy::StartupSettings& settings) {
    switch (settings.loggerKind) {
        case proxy::LoggerKind::Buffered:
            return new utils::logging::BufferedLogger(settings.logLevel, settings.forward);
        case proxy::LoggerKind::Delayed:
            return new utils::logging::DelayedLogger(settings.logLevel, settings.forward);
        case proxy::LoggerKind::CscUnbuffered:
            return new utils::logging::CSCUnbufferedLogger(settings.logLevel, settings.forward);
        case proxy::LoggerKind::Csc:
        default:
            return new utils::logging::CSCLogger(settings.logLevel, settings.forward);
    }
}

void logBuildConfiguration() {
    AP_LOG(Info, "Proxy version", config::PROXY_VERSION);
    AP_LOG(Info, "BUFFER_SIZE", static_cast<int>(config::BUFFER_SIZE));
    AP_LOG(Info, "EPOLL_EVENTLIST_SIZE", config::EPOLL_EVENTLIST_SIZE);
    AP_LOG(Info, "MAX_CONNECTIONS", config::MAX_CONNECTIONS);
    AP_LOG(Info, "SPLICING_ENDABLED", config::SPLICING_ENABLED);
    AP_LOG(Info, "HAVE_SYSTEMD", config::HAVE_SYSTEMD);
    AP_LOG(Info, "NODE_ADDRESS_VALUE", config::NODE_ADDRESS_VALUE);
    AP_LOG(Info, "TLS_EXCEPTIONS", config::TLS_EXCEPTIONS);
    AP_LOG(Info, "ENABLE_PERFORMANCE_COUNTERS=Off");
    AP_LOG(Info, "LOGGING_PREFILTER=On");
#ifdef ENABLE_ACTION_AND_SERVICE_OFFERING_QUERIES
    AP_LOG(Info, "ENABLE_ACTION_AND_SERVICE_OFFERING_QUERIES=On");
#else
    AP_LOG(Info, "ENABLE_ACTION_AND_SERVICE_OFFERING_QUERIES=Off");
#endif
}

void logCommandLine(int argc, char** argv) {
    if (argc <= 0) {
        AP_LOG(Warning, "Cannot log commandline, suspicious ARGC", argc);
        return;
    }
    std::string commandLine = argv[0];
    for (int i = 1; i < argc; ++i) {
        commandLine += ' ';
        commandLine += argv[i];
    }
    AP_LOG(Info, "Commandline", commandLine);
}

void sleepOneMillisecond() {
    struct timespec pause = {0, 1000000};
    nanosleep(&pause, nullptr);
}

// The refusals with status 255 end without the exit routine, but their reason must still reach
// the log: write out what the back-end holds without tearing it down.
int refuseStart(const char* reason) {
    AP_LOG(Critical, reason);
    sleepOneMillisecond();
    if (utils::logging::processLogger != nullptr) {
        utils::logging::processLogger->flush();
    }
    return 255;
}

[[noreturn]] void exitRoutine(int status) {
    os::reportTerminationSignals();
    if (utils::logging::processLogger != nullptr) {
        utils::logging::processLogger->flush();
        delete utils::logging::processLogger;
        utils::logging::processLogger = nullptr;
    }
    std::exit(status);
}

}  // namespace

int main(int argc, char** argv) {
    os::setupTermination();

    proxy::StartupSettings settings;
    if (std::optional<int> status = proxy::parseCommandLine(argc, argv, settings)) {
        return *status;
    }

    utils::logging::processLogger = createLogger(settings);
    logBuildConfiguration();
    logCommandLine(argc, argv);

    if (settings.forward && settings.reverse) {
        return refuseStart(
            "The proxy cannot be forward and reverse proxy at the same time: choose -f or -r");
    }
    if (!settings.interfaceGiven) {
        return refuseStart("The proxy needs a network interface to bind on");
    }
    if (!settings.forward && !settings.reverse) {
        AP_LOG(Critical, "Need -f or -r to start as forward or reverse proxy\n");
        tarn::tls::cleanupTLSLib();
        exitRoutine(1);
    }

    // Every connection pair holds two descriptors; the soft default would cap the pairs far
    // below what the device allows.
    AP_LOG(Info, "Descriptor limit", os::raiseDescriptorLimit());

    auto accessProxy = std::make_unique<proxy::Proxy>(
        settings.forward ? proxy::Proxy::ROLE_FORWARD : proxy::Proxy::ROLE_REVERSE,
        settings.establishers, settings.handlerThreads, std::move(settings.interfaceName));
    if (!accessProxy->isInitialized()) {
        AP_LOG(Critical, "Proxy initialization failed, exiting");
        accessProxy.reset();
        tarn::tls::cleanupTLSLib();
        exitRoutine(1);
    }

    accessProxy->start();
    os::notifyServiceReady();
    uint8_t exitFlag = os::waitForTermination();
    os::reportTerminationSignals();
    accessProxy->stop();
    // Destroyed before the TLS library goes and before the exit routine, which does not return
    // and would otherwise skip the destructor.
    accessProxy.reset();
    tarn::tls::cleanupTLSLib();
    exitRoutine(exitFlag == 0 ? 0 : 1);
}
