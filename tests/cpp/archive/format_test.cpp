#include <gtest/gtest.h>

#include <limits>

#include "archive/format.h"
#include "archive_test_util.h"

namespace vexlor {
namespace {

using test::Bytes;

constexpr std::uint64_t kMax64 = std::numeric_limits<std::uint64_t>::max();

struct VarintCase {
    std::uint64_t value;
    Bytes bytes;
};

class VarintTest : public ::testing::TestWithParam<VarintCase> {};

TEST_P(VarintTest, EncodesShortestFormAndDecodesBack) {
    const auto& c = GetParam();
    Bytes out;
    append_varint(out, c.value);
    EXPECT_EQ(out, c.bytes);
    EXPECT_EQ(varint_size(c.value), c.bytes.size());
    auto d = decode_varint(c.bytes);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->value, c.value);
    EXPECT_EQ(d->size, c.bytes.size());
}

INSTANTIATE_TEST_SUITE_P(
    Values, VarintTest,
    ::testing::Values(VarintCase{0, {0x00}}, VarintCase{76, {0x4C}}, VarintCase{127, {0x7F}},
                      VarintCase{128, {0x80, 0x01}}, VarintCase{216, {0xD8, 0x01}},
                      VarintCase{16383, {0xFF, 0x7F}}, VarintCase{16384, {0x80, 0x80, 0x01}},
                      VarintCase{kMax64,
                                 {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}}));

TEST(Varint, RejectsCutOffAndOversizedInput) {
    EXPECT_FALSE(decode_varint(Bytes{}));
    EXPECT_FALSE(decode_varint(Bytes{0x80}));
    EXPECT_FALSE(decode_varint(Bytes{0xFF, 0xFF}));
    // Tenth byte above 1: the value would need more than 64 bits.
    Bytes big(9, 0xFF);
    big.push_back(0x02);
    EXPECT_FALSE(decode_varint(big));
    // Bytes after the terminating one are not read.
    auto d = decode_varint(Bytes{0x05, 0x80});
    ASSERT_TRUE(d);
    EXPECT_EQ(d->size, 1u);
}

Bytes list_of(std::uint64_t first, std::initializer_list<std::uint8_t> tail) {
    Bytes b;
    test::put_u64le(b, first);
    b.insert(b.end(), tail);
    return b;
}

struct OffsetListCase {
    const char* name;
    Bytes list;
    std::uint32_t packet_count;
    std::vector<std::uint64_t> expected;
};

class OffsetListDecode : public ::testing::TestWithParam<OffsetListCase> {};

TEST_P(OffsetListDecode, YieldsWhatTheListHolds) {
    const auto& c = GetParam();
    EXPECT_EQ(decode_offset_list(c.list, c.packet_count), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OffsetListDecode,
    ::testing::Values(OffsetListCase{"Whole", list_of(64, {0x4C, 0xD8, 0x01}), 3, {64, 140, 356}},
                      OffsetListCase{"CountZero", list_of(64, {0x4C}), 0, {}},
                      OffsetListCase{"ShorterThanEight", Bytes(7, 0x01), 2, {}},
                      OffsetListCase{"OnlyFirstOffset", list_of(64, {}), 3, {64}},
                      OffsetListCase{"CountOneIgnoresVarints", list_of(64, {0x4C, 0x4C}), 1, {64}},
                      OffsetListCase{
                          "CountBelowVarints", list_of(64, {0x01, 0x01, 0x01}), 2, {64, 65}},
                      OffsetListCase{"CutOffVarint", list_of(64, {0x4C, 0x80}), 3, {64, 140}},
                      OffsetListCase{"TenthByteAboveOne",
                                     list_of(64, {0x4C, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                                  0xFF, 0xFF, 0x02}),
                                     3,
                                     {64, 140}},
                      // The cursor moves by the shortest form of the value (one byte for
                      // 0), so a padded zero is read as two zeros.
                      OffsetListCase{"NonShortestForm", list_of(64, {0x80, 0x00}), 3, {64, 64, 64}},
                      OffsetListCase{"WrapsAround", list_of(kMax64, {0x02}), 2, {kMax64, 1}}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace vexlor
