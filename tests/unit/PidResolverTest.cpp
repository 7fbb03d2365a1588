#include "access/PidResolver.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "ChildProcess.h"
#include "LoopbackPeer.h"

namespace {

using peer::PidResolver;
using Pids = std::vector<int32_t>;

TEST(PidResolverTest, CachedProcessesAreTriedInOrderBeforeTheFullLookup) {
    // The full lookup hands out the next scripted answer; the check answers from the processes
    // that currently hold the socket. Both record their calls.
    Pids findAnswers = {10, 20, 30, -1, 10};
    size_t findCalls = 0;
    std::map<int32_t, bool> holding;
    Pids checked;
    PidResolver resolver(
        [&](const sockaddr_in6&) {
            return findCalls < findAnswers.size() ? findAnswers[findCalls++] : -1;
        },
        [&](int32_t pid, const sockaddr_in6&) {
            checked.push_back(pid);
            return holding[pid];
        });
    const sockaddr_in6 client{};
    EXPECT_EQ(resolver.lookup(client, 443), 10);  // empty cache: straight to the full lookup
    // 10 no longer holds it: tried, skipped, kept; the new process goes to the end.
    EXPECT_EQ(resolver.lookup(client, 443), 20);
    EXPECT_EQ(resolver.cachedPids(443), Pids({10, 20}));
    // The first process in list order that holds it wins, without a full lookup.
    holding = {{20, true}};
    EXPECT_EQ(resolver.lookup(client, 443), 20);
    holding = {{10, true}, {20, true}};
    EXPECT_EQ(resolver.lookup(client, 443), 10);
    EXPECT_EQ(checked, Pids({10, 10, 20, 10}));
    EXPECT_EQ(findCalls, 2u);
    // Each destination port has its own list.
    EXPECT_EQ(resolver.lookup(client, 8080), 30);
    EXPECT_EQ(resolver.cachedPids(8080), Pids({30}));
    // Nobody found: -1 and the list stays as it was; one found again is not listed twice.
    holding.clear();
    EXPECT_EQ(resolver.lookup(client, 443), -1);
    EXPECT_EQ(resolver.lookup(client, 443), 10);
    EXPECT_EQ(resolver.cachedPids(443), Pids({10, 20}));
}

TEST(PidResolverTest, DefaultResolverFindsTheProcessHoldingALoopbackClient) {
    PidResolver resolver = PidResolver::makeDefault();
    peer_testing::LoopbackConnection connection;
    ASSERT_TRUE(connection.ok());
    const uint16_t port = connection.serverPort();
    {
        testing_support::ChildProcess child({"/bin/sleep", "60"}, "/");
        ASSERT_GT(child.pid(), 0);
        EXPECT_EQ(resolver.lookup(connection.clientAddress(), port), child.pid());
        EXPECT_EQ(resolver.lookup(connection.clientAddress(), port), child.pid());  // cached
        EXPECT_EQ(resolver.cachedPids(port), Pids({child.pid()}));
    }
    // Only this process holds it now, and this process is never an answer.
    EXPECT_EQ(resolver.lookup(connection.clientAddress(), port), -1);
}

}  // namespace
