// Runs the built daemon as a user would: command-line errors with their exact texts and exit
// statuses, the start-up log, readiness and the termination signals.
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

    struct Outcome {
        int status;
        std::string standardError;
    };

    Outcome run(std::vector<std::string> args) {
        args.insert(args.begin(), AP_DAEMON_PATH);
        ChildProcess child(args, dir_.string());
        int status = child.wait();
        return {status, child.standardError()};
    }

    // The one log file the daemon wrote into the working directory.
    std::string logFile(const std::string& prefix) {
        std::string found;
        for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
            std::string name = entry.path().filename().string();
            if (name.rfind(prefix, 0) == 0) {
                EXPECT_TRUE(found.empty()) << "more than one log file";
                found = entry.path().string();
            }
        }
        std::ifstream in(found);
        std::stringstream content;
        content << in.rdbuf();
        return content.str();
    }

    std::filesystem::path dir_;
};

TEST_F(Startup, OptionErrorsWriteExactTextsAndStatuses) {
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string text;
    };
    const std::vector<Case> cases = {
        {{"-l", "6", "-f", "-i", "lo"}, 255, "log level value too big\n"},
        {{"-l", "4x"}, 255, "no proper log level value given\n"},
        {{"--loglevel=-1"}, 255, "log level value too big\n"},
        {{"-t", "2a"}, 255, "invalid thread number\n"},
        {{"-e", "x"}, 255, "invalid establisher count number\n"},
        {{"-m", "CSC"}, 255, "unknown logger type given. use csc, buffered or delayed.\n"},
        {{"-f", "-e"}, 1, "Unknown option -e\n"},
        {{"-i"}, 1, "Unknown option -i\n"},
        {{"-t"}, 1, "Option -t (--threads) requires a number of threads as argument.\n"},
        {{"--threads"}, 1, "Option -t (--threads) requires a number of threads as argument.\n"},
        {{"-u"}, 1, "Option -u (--username) requires a username as argument.\n"},
        {{"-l"},
         1,
         "Option -l (--loglevel) requires a log level value (0 - Verbose, 1 - Debug, 2 - Info, "
         "3 - Warning, 4 - Error, 5 - Critical) .\n"},
        {{"-m"},
         1,
         "Option -m (--loggertype) requires a logger type name (csc, buffered, delayed).\n"},
        {{"-x"}, 1, "Unknown option -x\n"},
        {{"--bogus"}, 1, std::string("Unknown option character \0\n", 27)},
    };
    for (const auto& c : cases) {
        Outcome outcome = run(c.args);
        std::string shown;
        for (const auto& a : c.args)
            shown += a + " ";
        EXPECT_EQ(outcome.status, c.status) << shown;
        EXPECT_EQ(outcome.standardError, c.text) << shown;
    }
}

TEST_F(Startup, RoleAndInterfaceChecksInOrder) {
    // No arguments: configuration and command line are logged, then the interface check fails.
    Outcome none = run({"-m", "buffered", "-l", "2"});
    EXPECT_EQ(none.status, 255);
    std::string log = logFile("bufferedlog_");
    EXPECT_EQ(log.rfind("[RP] : INFO    : Proxy version : 1.5.6\n", 0), 0u) << log;
    EXPECT_NE(log.find("[RP] : INFO    : Commandline : " AP_DAEMON_PATH " -m buffered -l 2\n"),
              std::string::npos);
    EXPECT_NE(log.find("[RP] : FATAL   : The proxy needs a network interface to bind on\n"),
              std::string::npos);
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directory(dir_);

    // Both roles win over the missing interface.
    Outcome both = run({"-f", "-r", "-m", "delayed", "-i", "lo"});
    EXPECT_EQ(both.status, 255);
    EXPECT_EQ(both.standardError, "");
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directory(dir_);

    // No role: status 1, the message keeps its line feed, the prefix is the reverse one.
    Outcome noRole = run({"--interface", "lo", "--loggertype", "buffered", "-l", "4"});
    EXPECT_EQ(noRole.status, 1);
    EXPECT_EQ(logFile("bufferedlog_"),
              "[RP] : FATAL   : Need -f or -r to start as forward or reverse proxy\n\n");

    // An empty log level reads as Verbose; csc-unbuffered, counts of 0 and abbreviations are
    // accepted. Without a journal the platform logging service writes to standard error.
    Outcome verbose = run({"--logl=", "--loggert=csc-unbuffered", "-t", "0", "-e", "0"});
    EXPECT_EQ(verbose.status, 255);
    if (!std::filesystem::exists("/run/systemd/journal/socket")) {
        EXPECT_NE(verbose.standardError.find("<info> [RP] : INFO    : Proxy version : 1.5.6\n"),
                  std::string::npos)
            << verbose.standardError;
        EXPECT_NE(verbose.standardError.find(
                      "<critical> [RP] : FATAL   : The proxy needs a network interface to bind on"),
                  std::string::npos);
    }
}

