// Times what the forward role spends finding the client process of a new connection and reading
// its user and group, and how that cost changes with the number of client processes seen before.
//
// Every client is a forked child that connects over [::1] to a listener of this process and then
// waits for commands; this process plays the proxy and asks the resolver for the child.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "access/PidResolver.h"
#include "access/ProcessLookup.h"

namespace {

constexpr int kRepeats = 301;
constexpr int kNewProcesses = 21;
constexpr int kShortLived = 1000;
constexpr int kLoadSockets = 50;
constexpr int kMaxSockets = 64;
// The client program's end of its control socket.
constexpr int kControl = 3;

[[noreturn]] void fail(const char* what) {
    std::perror(what);
    std::exit(1);
}

// The listening socket that stands in for the remote service; the connection's destination.
struct Server {
    int fd = -1;
    sockaddr_in6 address{AF_INET6, 0, 0, in6addr_loopback, 0};
    Server() {
        socklen_t length = sizeof(address);
        fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(fd, 4096) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            fail("server");
        }
    }
};

uint16_t connectTo(const sockaddr_in6& server, int& fd) {
    fd = ::socket(AF_INET6, SOCK_STREAM, 0);
    sockaddr_in6 local{};
    socklen_t length = sizeof(local);
    if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&server), sizeof(server)) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        _exit(2);
    }
    return local.sin6_port;
}

