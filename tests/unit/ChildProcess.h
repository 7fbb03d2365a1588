#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace testing_support {

// A program run as a user would in the given directory, its standard error kept in a file there.
// Every wait is bounded; a child still running at destruction is killed.
class ChildProcess {
public:
    ChildProcess(const std::vector<std::string>& args, const std::string& directory,
                 const std::vector<std::string>& extraEnvironment = {})
        : errors_(directory + "/stderr." + std::to_string(::getpid())) {
        std::vector<char*> argv, envp;
        for (const std::string& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        for (const std::string& assignment : extraEnvironment) {  // first: these win
            envp.push_back(const_cast<char*>(assignment.c_str()));
        }
        for (char** each = environ; *each != nullptr; ++each) {
            envp.push_back(*each);
        }
        argv.push_back(nullptr);
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDWR, 0);
        posix_spawn_file_actions_adddup2(&actions, 0, 1);
        posix_spawn_file_actions_addopen(&actions, 2, errors_.c_str(), O_WRONLY | O_CREAT, 0600);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
    }
    ~ChildProcess() {
        if (pid_ > 0 && kill(pid_, SIGKILL) == 0) {
            waitpid(pid_, nullptr, 0);
        }
        unlink(errors_.c_str());
    }

    pid_t pid() const { return pid_; }
    std::string standardError() const {
        std::ifstream in(errors_);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    // The exit status; -1 on time-out or when a signal ended the child.
    int wait(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (int status = 0; pid_ > 0 && std::chrono::steady_clock::now() < deadline;) {
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            usleep(10000);
        }
        return -1;
    }

private:
    std::string errors_;
    pid_t pid_ = -1;
};

}  // namespace testing_support
