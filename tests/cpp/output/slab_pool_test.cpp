#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "output/slab_pool.h"

namespace vexlor {
namespace {

// Warmed or not, a pool hands out exactly its slabs, each its own memory,
// whole chunks and a last partial one alike, and then none until some come
// back.
class SlabPoolTest : public ::testing::TestWithParam<bool> {};

TEST_P(SlabPoolTest, HandsOutEverySlabOnceAndNoMore) {
    constexpr std::size_t kPerChunk = SlabPool::kChunkSize / SlabPool::kSlabSize;
    const std::size_t max = 5 * kPerChunk + kPerChunk / 2;
    SlabPool pool(max, GetParam());
    std::vector<std::uint8_t*> taken;
    for (std::uint8_t* s; (s = pool.take()) != nullptr;) {
        std::memset(s, static_cast<int>(taken.size()), SlabPool::kSlabSize);
        taken.push_back(s);
    }
    ASSERT_EQ(taken.size(), max);
    EXPECT_EQ(pool.memory(), max * SlabPool::kSlabSize);
    for (std::size_t i = 0; i < taken.size(); ++i) {
        const auto mark = static_cast<std::uint8_t>(i);
        EXPECT_TRUE(std::all_of(taken[i], taken[i] + SlabPool::kSlabSize,
                                [mark](std::uint8_t b) { return b == mark; }))
            << "slab " << i << " shares memory with another";
    }
    pool.give_back(std::span(taken).first(3));
    EXPECT_EQ(pool.left(), 3u);
    EXPECT_NE(pool.take(), nullptr);
    SlabPool moved = std::move(pool);
    EXPECT_EQ(moved.left(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Table, SlabPoolTest, ::testing::Bool());

} // namespace
} // namespace vexlor
