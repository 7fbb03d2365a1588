#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

namespace testing_support {

// A child process with its standard error captured, for tests that run the built daemon as a
// user would. Every wait is bounded; a child still running at destruction is killed.
class ChildProcess {
public:
    ChildProcess(const std::vector<std::string>& args, const std::string& workingDirectory,
                 const std::vector<std::string>& extraEnvironment = {}) {
        int errPipe[2];
        if (pipe2(errPipe, O_CLOEXEC) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(errPipe[1], STDERR_FILENO);
            int devNull = open("/dev/null", O_RDWR);
            dup2(devNull, STDIN_FILENO);
            dup2(devNull, STDOUT_FILENO);
            if (chdir(workingDirectory.c_str()) != 0)
                _exit(126);
            for (const auto& assignment : extraEnvironment)
                putenv(strdup(assignment.c_str()));
            std::vector<char*> argv;
            for (const auto& arg : args)
                argv.push_back(const_cast<char*>(arg.c_str()));
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(errPipe[1]);
        errFd_ = errPipe[0];
    }

    ~ChildProcess() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (errFd_ >= 0)
            close(errFd_);
    }

    pid_t pid() const { return pid_; }

    // Waits for the child to end (bounded) and returns its exit status, or -1 on time-out or
    // when it was killed by a signal.
    int wait(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (true) {
            drainStderr(10);
            int status = 0;
            pid_t done = waitpid(pid_, &status, WNOHANG);
            if (done == pid_) {
                reaped_ = true;
                drainStderr(0);
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            if (std::chrono::steady_clock::now() > deadline)
                return -1;
        }
    }

    const std::string& standardError() const { return stderr_; }

private:
    void drainStderr(int timeoutMs) {
        if (errFd_ < 0)
            return;
        pollfd pfd{errFd_, POLLIN, 0};
        while (poll(&pfd, 1, timeoutMs) > 0) {
            char buffer[4096];
            ssize_t n = read(errFd_, buffer, sizeof(buffer));
            if (n <= 0) {
                close(errFd_);
                errFd_ = -1;
                return;
            }
            stderr_.append(buffer, static_cast<size_t>(n));
            timeoutMs = 0;
        }
    }

    pid_t pid_ = -1;
    int errFd_ = -1;
    bool reaped_ = false;
    std::string stderr_;
};

}  // namespace testing_support
