#include "connection/OpenWebSocketRegistry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <string>
#include <thread>
#include <vector>

namespace {

using connection::OpenWebSocketRegistry;

TEST(OpenWebSocketRegistryTest, OneOpenWebSocketPerDomainAndDestination) {
    OpenWebSocketRegistry registry;
    EXPECT_TRUE(registry.insert("app", "fd00::1", 443));
    EXPECT_FALSE(registry.insert("app", "fd00::1", 443));

    // Any part that differs makes a different key.
    EXPECT_TRUE(registry.insert("app", "fd00::1", 444));
    EXPECT_TRUE(registry.insert("other", "fd00::1", 443));
    EXPECT_TRUE(registry.insert("app", "fd00::2", 443));

    // A refused second upgrade removes nothing, so the key stays taken until its owner leaves.
    EXPECT_FALSE(registry.insert("app", "fd00::1", 443));
    registry.remove("app", "fd00::1", 443);
    EXPECT_TRUE(registry.insert("app", "fd00::1", 443));

    // Removing what is not there leaves the rest untouched.
    registry.remove("absent", "fd00::9", 1);
    registry.remove("app", "fd00::1", 0);
    EXPECT_FALSE(registry.insert("app", "fd00::1", 443));
    EXPECT_FALSE(registry.insert("app", "fd00::1", 444));
}

TEST(OpenWebSocketRegistryTest, PartsThatConcatenateAlikeAreDifferentKeys) {
    OpenWebSocketRegistry registry;
    // Domain/address boundary.
    EXPECT_TRUE(registry.insert("ab", "c", 80));
    EXPECT_TRUE(registry.insert("a", "bc", 80));
    // Address/port boundary: "fd00::1" + "443" reads like "fd00::14" + "43".
    EXPECT_TRUE(registry.insert("app", "fd00::1", 443));
    EXPECT_TRUE(registry.insert("app", "fd00::14", 43));
    // Length prefixes themselves must not open a new ambiguity.
    EXPECT_TRUE(registry.insert("1:a", "", 1));
    EXPECT_TRUE(registry.insert("", "1:a", 1));

    // Each owner removes only its own key.
    registry.remove("a", "bc", 80);
    EXPECT_FALSE(registry.insert("ab", "c", 80));
    EXPECT_TRUE(registry.insert("a", "bc", 80));
    registry.remove("app", "fd00::14", 43);
    EXPECT_FALSE(registry.insert("app", "fd00::1", 443));
}

TEST(OpenWebSocketRegistryTest, ConcurrentUpgradesOfOneKeyLetExactlyOneIn) {
    OpenWebSocketRegistry& registry = OpenWebSocketRegistry::instance();
    EXPECT_EQ(&registry, &OpenWebSocketRegistry::instance());

    constexpr int THREADS = 6;
    constexpr int ROUNDS = 300;
    std::atomic<int> winners[ROUNDS] = {};
    std::atomic<int> ownKeyFailures{0};
    // Round r: every thread races for the shared key, then the round's winner gives it back
    // before anyone starts the next round.
    std::barrier raced(THREADS);
    std::barrier released(THREADS);

    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&, t] {
            const std::string ownDomain = "app" + std::to_string(t);
            for (int round = 0; round < ROUNDS; ++round) {
                const bool won = registry.insert("shared", "fd00::1", 443);
                // Keys of other threads are never disturbed by the contention.
                if (!registry.insert(ownDomain, "fd00::1", 443)) {
                    ++ownKeyFailures;
                }
                raced.arrive_and_wait();
                if (won) {
                    ++winners[round];
                    registry.remove("shared", "fd00::1", 443);
                }
                registry.remove(ownDomain, "fd00::1", 443);
                released.arrive_and_wait();
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }

    EXPECT_EQ(ownKeyFailures.load(), 0);
    for (int round = 0; round < ROUNDS; ++round) {
        ASSERT_EQ(winners[round].load(), 1) << "round " << round;
    }
    // Everything was given back.
    EXPECT_TRUE(registry.insert("shared", "fd00::1", 443));
    registry.remove("shared", "fd00::1", 443);
}

}  // namespace