// A client process holding `idle` connections that it leaves alone plus one more, the measured
// one. On command it closes one of its connections and connects again, as a load generator does;
// the kernel hands the new socket the lowest free descriptor.
class Client {
public:
    Client(const Server& server, int idle) : server_(server) {
        int control[2];
        if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, control) != 0) {
            fail("socketpair");
        }
        // A new program rather than a fork: a forked child would leave this process's memory
        // copy-on-write, and the next lookup would pay for page faults no proxy ever sees.
        posix_spawn_file_actions_t actions;
        ::posix_spawn_file_actions_init(&actions);
        ::posix_spawn_file_actions_adddup2(&actions, control[1], kControl);
        const std::string port = std::to_string(ntohs(server.address.sin6_port));
        const std::string count = std::to_string(idle + 1);
        const char* const args[] = {"pid_lookup_bench", "--client", port.c_str(), count.c_str(),
                                    nullptr};
        if (::posix_spawn(&pid_, "/proc/self/exe", &actions, nullptr,
                          const_cast<char* const*>(args), environ) != 0) {
            fail("posix_spawn");
        }
        ::posix_spawn_file_actions_destroy(&actions);
        ::close(control[1]);
        control_ = control[0];
        uint16_t ports[kMaxSockets];
        const ssize_t got = ::recv(control_, ports, sizeof(ports), 0);
        if (got != static_cast<ssize_t>((idle + 1) * sizeof(uint16_t))) {
            fail("client start");
        }
        for (int i = 0; i <= idle; ++i) {
            accepted_.push_back(acceptPort(ports[i]));
        }
    }
    ~Client() {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        ::close(control_);
        for (int fd : accepted_) {
            ::close(fd);
        }
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    pid_t pid() const { return pid_; }
    const sockaddr_in6& clientEnd() const { return clientEnd_; }
    int connections() const { return static_cast<int>(accepted_.size()); }

    // Connection `index` is closed and made again; it becomes the measured one.
    void reconnect(int index) {
        if (::send(control_, &index, sizeof(index), 0) != sizeof(index)) {
            fail("command");
        }
        uint16_t port = 0;
        if (::recv(control_, &port, sizeof(port), 0) != sizeof(port)) {
            fail("reply");
        }
        ::close(accepted_[static_cast<size_t>(index)]);
        accepted_[static_cast<size_t>(index)] = acceptPort(port);
    }

private:
    // Accepts until the connection from the given client port arrives; the last accepted peer
    // is the client end the proxy would see.
    int acceptPort(uint16_t port) {
        for (;;) {
            sockaddr_in6 peer{};
            socklen_t length = sizeof(peer);
            const int fd =
                ::accept4(server_.fd, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
            if (fd < 0) {
                fail("accept");
            }
            if (peer.sin6_port == port) {
                clientEnd_ = peer;
                return fd;
            }
            ::close(fd);  // a stray from an earlier client
        }
    }

    const Server& server_;
    pid_t pid_ = -1;
    int control_ = -1;
    std::vector<int> accepted_;
    sockaddr_in6 clientEnd_{};
};

// The resolver's lookup as the establisher calls it; the same source builds against older
// revisions, whose lookup took the destination port only.
template <typename Resolver>
int32_t lookupPid(Resolver& resolver, const sockaddr_in6& client, const sockaddr_in6& destination) {
    if constexpr (requires { resolver.lookup(client, destination); }) {
        return resolver.lookup(client, destination);
    } else {
        return resolver.lookup(client, ntohs(destination.sin6_port));
    }
}

// The process's user and group as the establisher reads them after the lookup.
template <typename Resolver>
peer::UserAndGroup userAndGroup(Resolver& resolver, int32_t pid) {
    if constexpr (requires { resolver.userAndGroup(pid); }) {
        return resolver.userAndGroup(pid);
    } else {
        return peer::readUserAndGroup(std::to_string(pid));
    }
}

// The client program: `count` connections to the server's port, their local ports reported on
// the control socket; then each command closes one of them and connects again.
int clientMain(uint16_t port, int count) {
    const sockaddr_in6 server{AF_INET6, htons(port), 0, in6addr_loopback, 0};
    int fds[kMaxSockets];
    uint16_t ports[kMaxSockets];
    for (int i = 0; i < count; ++i) {
        ports[i] = connectTo(server, fds[i]);
    }
    ::send(kControl, ports, static_cast<size_t>(count) * sizeof(uint16_t), 0);
    int index = 0;
    while (::recv(kControl, &index, sizeof(index), 0) == sizeof(index)) {
        ::close(fds[index]);
        const uint16_t reconnected = connectTo(server, fds[index]);
        ::send(kControl, &reconnected, sizeof(reconnected), 0);
    }
    return 0;
}

// What the establisher does for a forward connection up to the alias query.
struct Lookup {
    peer::PidResolver& resolver;
    const Server& server;

    double operator()(const Client& client) const {
        const auto start = std::chrono::steady_clock::now();
        const int32_t pid = lookupPid(resolver, client.clientEnd(), server.address);
        const peer::UserAndGroup ids = userAndGroup(resolver, pid);
        const auto end = std::chrono::steady_clock::now();
        if (pid != client.pid() || ids.userId != static_cast<int32_t>(::getuid())) {
            std::fprintf(stderr, "wrong answer: %d (expected %d), uid %d\n", pid, client.pid(),
                         ids.userId);
            std::exit(1);
        }
        return std::chrono::duration<double, std::micro>(end - start).count();
    }
};

double median(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

double repeated(const Lookup& lookup, const Client& client) {
    std::vector<double> samples;
    for (int i = 0; i < kRepeats; ++i) {
        samples.push_back(lookup(client));
    }
    return median(samples);
}

enum class Pattern { Newest, InTurn, Random };

// A new connection in place of one of the client's connections each time, chosen by `pattern`.
double reconnecting(const Lookup& lookup, Client& client, Pattern pattern) {
    std::mt19937 generator(7);
    std::vector<double> samples;
    for (int i = 0; i < kRepeats; ++i) {
        const int count = client.connections();
        const int index = pattern == Pattern::Newest ? count - 1
                          : pattern == Pattern::InTurn
                              ? i % count
                              : static_cast<int>(generator() % static_cast<unsigned>(count));
        client.reconnect(index);
        samples.push_back(lookup(client));
    }
    return median(samples);
}

// The first lookup of each of `count` new client processes, each ending right after it.
std::vector<double> newProcesses(const Lookup& lookup, const Server& server, int count) {
    std::vector<double> samples;
    for (int i = 0; i < count; ++i) {
        Client client(server, 0);
        samples.push_back(lookup(client));
    }
    return samples;
}

void report(const char* what, double microseconds) {
    std::printf("%-64s %9.1f us\n", what, microseconds);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--client") == 0) {
        return clientMain(static_cast<uint16_t>(std::atoi(argv[2])),
                          std::min(std::atoi(argv[3]), kMaxSockets));
    }
    // The number of short-lived clients; fewer keep a run of an old revision short.
    const int shortLived = argc > 1 ? std::atoi(argv[1]) : kShortLived;
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    ::signal(SIGPIPE, SIG_IGN);
    Server server;
    peer::PidResolver resolver = peer::PidResolver::makeDefault();
    const Lookup lookup{resolver, server};

    Client known(server, 0);
    report("first connection of the first client process", lookup(known));
    report("known process, same socket again (median)", repeated(lookup, known));
    report("known process, new connection (median)", reconnecting(lookup, known, Pattern::Newest));
    report("new client process, first connection (median of 21)",
           median(newProcesses(lookup, server, kNewProcesses)));

    const std::vector<double> history = newProcesses(lookup, server, shortLived);
    const size_t tenth = history.size() / 10;
    if (tenth > 0) {
        std::printf("%d short-lived client processes, each connecting once:\n", shortLived);
        report("  first tenth (median)", median({history.begin(), history.begin() + tenth}));
        report("  last tenth (median)", median({history.end() - tenth, history.end()}));
    }
    std::printf("after %d client processes came and went:\n", shortLived);
    report("  known process, same socket again (median)", repeated(lookup, known));
    report("  known process, new connection (median)",
           reconnecting(lookup, known, Pattern::Newest));
    report("  new client process, first connection (median of 21)",
           median(newProcesses(lookup, server, kNewProcesses)));

    Client load(server, kLoadSockets);
    std::printf("load generator, %d connections open:\n", load.connections());
    report("  first connection", lookup(load));
    report("  same socket again (median)", repeated(lookup, load));
    report("  closes its newest connection, connects again (median)",
           reconnecting(lookup, load, Pattern::Newest));
    report("  closes its connections in turn, connects again (median)",
           reconnecting(lookup, load, Pattern::InTurn));
    report("  closes a random connection, connects again (median)",
           reconnecting(lookup, load, Pattern::Random));
    return 0;
}
