#include <gtest/gtest.h>

#include <limits>

#include "archive/format.h"
#include "archive/index.h"
#include "builders.h"

namespace vexlor {
namespace {

using namespace vexlor::test;
using Ids = std::vector<std::uint64_t>;

// One hand-written section entry.
struct RawEntry {
    Bytes key;
    Ids ids;
    std::int64_t n = -1; // the stored count, when it should lie
};

Bytes section(std::uint32_t pair_count, const std::vector<RawEntry>& entries) {
    Bytes b = le({{pair_count, 4}});
    for (const auto& e : entries) {
        b = cat({b, e.key, le({{e.n < 0 ? e.ids.size() : std::uint64_t(e.n), 4}})});
        for (auto id : e.ids) {
            b = cat({b, le({{id, 8}})});
        }
    }
    return b;
}

Bytes port(std::uint16_t p) {
    return le({{p, 2}});
}

// An index region holding `port_section` as its port section, with empty IP
// and protocol sections around it.
Bytes region_with_port_section(const Bytes& port_section) {
    std::uint64_t n = port_section.size();
    Bytes header = le({{0, 8}, {4, 4}, {4, 8}, {n, 4}, {4 + n, 8}, {4, 4}});
    return cat({header, section(0, {}), port_section, section(0, {})});
}

Ids find_port(const Bytes& region, std::uint16_t p) {
    auto idx = SecondaryIndexes::parse(region);
    EXPECT_TRUE(idx);
    Bytes key = port(p);
    Ids generic = lookup_generic(idx->bytes, idx->port.offset, idx->port.length, key, 2);
    // The prepared lookup must agree with the linear walk on every input.
    EXPECT_EQ(SectionLookup::prepare(idx->bytes, idx->port, 2).find(idx->bytes, key), generic);
    return generic;
}

struct LookupCase {
    const char* name;
    std::uint32_t pairs;
    std::vector<RawEntry> entries;
    std::vector<std::pair<std::uint16_t, Ids>> queries;
};
class PortLookup : public ::testing::TestWithParam<LookupCase> {};

TEST_P(PortLookup, FindsWhatTheWalkReaches) {
    const auto& c = GetParam();
    Bytes r = region_with_port_section(section(c.pairs, c.entries));
    for (const auto& [p, want] : c.queries) {
        EXPECT_EQ(find_port(r, p), want) << "port " << p;
    }
    auto idx = SecondaryIndexes::parse(r); // a key of the wrong width finds nothing
    EXPECT_EQ(lookup_generic(idx->bytes, idx->port.offset, idx->port.length, Bytes{53}, 2), Ids{});
}

// clang-format off
const LookupCase kLookups[] = {
    {"Sorted", 4, {{port(53), {1, 2}}, {port(80), {3}}, {port(443), {4}}}, {{53, {1, 2}}, {443, {4}}, {54, {}}}},
    {"PairCountBounds", 2, {{port(53), {1}}, {port(80), {3}}, {port(443), {4}}}, {{80, {3}}, {443, {}}}},
    {"ZeroPairs", 0, {{port(53), {1}}}, {{53, {}}}},
    {"PairCountAboveTheEntries", 100, {{port(53), {1}}}, {{53, {1}}, {80, {}}}},
    // Ids running past the section end stop the walk for that key and later ones.
    {"LyingIdCount", 9, {{port(53), {1}}, {port(80), {3}, 1000}, {port(443), {4}}}, {{53, {1}}, {80, {}}, {443, {}}}},
    {"UnsortedFirstKeyWins", 4, {{port(80), {1}}, {port(53), {2}}, {port(80), {3}}}, {{80, {1}}, {53, {2}}}},
};
// clang-format on
INSTANTIATE_TEST_SUITE_P(Table, PortLookup, ::testing::ValuesIn(kLookups),
                         [](const auto& info) { return std::string(info.param.name); });

FlowEntry flow(std::uint64_t id, const IpAddress& src, const IpAddress& dst, std::uint16_t sport,
               std::uint16_t dport, std::uint8_t proto) {
    FlowEntry e;
    e.id = id;
    e.src_addr = address16(src);
    e.dst_addr = address16(dst);
    e.src_port = sport;
    e.dst_port = dport;
    e.proto = proto;
    return e;
}

Bytes addr_key(const IpAddress& a) {
    auto k = address16(a);
    return Bytes(k.begin(), k.end());
}

// One pair per distinct key of a flow (port 53 on both sides counts once);
// ports sort as numbers, addresses as bytes.  Flows handed over out of id
// order take the general sort and give the same region.
TEST(SecondaryIndexBuilder, MergesPairsAndSortsKeysInAnyOrder) {
    const FlowEntry flows[] = {flow(1, addr("10.0.0.1"), addr("10.0.0.2"), 53, 53, 17),
                               flow(2, addr("10.0.0.1"), addr("10.0.0.3"), 5000, 53, 17),
                               flow(3, addr("10.0.0.1"), addr("::1"), 256, 1, 6)};
    SecondaryIndexBuilder b, reversed;
    for (std::size_t i = 0; i < std::size(flows); ++i) {
        b.add(flows[i]);
        reversed.add(flows[std::size(flows) - 1 - i]);
    }
    auto region = b.build(), again = reversed.build();
    ASSERT_TRUE(region && again);
    EXPECT_EQ(*again, *region);
    auto idx = SecondaryIndexes::parse(*region);
    ASSERT_TRUE(idx);
    auto cut = [&](const IndexSection& s) {
        auto begin = region->begin() + 36 + static_cast<std::ptrdiff_t>(s.offset);
        return Bytes(begin, begin + s.length);
    };
    EXPECT_EQ(idx->ip.offset, 0u);
    EXPECT_EQ(region->size(), 36u + idx->ip.length + idx->port.length + idx->protocol.length);
    EXPECT_EQ(cut(idx->ip), section(6, {{addr_key(addr("::1")), {3}},
                                        {addr_key(addr("10.0.0.1")), {1, 2, 3}},
                                        {addr_key(addr("10.0.0.2")), {1}},
                                        {addr_key(addr("10.0.0.3")), {2}}}));
    EXPECT_EQ(
        cut(idx->port),
        section(5, {{port(1), {3}}, {port(53), {1, 2}}, {port(256), {3}}, {port(5000), {2}}}));
    EXPECT_EQ(cut(idx->protocol), section(3, {{Bytes{6}, {3}}, {Bytes{17}, {1, 2}}}));
    auto lookup = SectionLookup::prepare(idx->bytes, idx->port, 2);
    EXPECT_TRUE(lookup.ordered());
    EXPECT_EQ(lookup.reachable_entries(), 4u);
    EXPECT_EQ(lookup.find(idx->bytes, port(256)), (Ids{3}));
}

// --- Varints and offset lists ----------------------------------------------

constexpr std::uint64_t kMax64 = std::numeric_limits<std::uint64_t>::max();

// Shortest forms, and decoding back; cut-off input and more than 64 bits
// are refused, and bytes after the last one are not read.
TEST(Varint, EncodesShortestFormAndDecodesBack) {
    const std::pair<std::uint64_t, Bytes> cases[] = {// clang-format off
        {0, {0x00}}, {127, {0x7F}}, {128, {0x80, 0x01}}, {16383, {0xFF, 0x7F}}, {16384, {0x80, 0x80, 0x01}},
        {kMax64, cat({repeat(0xFF, 9), {1}})}};
    // clang-format on
    for (const auto& [value, bytes] : cases) {
        Bytes out;
        append_varint(out, value);
        EXPECT_EQ(out, bytes);
        EXPECT_EQ(varint_size(value), bytes.size());
        const auto d = decode_varint(cat({bytes, {0x80}}));
        ASSERT_TRUE(d);
        EXPECT_EQ(std::pair(d->value, d->size), std::pair(value, bytes.size()));
    }
    for (const Bytes& bad :
         {Bytes{}, Bytes{0x80}, Bytes{0xFF, 0xFF}, cat({repeat(0xFF, 9), {2}})}) {
        EXPECT_FALSE(decode_varint(bad)) << bad.size();
    }
}

Bytes list_of(std::uint64_t first, const Bytes& tail) {
    return cat({le({{first, 8}}), tail});
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
                      OffsetListCase{"CountBelowVarints", list_of(64, {1, 1, 1}), 2, {64, 65}},
                      OffsetListCase{"CutOffVarint", list_of(64, {0x4C, 0x80}), 3, {64, 140}},
                      // The cursor moves by the shortest form of the value (one byte
                      // for 0), so a padded zero is read as two zeros.
                      OffsetListCase{"NonShortestForm", list_of(64, {0x80, 0x00}), 3, {64, 64, 64}},
                      OffsetListCase{"WrapsAround", list_of(kMax64, {0x02}), 2, {kMax64, 1}}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace vexlor
