#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

namespace {

class Startup : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(mkdtemp(dir_.data()), nullptr); }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    // Runs the daemon in the test's directory as a user would: its exit status (-1 when a signal
    // ended it; killed after 20 s) and its standard error.
    std::pair<int, std::string> run(std::vector<std::string> args) {
        args.insert(args.begin(), AP_DAEMON_PATH);
        std::vector<char*> argv;
        for (std::string& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        const std::string errors = dir_ + "/stderr";
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addchdir_np(&actions, dir_.c_str());
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDWR, 0);
        posix_spawn_file_actions_adddup2(&actions, 0, 1);
        posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT, 0600);
        pid_t pid = -1;
        if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
            pid = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        int status = 0;
        for (int tick = 0; pid > 0 && waitpid(pid, &status, WNOHANG) == 0; ++tick) {
            if (tick == 2000) {
                kill(pid, SIGKILL);
            }
            usleep(10000);
        }
        std::ifstream in(errors);
        std::string text{std::istreambuf_iterator<char>(in), {}};
        std::filesystem::remove(errors);
        return {pid > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1, text};
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

}  // namespace
