#include "proxy/CommandLine.h"

#include <getopt.h>
#include <pwd.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace proxy {

namespace {

constexpr int kStatusMissingOrUnknown = 1;
constexpr int kStatusBadValue = 255;

// Unbuffered, so a message written just before exit is never lost.
void writeError(const char* text) {
    std::fputs(text, stderr);
}

// strtoul with base 10; false when anything follows the digits (an empty text reads as 0).
bool readNumber(const char* text, unsigned long& value) {
    char* end = nullptr;
    value = std::strtoul(text, &end, 10);
    return *end == '\0';
}

std::string defaultUserName() {
    struct passwd* entry = getpwuid(geteuid());
    return entry != nullptr && entry->pw_name != nullptr ? entry->pw_name : "";
}

void reportMissingOrUnknown(int option) {
    switch (option) {
        case 'u':
            writeError("Option -u (--username) requires a username as argument.\n");
            break;
        case 't':
            writeError("Option -t (--threads) requires a number of threads as argument.\n");
            break;
        case 'l':
            writeError(
                "Option -l (--loglevel) requires a log level value (0 - Verbose, 1 - Debug, 2 - "
                "Info, 3 - Warning, 4 - Error, 5 - Critical) .\n");
            break;
        case 'm':
            writeError(
                "Option -m (--loggertype) requires a logger type name (csc, buffered, "
                "delayed).\n");
            break;
        default:
            if (std::isprint(option)) {
                std::fprintf(stderr, "Unknown option -%c\n", option);
            } else {
                // An unknown long option reports 0, so this writes a zero byte on purpose.
                writeError("Unknown option character ");
                std::fputc(option, stderr);
                std::fputc('\n', stderr);
            }
            break;
    }
}

}  // namespace

std::optional<int> parseCommandLine(int argc, char** argv, StartupSettings& settings) {
    static const struct option longOptions[] = {
        {"forward", no_argument, nullptr, 'f'},
        {"reverse", no_argument, nullptr, 'r'},
        {"username", required_argument, nullptr, 'u'},
        {"threads", required_argument, nullptr, 't'},
        {"loglevel", required_argument, nullptr, 'l'},
        {"loggertype", required_argument, nullptr, 'm'},
        {"interface", required_argument, nullptr, 'i'},
        {"establishers", required_argument, nullptr, 'e'},
        {nullptr, 0, nullptr, 0},
    };

    unsigned hardwareThreads = std::thread::hardware_concurrency();
    settings.handlerThreads = hardwareThreads == 0 ? 1 : hardwareThreads;
    settings.userName = defaultUserName();

    opterr = 0;
    int option = 0;
    while ((option = getopt_long(argc, argv, "frt:e:u:l:m:i:", longOptions, nullptr)) != -1) {
        unsigned long value = 0;
        switch (option) {
            case 'f':
                settings.forward = true;
                break;
            case 'r':
                settings.reverse = true;
                break;
            case 'u':
                settings.userName = optarg;
                break;
            case 't':
                if (!readNumber(optarg, value)) {
                    writeError("invalid thread number\n");
                    return kStatusBadValue;
                }
                settings.handlerThreads = static_cast<uint32_t>(value);
                break;
            case 'e':
                if (!readNumber(optarg, value)) {
                    writeError("invalid establisher count number\n");
                    return kStatusBadValue;
                }
                settings.establishers = static_cast<uint32_t>(value);
                break;
            case 'l':
                if (!readNumber(optarg, value)) {
                    writeError("no proper log level value given\n");
                    return kStatusBadValue;
                }
                if (static_cast<uint32_t>(value) > utils::logging::Critical) {
                    writeError("log level value too big\n");
                    return kStatusBadValue;
                }
                settings.logLevel = static_cast<utils::logging::LogLevel>(value);
                break;
            case 'm':
                if (std::strcmp(optarg, "csc") == 0) {
                    settings.loggerKind = LoggerKind::Csc;
                } else if (std::strcmp(optarg, "buffered") == 0) {
                    settings.loggerKind = LoggerKind::Buffered;
                } else if (std::strcmp(optarg, "delayed") == 0) {
                    settings.loggerKind = LoggerKind::Delayed;
                } else if (std::strcmp(optarg, "csc-unbuffered") == 0) {
                    settings.loggerKind = LoggerKind::CscUnbuffered;
                } else {
                    writeError("unknown logger type given. use csc, buffered or delayed.\n");
                    return kStatusBadValue;
                }
                break;
            case 'i':
                settings.interfaceName = optarg;
                settings.interfaceGiven = true;
                break;
            default:
                reportMissingOrUnknown(optopt);
                return kStatusMissingOrUnknown;
        }
    }
    return std::nullopt;
}

}  // namespace proxy