// Receives the readiness datagram on a socket the test names through NOTIFY_SOCKET.
class NotifySocket {
public:
    explicit NotifySocket(const std::string& path) : path_(path) {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", path.c_str());
        bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    }
    ~NotifySocket() {
        close(fd_);
        unlink(path_.c_str());
    }
    std::string receive(int timeoutMs) {
        pollfd pfd{fd_, POLLIN, 0};
        if (poll(&pfd, 1, timeoutMs) <= 0)
            return "";
        char buffer[256];
        ssize_t n = recv(fd_, buffer, sizeof(buffer), 0);
        return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "";
    }

private:
    std::string path_;
    int fd_;
};

TEST_F(Startup, TerminationSignalsDecideExitStatusAndAreLogged) {
    for (int signalNumber : {SIGTERM, SIGINT}) {
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directory(dir_);
        std::string socketPath = (dir_ / "notify.sock").string();
        NotifySocket notify(socketPath);
        ChildProcess child({AP_DAEMON_PATH, "-m", "buffered", "-l", "2", "-f", "-i", "lo"},
                           dir_.string(), {"NOTIFY_SOCKET=" + socketPath});
        ASSERT_EQ(notify.receive(20000), "READY=1");
        kill(child.pid(), signalNumber);
        EXPECT_EQ(child.wait(), signalNumber == SIGTERM ? 0 : 1);

        std::string log = logFile("bufferedlog_");
        EXPECT_EQ(log.rfind("[FP] : INFO    : Proxy version : 1.5.6\n", 0), 0u) << log;
        std::string killed =
            "[FP] : FATAL   : Killed by signal : " + std::to_string(signalNumber) + "\n";
        size_t commandLine = log.find("[FP] : INFO    : Commandline : ");
        size_t killedAt = log.find(killed);
        ASSERT_NE(commandLine, std::string::npos) << log;
        ASSERT_NE(killedAt, std::string::npos) << log;
        EXPECT_LT(commandLine, killedAt);
        EXPECT_NE(log.find("Stopping proxy", killedAt), std::string::npos)
            << "the signal is reported before the proxy stops\n"
            << log;
    }
}

TEST_F(Startup, SignalBeforeReadinessIsRememberedAndLaterSignalDecides) {
    // SIGTERM then SIGINT before the main thread wakes: status 1. Sent right after start, they
    // may arrive before the logger exists; the daemon must still stop.
    std::string socketPath = (dir_ / "notify.sock").string();
    NotifySocket notify(socketPath);
    ChildProcess child({AP_DAEMON_PATH, "-m", "buffered", "-f", "-i", "lo"}, dir_.string(),
                       {"NOTIFY_SOCKET=" + socketPath});
    ASSERT_EQ(notify.receive(20000), "READY=1");
    kill(child.pid(), SIGSTOP);
    kill(child.pid(), SIGTERM);
    kill(child.pid(), SIGINT);
    kill(child.pid(), SIGCONT);
    EXPECT_EQ(child.wait(), 1);
}

}  // namespace
