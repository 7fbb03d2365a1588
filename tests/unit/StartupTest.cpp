#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "ChildProcess.h"

namespace {

using testing_support::ChildProcess;

class Startup : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(mkdtemp(dir_.data()), nullptr); }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::pair<int, std::string> run(std::vector<std::string> args) {
        args.insert(args.begin(), AP_DAEMON_PATH);
        ChildProcess child(args, dir_);
        const int status = child.wait();
        return {status, child.standardError()};
    }

    // Reads and removes the buffered log, so the next run starts without one.
    std::string takeBufferedLog() {
        std::stringstream content;
        for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
            if (entry.path().filename().string().starts_with("bufferedlog_")) {
                content << std::ifstream(entry.path()).rdbuf();
                std::filesystem::remove(entry.path());
            }
        }
        return content.str();
    }

    std::string dir_ = "/tmp/ap-startup-XXXXXX";
};

// Each command-line mistake must be named with its exact text and exit status, before the role
// and interface checks.
TEST_F(Startup, OptionErrorsThenRoleAndInterfaceChecks) {
    for (const auto& [args, status, text] :
         std::vector<std::tuple<std::vector<std::string>, int, std::string>>{
             {{"-l", "6", "-f", "-i", "lo"}, 255, "log level value too big\n"},
             {{"-l", "4x"}, 255, "no proper log level value given\n"},
             {{"-f", "-e"}, 1, "Unknown option -e\n"},
             {{"-t"}, 1, "Option -t (--threads) requires a number of threads as argument.\n"},
             {{"-x"}, 1, "Unknown option -x\n"},
             {{"--bogus"}, 1, std::string("Unknown option character \0\n", 27)}}) {
        EXPECT_EQ(run(args), std::make_pair(status, text)) << args.front() << " " << args.back();
    }

    // No interface: configuration and command line are logged, then the interface check fails.
    EXPECT_EQ(run({}).first, 255);  // no arguments at all
    EXPECT_EQ(run({"-m", "buffered", "-l", "2"}), std::make_pair(255, std::string()));
    const std::string log = takeBufferedLog();
    EXPECT_TRUE(log.starts_with("[RP] : INFO    : Proxy version : 1.5.6\n")) << log;
    EXPECT_NE(log.find("[RP] : INFO    : Commandline : " AP_DAEMON_PATH " -m buffered -l 2\n"),
              std::string::npos);
    EXPECT_TRUE(log.ends_with("[RP] : FATAL   : The proxy needs a network interface to bind on\n"));
    // Both roles are refused before the interface is looked at.
    EXPECT_EQ(run({"-f", "-r", "-m", "delayed", "-i", "lo"}), std::make_pair(255, std::string()));
    // No role: status 1, the message keeps its line feed, the prefix is the reverse one.
    EXPECT_EQ(run({"--interface", "lo", "--loggertype", "buffered", "-l", "4"}).first, 1);
    EXPECT_EQ(takeBufferedLog(),
              "[RP] : FATAL   : Need -f or -r to start as forward or reverse proxy\n\n");

    // An empty log level reads as Verbose; csc-unbuffered and counts of 0 are accepted. Without
    // a journal the platform logging service writes to standard error.
    const auto [status, errors] =
        run({"--logl=", "--loggert=csc-unbuffered", "-t", "0", "-e", "0"});
    EXPECT_EQ(status, 255);
    if (!std::filesystem::exists("/run/systemd/journal/socket")) {
        EXPECT_NE(errors.find("<info> [RP] : INFO    : Proxy version : 1.5.6\n"), std::string::npos)
            << errors;
    }
}

// The last of two signals must decide the exit status, and both must be logged (each signal alone
// is the end-to-end tests' part).
TEST_F(Startup, TheLastSignalDecidesTheExitStatus) {
    // An abstract socket leaves no file behind.
    const std::string name = "ap-startup-" + std::to_string(getpid());
    sockaddr_un address{AF_UNIX, {}};
    name.copy(address.sun_path + 1, name.size());
    const int notify = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(bind(notify, reinterpret_cast<sockaddr*>(&address),
                   offsetof(sockaddr_un, sun_path) + 1 + name.size()),
              0);
    ChildProcess child({AP_DAEMON_PATH, "-m", "buffered", "-l", "2", "-f", "-i", "lo"}, dir_,
                       {"NOTIFY_SOCKET=@" + name});
    pollfd readable{notify, POLLIN, 0};
    char datagram[64] = {};
    ASSERT_TRUE(poll(&readable, 1, 20000) == 1 && recv(notify, datagram, 63, 0) > 0);
    close(notify);
    // Sent while the daemon is stopped, both arrive before it can act on the first.
    kill(child.pid(), SIGSTOP);
    kill(child.pid(), SIGTERM);
    kill(child.pid(), SIGINT);
    kill(child.pid(), SIGCONT);
    EXPECT_EQ(child.wait(), 1);
    const std::string log = takeBufferedLog();
    EXPECT_NE(log.find("[FP] : FATAL   : Killed by signal : 15\n"), std::string::npos) << log;
    EXPECT_NE(log.find("[FP] : FATAL   : Killed by signal : 2\n"), std::string::npos) << log;
}

}  // namespace
