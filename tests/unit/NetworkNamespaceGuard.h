#pragma once

#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <utility>

namespace testing_support {

// A named network namespace, deleted however the test ends. enter() moves the calling thread
// (and sockets and threads it makes meanwhile) into it until leave() or destruction. Needs root.
class NetworkNamespaceGuard {
public:
    NetworkNamespaceGuard()
        : name_("aptest-" + std::to_string(getpid()) + "-" + std::to_string(counter_++)),
          created_(shell("ip netns add " + name_) && ip("link set lo up")) {}
    ~NetworkNamespaceGuard() {
        leave();
        if (created_) {
            shell("ip netns delete " + name_);
        }
    }
    NetworkNamespaceGuard(const NetworkNamespaceGuard&) = delete;
    NetworkNamespaceGuard& operator=(const NetworkNamespaceGuard&) = delete;
    bool created() const { return created_; }
    bool ip(const std::string& args) const { return shell("ip -n " + name_ + " " + args); }

    // A veth pair whose first end gets the addresses ("2001:db8::5/64", ...); without link-local
    // addresses and duplicate detection exactly these are there, and at once.
    bool addInterface(const std::string& interface, std::initializer_list<const char*> addresses) {
        bool ok = ip("link add " + interface + " type veth peer name " + interface + "p");
        for (const std::string& end : {interface, interface + "p"}) {
            ok = ok && ip("link set " + end + " addrgenmode none") && ip("link set " + end + " up");
        }
        for (const char* address : addresses) {
            ok = ok && ip("addr add " + std::string(address) + " dev " + interface + " nodad");
        }
        return ok;
    }
    bool enter() {
        original_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        const int target = open(("/var/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC);
        const bool ok = original_ >= 0 && target >= 0 && setns(target, CLONE_NEWNET) == 0;
        close(target);
        return ok;
    }
    void leave() {
        if (original_ >= 0) {
            setns(original_, CLONE_NEWNET);
            close(std::exchange(original_, -1));
        }
    }
    static bool shell(const std::string& command) {
        const int status = std::system((command + " >/dev/null 2>&1").c_str());
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

private:
    static inline std::atomic<int> counter_{0};
    std::string name_;
    bool created_ = false;
    int original_ = -1;
};

}  // namespace testing_support
