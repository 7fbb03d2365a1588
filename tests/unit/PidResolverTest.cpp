#include "access/PidResolver.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <numeric>
#include <optional>

namespace {

using peer::Holding;
using peer::PidResolver;
using Pids = std::vector<int32_t>;

// A cached process must answer only while it holds the socket, the costly scan must run only when
// none does, and ended processes must leave both caches (many at once after one listing of the
// running processes), so that the caches stay bounded.
TEST(PidResolverTest, CachesAnswerBeforeTheScanAndForgetEndedProcesses) {
    Pids scanAnswers = {10, 20, 30};
    size_t scans = 0, listings = 0;
    std::set<int32_t> holding, ended;
    PidResolver resolver({[&](const sockaddr_in6&, const sockaddr_in6&, uint32_t& owner) {
                              owner = 1000;
                              return std::string("77");
                          },
                          [&](int32_t pid, const std::string&, int&, bool) {
                              return ended.count(pid)     ? Holding::Gone
                                     : holding.count(pid) ? Holding::Holds
                                                          : Holding::DoesNotHold;
                          },
                          [&](const std::string&, uint32_t, const Pids&, int&) {
                              return scans < scanAnswers.size() ? scanAnswers[scans++] : -1;
                          },
                          [&] {
                              ++listings;
                              return Pids{20};
                          }});
    sockaddr_in6 destination{};
    destination.sin6_port = htons(443);
    auto lookup = [&] { return resolver.lookup(sockaddr_in6{}, destination); };
    EXPECT_EQ(lookup(), 10);
    EXPECT_EQ(lookup(), 20);  // 10 does not hold it: scanned, both kept, the last found first
    EXPECT_EQ(resolver.cachedPids(443), Pids({20, 10}));
    EXPECT_EQ(resolver.cachedUserPids(1000), Pids({20, 10}));
    holding = {10};
    EXPECT_EQ(lookup(), 10);
    EXPECT_EQ(scans, 2u);
    destination.sin6_port = htons(8080);  // its own list, filled here from the user's list
    EXPECT_EQ(lookup(), 10);
    EXPECT_EQ(resolver.cachedPids(8080), Pids({10}));
    // An ended process leaves both lists, even when one after it holds the socket.
    destination.sin6_port = htons(443);
    holding.clear();
    ended = {10};
    EXPECT_EQ(lookup(), 30);
    EXPECT_EQ(resolver.cachedPids(443), Pids({30, 20}));
    holding = {20};
    ended = {30};
    EXPECT_EQ(lookup(), 20);
    EXPECT_EQ(resolver.cachedUserPids(1000), Pids({20}));
    holding.clear();
    scanAnswers.resize(100);
    std::iota(scanAnswers.begin(), scanAnswers.end(), 100);
    scans = 0;
    for (int i = 0; i < 100; ++i) {
        lookup();
    }
    ended.insert(scanAnswers.begin(), scanAnswers.end());
    listings = 0;
    EXPECT_EQ(lookup(), -1);
    EXPECT_EQ(listings, 1u);
    EXPECT_EQ(resolver.cachedPids(443), Pids({20}));
    EXPECT_EQ(resolver.cachedUserPids(1000), Pids({20}));
}

// A sleeping program. posix_spawn returns only once it runs, so it never holds this process's
// close-on-exec descriptors, as a child between fork and exec would.
struct Sleeper {
    pid_t pid = -1;
    Sleeper() {
        char* const args[] = {const_cast<char*>("sleep"), const_cast<char*>("60"), nullptr};
        posix_spawn(&pid, "/bin/sleep", nullptr, nullptr, args, environ);
    }
    ~Sleeper() {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
};

// A process listening at the client's own address and port must not be taken for the client:
// only the whole connection names the client's process.
TEST(PidResolverTest, FindsTheProcessHoldingTheConnectionNotOneListeningOnItsPort) {
    PidResolver resolver = PidResolver::makeDefault();
    sockaddr_in6 destination{AF_INET6, 0, 0, in6addr_loopback, 0}, client{};
    socklen_t length = sizeof(destination);
    auto* const address = reinterpret_cast<sockaddr*>(&destination);
    const int server = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int connected = socket(AF_INET6, SOCK_STREAM, 0);  // inherited by the holder
    const int on = 1;
    ASSERT_EQ(setsockopt(connected, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)), 0);
    ASSERT_TRUE(bind(server, address, length) == 0 && listen(server, 1) == 0 &&
                getsockname(server, address, &length) == 0 &&
                connect(connected, address, length) == 0 &&
                getsockname(connected, reinterpret_cast<sockaddr*>(&client), &length) == 0);
    const int accepted = accept4(server, nullptr, nullptr, SOCK_CLOEXEC);
    close(server);
    std::optional<Sleeper> holder(std::in_place);
    ASSERT_EQ(fcntl(connected, F_SETFD, FD_CLOEXEC), 0);
    const int listener = socket(AF_INET6, SOCK_STREAM, 0);
    ASSERT_EQ(setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)), 0);
    ASSERT_EQ(bind(listener, reinterpret_cast<const sockaddr*>(&client), sizeof(client)), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    const Sleeper listening;
    close(listener);
    ASSERT_GT(listening.pid, 0);

    const pid_t holderPid = holder->pid;
    ASSERT_GT(holderPid, 0);
    EXPECT_EQ(resolver.lookup(client, destination), holderPid);
    EXPECT_EQ(resolver.lookup(client, destination), holderPid);  // cached
    EXPECT_EQ(resolver.cachedPids(ntohs(destination.sin6_port)), Pids({holderPid}));
    // Only this process holds it now, and this process is never an answer.
    holder.reset();
    EXPECT_EQ(resolver.lookup(client, destination), -1);
    EXPECT_EQ(resolver.cachedUserPids(getuid()), Pids());
    // Reset, so no TIME_WAIT socket stays behind: the kernel then answers the query with the
    // listening socket at the client's address and port, which is not the asked connection.
    const linger reset{1, 0};
    setsockopt(connected, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
    close(connected);
    uint32_t owner = 0;
    EXPECT_EQ(peer::findSocketInode(client, destination, owner), "");
    EXPECT_EQ(resolver.lookup(client, destination), -1);
    close(accepted);
}

}  // namespace
