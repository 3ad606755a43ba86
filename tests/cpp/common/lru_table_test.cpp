#include "common/lru_table.h"

#include <gtest/gtest.h>

#include <map>
#include <random>

namespace vexlor {
namespace {

FlowKey key(std::uint32_t n) {
    FlowKey k;
    k.tag = FlowKey::kNormal;
    k.port_a = static_cast<std::uint16_t>(n);
    k.a[0] = static_cast<std::uint8_t>(n >> 16);
    k.a[1] = static_cast<std::uint8_t>(n >> 24);
    return k;
}

TEST(LruTable, EvictsInOrderOfLastUse) {
    LruTable<int> t;
    for (int i = 0; i < 3; ++i) {
        t.insert(key(i), i);
    }
    t.touch(t.find(key(0)));
    EXPECT_EQ(t.pop_front(), 1);
    EXPECT_EQ(t.pop_front(), 2);
    EXPECT_EQ(t.pop_front(), 0);
    EXPECT_TRUE(t.empty());
    EXPECT_EQ(t.front(), LruTable<int>::kNil);
}

// Random inserts, touches and evictions against a model: an ordered map from
// last-use counter to value, whose smallest entry is the victim.
TEST(LruTable, MatchesAScanForTheSmallestCounter) {
    LruTable<std::uint32_t> t;
    std::map<std::uint32_t, std::uint64_t> last_use; // key -> counter
    std::mt19937 rng(7);
    std::uint64_t seq = 0;
    for (int step = 0; step < 20000; ++step) {
        std::uint32_t k = rng() % 500;
        ++seq;
        if (t.size() >= 100) {
            auto victim = std::min_element(last_use.begin(), last_use.end(),
                                           [](auto& a, auto& b) { return a.second < b.second; });
            ASSERT_EQ(t.pop_front(), victim->first);
            last_use.erase(victim);
        }
        auto h = t.find(key(k));
        if (h != LruTable<std::uint32_t>::kNil) {
            ASSERT_EQ(t.at(h), k);
            t.touch(h);
        } else {
            ASSERT_EQ(last_use.count(k), 0u);
            t.insert(key(k), k);
        }
        last_use[k] = seq;
        ASSERT_EQ(t.size(), last_use.size());
    }
}

} // namespace
} // namespace vexlor
