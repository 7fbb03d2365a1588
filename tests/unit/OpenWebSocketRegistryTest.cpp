#include "connection/OpenWebSocketRegistry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <thread>

namespace {

// Every thread tries every key in each round and the winners give theirs back before the next:
// a key has one owner at a time, and keys that differ only in where their parts meet are distinct.
TEST(OpenWebSocketRegistryTest, EachKeyHasExactlyOneOwnerUnderConcurrentUse) {
    const std::tuple<const char*, const char*, uint16_t> keys[] = {
        {"ab", "c", 80},         {"a", "bc", 80}, {"app", "fd00::1", 443},
        {"app", "fd00::14", 43}, {"1:a", "", 1},  {"", "1:a", 1}};
    constexpr size_t THREADS = 6, ROUNDS = 200, KEYS = std::size(keys);
    auto& registry = connection::OpenWebSocketRegistry::instance();
    std::atomic<int> owners[ROUNDS * KEYS] = {};
    std::barrier raced(THREADS), released(THREADS);
    std::vector<std::jthread> threads;
    for (size_t t = 0; t < THREADS; ++t) {
        threads.emplace_back([&] {
            for (size_t round = 0; round < ROUNDS; ++round) {
                std::vector<bool> won;
                for (const auto& [domain, address, port] : keys) {
                    won.push_back(registry.insert(domain, address, port));
                }
                raced.arrive_and_wait();
                for (size_t k = 0; k < KEYS; ++k) {
                    if (won[k]) {
                        ++owners[round * KEYS + k];
                        std::apply([&](auto... part) { registry.remove(part...); }, keys[k]);
                    }
                }
                released.arrive_and_wait();
            }
        });
    }
    threads.clear();  // joins
    for (size_t i = 0; i < ROUNDS * KEYS; ++i) {
        ASSERT_EQ(owners[i].load(), 1) << "round " << i / KEYS << ", key " << i % KEYS;
    }
}

}  // namespace
