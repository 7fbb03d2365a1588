#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace testing_support {

// A program run as a user would, its standard error captured. Every wait is bounded; a child
// still running at destruction is killed.
class ChildProcess {
public:
    ChildProcess(const std::vector<std::string>& args, const std::string& workingDirectory,
                 const std::vector<std::string>& extraEnvironment = {}) {
        int errPipe[2];
        if (pipe2(errPipe, O_CLOEXEC) != 0) {
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            dup2(open("/dev/null", O_RDWR), STDIN_FILENO);
            dup2(STDIN_FILENO, STDOUT_FILENO);
            dup2(errPipe[1], STDERR_FILENO);
            for (const std::string& assignment : extraEnvironment) {
                putenv(strdup(assignment.c_str()));
            }
            std::vector<char*> argv;
            for (const std::string& arg : args) {
                argv.push_back(const_cast<char*>(arg.c_str()));
            }
            argv.push_back(nullptr);
            if (chdir(workingDirectory.c_str()) == 0) {
                execv(argv[0], argv.data());
            }
            _exit(127);
        }
        close(errPipe[1]);
        errFd_ = errPipe[0];
    }
    ~ChildProcess() {
        if (pid_ > 0 && kill(pid_, SIGKILL) == 0) {
            waitpid(pid_, nullptr, 0);
        }
        close(errFd_);
    }

    pid_t pid() const { return pid_; }
    const std::string& standardError() const { return stderr_; }

    // The exit status; -1 on time-out or when a signal ended the child.
    int wait(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (int status = 0; pid_ > 0 && std::chrono::steady_clock::now() < deadline;) {
            // Read while waiting, so a talkative child never blocks on a full pipe.
            pollfd readable{errFd_, POLLIN, 0};
            char buffer[4096];
            const ssize_t n =
                poll(&readable, 1, 10) > 0 ? read(errFd_, buffer, sizeof(buffer)) : -1;
            if (n > 0) {
                stderr_.append(buffer, static_cast<size_t>(n));
            } else if (n == 0) {
                close(std::exchange(errFd_, -1));  // from now on poll only sleeps
            } else if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
        }
        return -1;
    }

private:
    pid_t pid_ = -1;
    int errFd_ = -1;
    std::string stderr_;
};

}  // namespace testing_support
