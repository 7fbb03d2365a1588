#include "access/PidResolver.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <vector>

#include "LoopbackPeer.h"
#include "RecordingLogger.h"

namespace {

using peer::PidResolver;
using peer_testing::DescriptorHoldingChild;
using peer_testing::LoopbackConnection;

// Fake operations: findPid hands out the next scripted answer, checkPid answers from a table
// of processes that currently hold the socket. Both record their calls.
struct FakeProcesses {
    std::vector<int32_t> findAnswers;
    size_t findCalls = 0;
    std::map<int32_t, bool> holding;
    std::vector<int32_t> checked;

    PidResolver resolver() {
        return PidResolver(
            [this](const sockaddr_in6&) {
                return findCalls < findAnswers.size() ? findAnswers[findCalls++] : -1;
            },
            [this](int32_t pid, const sockaddr_in6&) {
                checked.push_back(pid);
                auto found = holding.find(pid);
                return found != holding.end() && found->second;
            });
    }
};

using Pids = std::vector<int32_t>;

TEST(PidResolverTest, CachedProcessesAreTriedInOrderBeforeTheFullLookup) {
    FakeProcesses fake;
    fake.findAnswers = {10, 20, -1, 10};
    PidResolver resolver = fake.resolver();
    const sockaddr_in6 client{};

    // Empty cache: straight to the full lookup.
    EXPECT_EQ(resolver.lookup(client, 443), 10);
    EXPECT_EQ(fake.findCalls, 1u);
    EXPECT_TRUE(fake.checked.empty());
    EXPECT_EQ(resolver.cachedPids(443), Pids({10}));

    // 10 no longer holds it: tried, skipped, kept; the new process goes to the end.
    EXPECT_EQ(resolver.lookup(client, 443), 20);
    EXPECT_EQ(fake.checked, Pids({10}));
    EXPECT_EQ(resolver.cachedPids(443), Pids({10, 20}));

    // The first process in list order that answers wins; no full lookup.
    fake.checked.clear();
    fake.holding = {{10, false}, {20, true}};
    EXPECT_EQ(resolver.lookup(client, 443), 20);
    EXPECT_EQ(fake.checked, Pids({10, 20}));
    fake.checked.clear();
    fake.holding = {{10, true}, {20, true}};
    EXPECT_EQ(resolver.lookup(client, 443), 10);
    EXPECT_EQ(fake.checked, Pids({10}));
    EXPECT_EQ(fake.findCalls, 2u);

    // Nobody found: -1 and the cache stays as it was.
    fake.holding.clear();
    EXPECT_EQ(resolver.lookup(client, 443), -1);
    EXPECT_EQ(fake.findCalls, 3u);
    EXPECT_EQ(resolver.cachedPids(443), Pids({10, 20}));

    // A found process that is already listed is not listed twice.
    EXPECT_EQ(resolver.lookup(client, 443), 10);
    EXPECT_EQ(resolver.cachedPids(443), Pids({10, 20}));
}

TEST(PidResolverTest, EachDestinationPortHasItsOwnList) {
    FakeProcesses fake;
    fake.findAnswers = {10, 30};
    fake.holding = {{10, true}, {30, true}};
    PidResolver resolver = fake.resolver();
    const sockaddr_in6 client{};

    EXPECT_EQ(resolver.lookup(client, 80), 10);
    // Process 10 would answer, but it was never seen on this port.
    EXPECT_EQ(resolver.lookup(client, 8080), 30);
    EXPECT_TRUE(fake.checked.empty());
    EXPECT_EQ(resolver.cachedPids(80), Pids({10}));
    EXPECT_EQ(resolver.cachedPids(8080), Pids({30}));
    EXPECT_EQ(resolver.cachedPids(1), Pids());
}

TEST(PidResolverTest, DefaultResolverFindsTheProcessHoldingALoopbackClient) {
    testing_support::RecordingLogger logger;
    PidResolver resolver = PidResolver::makeDefault();
    LoopbackConnection connection;
    ASSERT_TRUE(connection.ok());
    const uint16_t port = connection.serverPort();

    {
        DescriptorHoldingChild child;
        ASSERT_GT(child.pid(), 0);
        EXPECT_EQ(resolver.lookup(connection.clientAddress(), port), child.pid());
        EXPECT_EQ(resolver.cachedPids(port), Pids({child.pid()}));
        EXPECT_EQ(resolver.lookup(connection.clientAddress(), port), child.pid());
        child.release();
    }
    // Only this process is left holding it: never an answer, and the gone child stays listed.
    const Pids cached = resolver.cachedPids(port);
    EXPECT_EQ(resolver.lookup(connection.clientAddress(), port), -1);
    EXPECT_EQ(resolver.cachedPids(port), cached);

    // A closed client has no inode: nothing is found and nothing is cached.
    connection.closeClient();
    logger.clear();
    EXPECT_EQ(resolver.lookup(connection.clientAddress(), port), -1);
    EXPECT_EQ(resolver.cachedPids(port), cached);
    EXPECT_GE(logger.count("ERROR   : did not find inode"), 1u);
}

}  // namespace
