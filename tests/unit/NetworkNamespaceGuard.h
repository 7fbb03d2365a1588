#pragma once

#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace testing_support {

// A named network namespace made for one test and deleted however the test ends, with an
// interface "ap0" holding the given global addresses (no link-local address, no duplicate
// detection, so the addresses are there at once and nothing else is).
//
// enter() moves the calling thread into the namespace until the guard is destroyed; sockets
// made and threads started by that thread meanwhile live there too. Needs root.
class NetworkNamespaceGuard {
public:
    NetworkNamespaceGuard()
        : name_("aptest-" + std::to_string(getpid()) + "-" + std::to_string(counter()++)) {
        created_ = shell("ip netns add " + name_) && ip("link set lo up");
    }
    ~NetworkNamespaceGuard() {
        leave();
        if (created_) {
            shell("ip netns delete " + name_);
        }
    }
    NetworkNamespaceGuard(const NetworkNamespaceGuard&) = delete;
    NetworkNamespaceGuard& operator=(const NetworkNamespaceGuard&) = delete;

    bool created() const { return created_; }

    bool ip(const std::string& arguments) const {
        return shell("ip -n " + name_ + " " + arguments);
    }

    // A veth pair whose first end gets the addresses ("2001:db8::5/64", ...).
    bool addInterface(const std::string& interface, std::initializer_list<const char*> addresses) {
        const std::string peer = interface + "p";
        bool ok = ip("link add " + interface + " type veth peer name " + peer);
        for (const std::string& end : {interface, peer}) {
            ok = ok && ip("link set dev " + end + " addrgenmode none") &&
                 ip("link set dev " + end + " up");
        }
        for (const char* address : addresses) {
            ok = ok && ip("addr add " + std::string(address) + " dev " + interface + " nodad");
        }
        return ok;
    }

    // Loads an nftables ruleset into the namespace.
    bool nft(const std::string& ruleset) const {
        char path[] = "/tmp/ap-nft-XXXXXX";
        const int fd = mkstemp(path);
        if (fd < 0) {
            return false;
        }
        const bool written =
            write(fd, ruleset.data(), ruleset.size()) == static_cast<ssize_t>(ruleset.size());
        close(fd);
        const bool ok = written && shell("ip netns exec " + name_ + " nft -f " + path);
        unlink(path);
        return ok;
    }

    bool enter() {
        original_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        const int target = open(("/var/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC);
        const bool ok = original_ >= 0 && target >= 0 && setns(target, CLONE_NEWNET) == 0;
        if (target >= 0) {
            close(target);
        }
        return ok;
    }

    void leave() {
        if (original_ >= 0) {
            setns(original_, CLONE_NEWNET);
            close(original_);
            original_ = -1;
        }
    }

    static bool shell(const std::string& command) {
        const int status = std::system((command + " >/dev/null 2>&1").c_str());
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

private:
    static std::atomic<int>& counter() {
        static std::atomic<int> value{0};
        return value;
    }

    std::string name_;
    bool created_ = false;
    int original_ = -1;
};

}  // namespace testing_support
