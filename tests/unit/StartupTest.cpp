// Runs the built daemon as a user would: command-line errors with their exact texts and exit
// statuses, the start-up log, readiness and the termination signals.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "ChildProcess.h"

namespace {

using testing_support::ChildProcess;

class Startup : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/ap-startup-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    // Runs the daemon in an emptied working directory.
    std::pair<int, std::string> run(std::vector<std::string> args) {
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directory(dir_);
        args.insert(args.begin(), AP_DAEMON_PATH);
        ChildProcess child(args, dir_);
        const int status = child.wait();
        return {status, child.standardError()};
    }

    // The one log file the daemon wrote into the working directory.
    std::string logFile(const std::string& prefix) {
        std::string found;
        for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
            if (entry.path().filename().string().rfind(prefix, 0) == 0) {
                EXPECT_TRUE(found.empty()) << "more than one log file";
                found = entry.path();
            }
        }
        std::stringstream content;
        content << std::ifstream(found).rdbuf();
        return content.str();
    }

    std::string dir_;
};

TEST_F(Startup, OptionErrorsWriteExactTextsAndStatuses) {
    const std::string logLevelText =
        "Option -l (--loglevel) requires a log level value (0 - Verbose, 1 - Debug, 2 - Info, "
        "3 - Warning, 4 - Error, 5 - Critical) .\n";
    const std::string loggerTypeText =
        "Option -m (--loggertype) requires a logger type name (csc, buffered, delayed).\n";
    const std::vector<std::tuple<std::vector<std::string>, int, std::string>> cases = {
        {{"-l", "6", "-f", "-i", "lo"}, 255, "log level value too big\n"},
        {{"-l", "4x"}, 255, "no proper log level value given\n"},
        {{"--loglevel=-1"}, 255, "log level value too big\n"},
        {{"-t", "2a"}, 255, "invalid thread number\n"},
        {{"-e", "x"}, 255, "invalid establisher count number\n"},
        {{"-m", "CSC"}, 255, "unknown logger type given. use csc, buffered or delayed.\n"},
        {{"-f", "-e"}, 1, "Unknown option -e\n"},
        {{"-i"}, 1, "Unknown option -i\n"},
        {{"-t"}, 1, "Option -t (--threads) requires a number of threads as argument.\n"},
        {{"-u"}, 1, "Option -u (--username) requires a username as argument.\n"},
        {{"-l"}, 1, logLevelText},
        {{"-m"}, 1, loggerTypeText},
        {{"-x"}, 1, "Unknown option -x\n"},
        {{"--bogus"}, 1, std::string("Unknown option character \0\n", 27)},
    };
    for (const auto& [args, status, text] : cases) {
        EXPECT_EQ(run(args), std::make_pair(status, text)) << args.front() << " " << args.back();
    }
}

TEST_F(Startup, RoleAndInterfaceChecksInOrder) {
    // No role and no interface: configuration and command line are logged, then the interface
    // check fails.
    EXPECT_EQ(run({"-m", "buffered", "-l", "2"}), std::make_pair(255, std::string()));
    const std::string log = logFile("bufferedlog_");
    EXPECT_EQ(log.rfind("[RP] : INFO    : Proxy version : 1.5.6\n", 0), 0u) << log;
    EXPECT_NE(log.find("[RP] : INFO    : Commandline : " AP_DAEMON_PATH " -m buffered -l 2\n"),
              std::string::npos);
    EXPECT_NE(log.find("[RP] : FATAL   : The proxy needs a network interface to bind on\n"),
              std::string::npos);
    // Both roles are refused before the interface is looked at.
    EXPECT_EQ(run({"-f", "-r", "-m", "delayed", "-i", "lo"}), std::make_pair(255, std::string()));
    // No role: status 1, the message keeps its line feed, the prefix is the reverse one.
    EXPECT_EQ(run({"--interface", "lo", "--loggertype", "buffered", "-l", "4"}).first, 1);
    EXPECT_EQ(logFile("bufferedlog_"),
              "[RP] : FATAL   : Need -f or -r to start as forward or reverse proxy\n\n");

    // An empty log level reads as Verbose; csc-unbuffered and counts of 0 are accepted. Without
    // a journal the platform logging service writes to standard error.
    const auto [status, errors] =
        run({"--logl=", "--loggert=csc-unbuffered", "-t", "0", "-e", "0"});
    EXPECT_EQ(status, 255);
    if (!std::filesystem::exists("/run/systemd/journal/socket")) {
        EXPECT_NE(errors.find("<info> [RP] : INFO    : Proxy version : 1.5.6\n"), std::string::npos)
            << errors;
        EXPECT_NE(errors.find("<critical> [RP] : FATAL   : The proxy needs a network interface"),
                  std::string::npos);
    }
}

TEST_F(Startup, ReadinessIsNotifiedAndTheLastSignalDecidesTheExitStatus) {
    // Sent while the daemon is stopped, both signals arrive before it can act on the first.
    for (const auto& [signals, exitStatus] : std::vector<std::pair<std::vector<int>, int>>{
             {{SIGTERM}, 0}, {{SIGINT}, 1}, {{SIGTERM, SIGINT}, 1}}) {
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directory(dir_);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const std::string socketPath = dir_ + "/notify.sock";
        std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", socketPath.c_str());
        const int notify = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ASSERT_EQ(bind(notify, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        ChildProcess child({AP_DAEMON_PATH, "-m", "buffered", "-l", "2", "-f", "-i", "lo"}, dir_,
                           {"NOTIFY_SOCKET=" + socketPath});
        pollfd readable{notify, POLLIN, 0};
        char datagram[64] = {};
        const bool ready = poll(&readable, 1, 20000) == 1 && recv(notify, datagram, 63, 0) > 0;
        close(notify);
        ASSERT_TRUE(ready) << "no readiness";
        EXPECT_STREQ(datagram, "READY=1");
        kill(child.pid(), SIGSTOP);
        for (const int signalNumber : signals) {
            kill(child.pid(), signalNumber);
        }
        kill(child.pid(), SIGCONT);
        EXPECT_EQ(child.wait(), exitStatus);

        // Each signal is reported in the log before the proxy stops.
        const std::string log = logFile("bufferedlog_");
        for (const int signalNumber : signals) {
            const size_t killed = log.find(
                "[FP] : FATAL   : Killed by signal : " + std::to_string(signalNumber) + "\n");
            ASSERT_NE(killed, std::string::npos) << log;
            EXPECT_LT(log.find("[FP] : INFO    : Commandline : "), killed);
            EXPECT_NE(log.find("Stopping proxy", killed), std::string::npos) << log;
        }
    }
}

}  // namespace
