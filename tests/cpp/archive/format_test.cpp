#include "archive/format.h"

#include "archive_test_util.h"

#include <gtest/gtest.h>

#include <limits>

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
                      VarintCase{kMax64, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                          0x01}}));

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
    ::testing::Values(
        OffsetListCase{"Whole", list_of(64, {0x4C, 0xD8, 0x01}), 3, {64, 140, 356}},
        OffsetListCase{"CountZero", list_of(64, {0x4C}), 0, {}},
        OffsetListCase{"ShorterThanEight", Bytes(7, 0x01), 2, {}},
        OffsetListCase{"OnlyFirstOffset", list_of(64, {}), 3, {64}},
        OffsetListCase{"CountOneIgnoresVarints", list_of(64, {0x4C, 0x4C}), 1, {64}},
        OffsetListCase{"CountBelowVarints", list_of(64, {0x01, 0x01, 0x01}), 2, {64, 65}},
        OffsetListCase{"CutOffVarint", list_of(64, {0x4C, 0x80}), 3, {64, 140}},
        OffsetListCase{"TenthByteAboveOne",
                       list_of(64, {0x4C, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                    0x02}),
                       3,
                       {64, 140}},
        // The cursor moves by the shortest form of the value (one byte for
        // 0), so a padded zero is read as two zeros.
        OffsetListCase{"NonShortestForm", list_of(64, {0x80, 0x00}), 3, {64, 64, 64}},
        OffsetListCase{"WrapsAround", list_of(kMax64, {0x02}), 2, {kMax64, 1}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(OffsetList, EncodesFirstOffsetThenDifferences) {
    Bytes out;
    std::vector<std::uint64_t> offsets{64, 140, 356, 356 + 300};
    append_offset_list(out, offsets);
    EXPECT_EQ(out, list_of(64, {0x4C, 0xD8, 0x01, 0xAC, 0x02}));
    EXPECT_EQ(decode_offset_list(out, 4), offsets);
}

FlowEntry sample_entry() {
    FlowEntry e;
    e.id = 0x0102030405060708;
    e.proto = 17;
    for (int i = 0; i < 16; ++i) {
        e.src_addr[i] = static_cast<std::uint8_t>(0xA0 + i);
        e.dst_addr[i] = static_cast<std::uint8_t>(0xB0 + i);
    }
    e.src_port = 0x1122;
    e.dst_port = 0x3344;
    e.offset_list_offset = 0x1000;
    e.offset_list_length = 0x55667788;
    e.packet_count = 0x99AABBCC;
    e.start_ts = 1'700'000'000'000'001;
    e.end_ts = 1'600'000'000'000'002; // earlier than start: stored as given
    e.total_bytes = 0xDEADBEEF12;
    return e;
}

TEST(FlowEntry, LaysOutFieldsAtTheirOffsets) {
    FlowEntry e = sample_entry();
    Bytes b;
    auto enc = e.encode();
    b.assign(enc.begin(), enc.end());
    ASSERT_EQ(b.size(), 96u);
    EXPECT_EQ(test::u64_at(b, 0), e.id);
    EXPECT_EQ(b[8], 17);
    for (int i = 9; i < 16; ++i) {
        EXPECT_EQ(b[i], 0) << i;
    }
    EXPECT_EQ(b[16], 0xA0);
    EXPECT_EQ(b[47], 0xBF);
    EXPECT_EQ(b[48], 0x22);
    EXPECT_EQ(b[49], 0x11);
    EXPECT_EQ(b[50], 0x44);
    for (int i = 52; i < 56; ++i) {
        EXPECT_EQ(b[i], 0) << i;
    }
    EXPECT_EQ(test::u64_at(b, 56), 0x1000u);
    EXPECT_EQ(test::u64_at(b, 64), 0x99AABBCC55667788u); // length, then count
    EXPECT_EQ(test::u64_at(b, 72), e.start_ts);
    EXPECT_EQ(test::u64_at(b, 80), e.end_ts);
    EXPECT_EQ(test::u64_at(b, 88), e.total_bytes);
    EXPECT_EQ(FlowEntry::decode(enc), e);
}

TEST(ArchiveFooter, RoundTripsAndKeepsTheLowHalfOfTheVersion) {
    ArchiveFooter f;
    f.data_length = 1;
    f.lists_offset = 2;
    f.lists_length = 3;
    f.table_offset = 4;
    f.table_length = 5;
    f.flow_count = 6;
    f.index_offset = 7;
    f.index_length = 8;
    auto enc = f.encode();
    Bytes b(enc.begin(), enc.end());
    EXPECT_EQ(Bytes(b.begin(), b.begin() + 8), Bytes({'V', 'X', 'L', 'R', 'F', 'O', 'O', 'T'}));
    EXPECT_EQ(test::u64_at(b, 8), 2u);
    EXPECT_EQ(test::u64_at(b, 16), 64u);
    EXPECT_EQ(test::u64_at(b, 80), 8u);
    EXPECT_EQ(Bytes(b.begin() + 88, b.end()), Bytes(40, 0));
    EXPECT_EQ(ArchiveFooter::decode(enc), f);

    test::set_u64(b, 8, 0x0000000700000002);
    auto d = ArchiveFooter::decode(std::span<const std::uint8_t, kFooterSize>(b.data(), 128));
    ASSERT_TRUE(d);
    EXPECT_EQ(d->version, 2u);

    b[7] = 'X';
    EXPECT_FALSE(ArchiveFooter::decode(std::span<const std::uint8_t, kFooterSize>(b.data(), 128)));
}

TEST(ArchiveHeader, IsMagicVersionLinkTypeAndZeros) {
    auto h = encode_archive_header(105);
    Bytes b(h.begin(), h.end());
    Bytes expected{'V', 'E', 'X', 'L', 'O', 'R', '0', '2', 2, 0, 0, 0, 105, 0, 0, 0};
    expected.resize(64, 0);
    EXPECT_EQ(b, expected);
}

TEST(Address16, MapsIpv4AndKeepsIpv6) {
    auto mapped = address16(test::v4("10.0.0.1"));
    Address16 want{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 10, 0, 0, 1};
    EXPECT_EQ(mapped, want);
    auto six = test::ip6("2001:db8::1");
    EXPECT_EQ(address16(test::v6("2001:db8::1")), six);
}

} // namespace
} // namespace vexlor
