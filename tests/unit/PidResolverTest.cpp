#include "access/PidResolver.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <numeric>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "LoopbackPeer.h"

namespace {

using peer::Holding;
using peer::PidResolver;
using Pids = std::vector<int32_t>;

TEST(PidResolverTest, CachesAreTriedBeforeTheScanAndForgetEndedProcesses) {
    // The scan hands out the next scripted answer, at descriptor pid / 10. A look answers from
    // `holdsAt` (pid -> descriptor holding the socket) and `ended`, and is recorded with whether
    // it took the whole table.
    Pids scanAnswers = {10, 20, 30};
    size_t scans = 0;
    std::map<int32_t, int> holdsAt;
    std::set<int32_t> ended;
    std::vector<std::pair<int32_t, bool>> looks;
    size_t listings = 0;
    PidResolver resolver(
        {[&](const sockaddr_in6&, const sockaddr_in6&, uint32_t& owner) {
             owner = 1000;
             return std::string("77");
         },
         [&](int32_t pid, const std::string&, int& descriptor, bool wholeTable) {
             looks.emplace_back(pid, wholeTable);
             if (ended.count(pid)) {
                 return Holding::Gone;
             }
             auto at = holdsAt.find(pid);
             if (at == holdsAt.end() || (!wholeTable && descriptor != at->second)) {
                 return Holding::DoesNotHold;
             }
             descriptor = at->second;
             return Holding::Holds;
         },
         [&](const std::string&, uint32_t, const Pids&, int& descriptor) {
             const int32_t pid = scans < scanAnswers.size() ? scanAnswers[scans++] : -1;
             descriptor = pid / 10;
             return pid;
         },
         [&] {
             ++listings;
             return Pids{20};
         }});
    using Looks = std::vector<std::pair<int32_t, bool>>;
    sockaddr_in6 destination{};
    destination.sin6_port = htons(443);
    const sockaddr_in6 client{};
    EXPECT_EQ(resolver.lookup(client, destination), 10);  // empty caches: straight to the scan
    // 10 does not hold it: looked at once each way (not again from the user's list), kept; the
    // process found last comes first in both lists.
    looks.clear();
    EXPECT_EQ(resolver.lookup(client, destination), 20);
    EXPECT_EQ(looks, Looks({{10, false}, {10, true}}));
    EXPECT_EQ(resolver.cachedPids(443), Pids({20, 10}));
    EXPECT_EQ(resolver.cachedUserPids(1000), Pids({20, 10}));
    // One look at each last descriptor comes before any whole table ...
    holdsAt = {{20, 7}, {10, 1}};
    looks.clear();
    EXPECT_EQ(resolver.lookup(client, destination), 10);
    EXPECT_EQ(looks, Looks({{20, false}, {10, false}}));
    // ... and whole tables go in list order; the new descriptor is remembered.
    holdsAt = {{20, 7}};
    EXPECT_EQ(resolver.lookup(client, destination), 20);
    looks.clear();
    EXPECT_EQ(resolver.lookup(client, destination), 20);
    EXPECT_EQ(looks, Looks({{20, false}}));
    EXPECT_EQ(scans, 2u);
    // Another port has its own list, filled here from the user's list.
    destination.sin6_port = htons(8080);
    EXPECT_EQ(resolver.lookup(client, destination), 20);
    EXPECT_EQ(resolver.cachedPids(8080), Pids({20}));
    // An ended process leaves both lists, even when one after it holds the socket.
    destination.sin6_port = htons(443);
    holdsAt.clear();
    ended = {10};
    EXPECT_EQ(resolver.lookup(client, destination), 30);
    EXPECT_EQ(resolver.cachedPids(443), Pids({30, 20}));
    holdsAt = {{20, 7}};
    ended = {30};
    EXPECT_EQ(resolver.lookup(client, destination), 20);
    EXPECT_EQ(resolver.cachedUserPids(1000), Pids({20}));
    // Many ended processes: the first few cost a look each, the rest leave after one listing of
    // the running processes.
    holdsAt.clear();
    scanAnswers.resize(100);
    std::iota(scanAnswers.begin(), scanAnswers.end(), 100);
    scans = 0;
    for (int i = 0; i < 100; ++i) {
        resolver.lookup(client, destination);
    }
    ended.insert(scanAnswers.begin(), scanAnswers.end());
    looks.clear();
    listings = 0;
    EXPECT_EQ(resolver.lookup(client, destination), -1);
    EXPECT_EQ(looks.size(), 2u + 8u);
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

// The client at [::1]:P holds a connection to the server; another process listens at [::1]:P,
// the same address and port number. Only the whole connection names the client's process.
TEST(PidResolverTest, FindsTheProcessHoldingTheConnectionNotOneListeningOnItsPort) {
    PidResolver resolver = PidResolver::makeDefault();
    peer_testing::LoopbackConnection connection;
    ASSERT_TRUE(connection.ok());
    const sockaddr_in6& client = connection.clientAddress();
    const sockaddr_in6& destination = connection.serverAddress();
    std::optional<Sleeper> holder(std::in_place);
    ASSERT_EQ(fcntl(connection.clientSocket(), F_SETFD, FD_CLOEXEC), 0);
    const int listener = socket(AF_INET6, SOCK_STREAM, 0);
    const int on = 1;
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
    EXPECT_EQ(resolver.cachedPids(connection.serverPort()), Pids({holderPid}));
    EXPECT_EQ(resolver.cachedUserPids(getuid()), Pids({holderPid}));
    // Only this process holds it now, and this process is never an answer; the ended holder is
    // forgotten.
    holder.reset();
    EXPECT_EQ(resolver.lookup(client, destination), -1);
    EXPECT_EQ(resolver.cachedPids(connection.serverPort()), Pids());
    EXPECT_EQ(resolver.cachedUserPids(getuid()), Pids());
    // Reset, so no TIME_WAIT socket stays behind: the kernel then answers the query with the
    // listening socket at the client's address and port, which is not the asked connection.
    connection.resetClient();
    uint32_t owner = 0;
    EXPECT_EQ(peer::findSocketInode(client, destination, owner), "");
    EXPECT_EQ(resolver.lookup(client, destination), -1);
}

}  // namespace
