#include "connection/OpenWebSocketRegistry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <iterator>
#include <thread>
#include <vector>

namespace {

using connection::OpenWebSocketRegistry;

// Every thread tries to open every key in each round; the winners give theirs back before the
// next round. A key may have one owner at a time, and keys that differ in any part, or only in
// where the parts meet, never exclude each other.
TEST(OpenWebSocketRegistryTest, EachKeyHasExactlyOneOwnerUnderConcurrentUse) {
    const struct {
        const char* domain;
        const char* address;
        uint16_t port;
    } keys[] = {{"app", "fd00::1", 443}, {"app", "fd00::1", 444}, {"other", "fd00::1", 443},
                {"app", "fd00::2", 443}, {"ab", "c", 80},         {"a", "bc", 80},
                {"app", "fd00::14", 43}, {"1:a", "", 1},          {"", "1:a", 1}};
    constexpr int THREADS = 6;
    constexpr int ROUNDS = 200;
    OpenWebSocketRegistry& registry = OpenWebSocketRegistry::instance();
    std::atomic<int> owners[ROUNDS][std::size(keys)] = {};
    std::barrier raced(THREADS);
    std::barrier released(THREADS);
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&] {
            for (int round = 0; round < ROUNDS; ++round) {
                std::vector<bool> won;
                for (const auto& key : keys) {
                    won.push_back(registry.insert(key.domain, key.address, key.port));
                }
                raced.arrive_and_wait();
                for (size_t k = 0; k < std::size(keys); ++k) {
                    if (won[k]) {
                        ++owners[round][k];
                        registry.remove(keys[k].domain, keys[k].address, keys[k].port);
                    }
                }
                released.arrive_and_wait();
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (int round = 0; round < ROUNDS; ++round) {
        for (size_t k = 0; k < std::size(keys); ++k) {
            ASSERT_EQ(owners[round][k].load(), 1) << "round " << round << ", key " << k;
        }
    }
}

}  // namespace
