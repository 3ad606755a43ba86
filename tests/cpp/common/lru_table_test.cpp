#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>

#include "common/lru_table.h"

namespace vexlor {
namespace {

// A key type of the test's own: the table is generic.
struct Key {
    std::uint32_t n;
    friend bool operator==(const Key&, const Key&) = default;
};
struct KeyHash {
    std::uint64_t operator()(const Key& k) const { return k.n * 0x9E3779B97F4A7C15ull; }
};

// Random inserts, touches and evictions against a model: the victim is the
// key with the smallest last-use counter.
TEST(LruTable, EvictsInOrderOfLastUse) {
    LruTable<Key, std::uint32_t, KeyHash> t;
    std::map<std::uint32_t, std::uint64_t> last_use; // key -> counter
    std::mt19937 rng(7);
    for (std::uint64_t seq = 1; seq <= 20000; ++seq) {
        const std::uint32_t k = rng() % 500;
        if (t.size() >= 100) {
            auto victim = std::min_element(last_use.begin(), last_use.end(),
                                           [](auto& a, auto& b) { return a.second < b.second; });
            ASSERT_EQ(t.pop_front(), victim->first);
            last_use.erase(victim);
        }
        if (auto h = t.find(Key{k}); h != kLruNil) {
            ASSERT_EQ(t.at(h), k);
            t.touch(h);
        } else {
            ASSERT_EQ(last_use.count(k), 0u);
            t.insert(Key{k}, k);
        }
        last_use[k] = seq;
        ASSERT_EQ(t.size(), last_use.size());
    }
    while (!t.empty()) {
        t.pop_front();
    }
    EXPECT_EQ(t.front(), kLruNil);
}

} // namespace
} // namespace vexlor
