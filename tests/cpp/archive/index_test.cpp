#include <gtest/gtest.h>

#include <limits>
#include <random>

#include "archive/index.h"
#include "archive_test_util.h"

namespace vexlor {
namespace {

using test::Bytes;
using Ids = std::vector<std::uint64_t>;

// One hand-written section entry.
struct RawEntry {
    Bytes key;
    Ids ids;
    std::int64_t n = -1; // the stored count, when it should lie
};

Bytes section(std::uint32_t pair_count, const std::vector<RawEntry>& entries) {
    Bytes b;
    test::put_u32le(b, pair_count);
    for (const auto& e : entries) {
        b.insert(b.end(), e.key.begin(), e.key.end());
        test::put_u32le(b, e.n < 0 ? static_cast<std::uint32_t>(e.ids.size())
                                   : static_cast<std::uint32_t>(e.n));
        for (auto id : e.ids) {
            test::put_u64le(b, id);
        }
    }
    return b;
}

Bytes port(std::uint16_t p) {
    return {static_cast<std::uint8_t>(p), static_cast<std::uint8_t>(p >> 8)};
}

// An index region holding `port_section` as its port section, with empty IP
// and protocol sections around it.
Bytes region_with_port_section(const Bytes& port_section) {
    Bytes empty = section(0, {});
    Bytes b;
    test::put_u64le(b, 0);
    test::put_u32le(b, 4);
    test::put_u64le(b, 4);
    test::put_u32le(b, static_cast<std::uint32_t>(port_section.size()));
    test::put_u64le(b, 4 + port_section.size());
    test::put_u32le(b, 4);
    return test::cat({b, empty, port_section, empty});
}

Ids find_port(const Bytes& region, std::uint16_t p) {
    auto idx = SecondaryIndexes::parse(region);
    EXPECT_TRUE(idx);
    Bytes key = port(p);
    Ids generic = lookup_generic(idx->bytes, idx->port.offset, idx->port.length, key, 2);
    // The prepared lookup must agree with the linear walk on every input.
    auto fast = SectionLookup::prepare(idx->bytes, idx->port, 2);
    EXPECT_EQ(fast.find(idx->bytes, key), generic) << "port " << p;
    return generic;
}

TEST(LookupGeneric, FindsTheEntryOfTheKey) {
    Bytes r = region_with_port_section(
        section(4, {{port(53), {1, 2}}, {port(80), {3}}, {port(443), {4}}}));
    EXPECT_EQ(find_port(r, 53), (Ids{1, 2}));
    EXPECT_EQ(find_port(r, 443), (Ids{4}));
    EXPECT_EQ(find_port(r, 54), Ids{});
    // A key of the wrong width finds nothing.
    auto idx = SecondaryIndexes::parse(r);
    EXPECT_EQ(lookup_generic(idx->bytes, idx->port.offset, idx->port.length, Bytes{53}, 2), Ids{});
}

TEST(LookupGeneric, StopsWhereTheSectionIsDamaged) {
    // The pair count bounds the walk: 443 lies beyond it.
    Bytes few =
        region_with_port_section(section(2, {{port(53), {1}}, {port(80), {3}}, {port(443), {4}}}));
    EXPECT_EQ(find_port(few, 80), (Ids{3}));
    EXPECT_EQ(find_port(few, 443), Ids{});

    // A zero pair count hides every entry.
    EXPECT_EQ(find_port(region_with_port_section(section(0, {{port(53), {1}}})), 53), Ids{});

    // An entry whose ids run past the section end stops the walk with
    // nothing, for its own key and every later one.
    Bytes lying = region_with_port_section(
        section(9, {{port(53), {1}}, {port(80), {3}, 1000}, {port(443), {4}}}));
    EXPECT_EQ(find_port(lying, 53), (Ids{1}));
    EXPECT_EQ(find_port(lying, 80), Ids{});
    EXPECT_EQ(find_port(lying, 443), Ids{});

    // A pair count above the entries ends at the section end.
    Bytes many = region_with_port_section(section(100, {{port(53), {1}}}));
    EXPECT_EQ(find_port(many, 53), (Ids{1}));
    EXPECT_EQ(find_port(many, 80), Ids{});

    // Unsorted keys with a repeat: the first equal key wins.
    Bytes unsorted =
        region_with_port_section(section(4, {{port(80), {1}}, {port(53), {2}}, {port(80), {3}}}));
    EXPECT_EQ(find_port(unsorted, 80), (Ids{1}));
    EXPECT_EQ(find_port(unsorted, 53), (Ids{2}));
}

TEST(LookupGeneric, IgnoresSectionsOutsideTheRegion) {
    Bytes r = region_with_port_section(section(1, {{port(53), {1}}}));
    for (std::uint64_t offset :
         {std::uint64_t{1000}, std::numeric_limits<std::uint64_t>::max() - 10,
          std::numeric_limits<std::uint64_t>::max()}) {
        test::set_u64(r, 12, offset);
        EXPECT_EQ(find_port(r, 53), Ids{}) << offset;
    }
    test::set_u64(r, 12, 4);
    test::set_u32(r, 20, 3); // shorter than a pair count
    EXPECT_EQ(find_port(r, 53), Ids{});
    test::set_u32(r, 20, 0xFFFFFFFF);
    EXPECT_EQ(find_port(r, 53), Ids{});
}

// Random sections, sorted or not, cut short or with lying counts: the
// prepared lookup answers every key exactly like the linear walk.
TEST(SectionLookup, AgreesWithTheLinearWalk) {
    std::mt19937 rng(11);
    for (std::size_t width : {std::size_t{1}, std::size_t{2}, std::size_t{16}}) {
        for (int round = 0; round < 400; ++round) {
            std::vector<RawEntry> entries;
            int count = static_cast<int>(rng() % 8);
            std::uint32_t next_key = rng() % 3;
            for (int i = 0; i < count; ++i) {
                // Mostly ascending keys (numeric order for narrow keys), with
                // occasional repeats and reversals.
                std::uint32_t k = (rng() % 5 == 0) ? rng() % 40 : (next_key += 1 + rng() % 300);
                Bytes key(width, 0);
                if (width <= 2) {
                    for (std::size_t j = 0; j < width; ++j) {
                        key[j] = static_cast<std::uint8_t>(k >> (8 * j));
                    }
                } else {
                    key[14] = static_cast<std::uint8_t>(k >> 8);
                    key[15] = static_cast<std::uint8_t>(k);
                }
                Ids ids(1 + rng() % 3);
                for (auto& id : ids) {
                    id = rng() % 50;
                }
                std::int64_t n = (rng() % 15 == 0) ? static_cast<std::int64_t>(rng() % 9) : -1;
                entries.push_back({key, ids, n});
            }
            std::uint32_t pairs = static_cast<std::uint32_t>(rng() % 10);
            Bytes sec = section(pairs, entries);
            if (rng() % 4 == 0 && !sec.empty()) {
                sec.resize(rng() % sec.size());
            }
            Bytes region(kIndexHeaderSize, 0);
            test::set_u32(region, 8, static_cast<std::uint32_t>(sec.size()));
            region.insert(region.end(), sec.begin(), sec.end());
            IndexSection s{0, static_cast<std::uint32_t>(sec.size())};
            auto fast = SectionLookup::prepare(region, s, width);

            std::vector<Bytes> keys;
            for (const auto& e : entries) {
                keys.push_back(e.key);
            }
            keys.push_back(Bytes(width, 0));
            keys.push_back(Bytes(width, 0xFF));
            for (const auto& key : keys) {
                ASSERT_EQ(fast.find(region, key), lookup_generic(region, 0, s.length, key, width))
                    << "width " << width << " round " << round;
            }
        }
    }
}

FlowEntry flow(std::uint64_t id, const char* src, const char* dst, std::uint16_t sport,
               std::uint16_t dport, std::uint8_t proto) {
    FlowEntry e;
    e.id = id;
    e.src_addr = address16(test::v4(src));
    e.dst_addr = address16(test::v4(dst));
    e.src_port = sport;
    e.dst_port = dport;
    e.proto = proto;
    return e;
}

Bytes addr_key(const char* a) {
    auto k = address16(test::v4(a));
    return Bytes(k.begin(), k.end());
}

struct Sections {
    Bytes ip, port, protocol;
};
Sections split_region(const Bytes& region) {
    auto idx = SecondaryIndexes::parse(region);
    EXPECT_TRUE(idx);
    auto cut = [&](const IndexSection& s) {
        auto begin = region.begin() + 36 + static_cast<std::ptrdiff_t>(s.offset);
        return Bytes(begin, begin + s.length);
    };
    EXPECT_EQ(idx->ip.offset, 0u);
    EXPECT_EQ(region.size(), 36u + idx->ip.length + idx->port.length + idx->protocol.length);
    return {cut(idx->ip), cut(idx->port), cut(idx->protocol)};
}

TEST(SecondaryIndexBuilder, MergesPairsOfSharedKeys) {
    SecondaryIndexBuilder b;
    b.add(flow(1, "10.0.0.1", "10.0.0.2", 53, 53, 17));
    b.add(flow(2, "10.0.0.1", "10.0.0.3", 5000, 53, 17));
    auto region = b.build();
    ASSERT_TRUE(region);
    Sections s = split_region(*region);
    EXPECT_EQ(s.ip, section(4, {{addr_key("10.0.0.1"), {1, 2}},
                                {addr_key("10.0.0.2"), {1}},
                                {addr_key("10.0.0.3"), {2}}}));
    // Flow 1 has port 53 on both sides: one pair, not two.
    EXPECT_EQ(s.port, section(3, {{port(53), {1, 2}}, {port(5000), {2}}}));
    EXPECT_EQ(s.protocol, section(2, {{Bytes{17}, {1, 2}}}));
}

TEST(SecondaryIndexBuilder, SortsPortsAsNumbersAndAddressesAsBytes) {
    SecondaryIndexBuilder b;
    FlowEntry six = flow(1, "10.0.0.1", "10.0.0.1", 256, 1, 6);
    six.dst_addr = address16(test::v6("::1"));
    b.add(six);
    auto region = b.build();
    ASSERT_TRUE(region);
    Sections s = split_region(*region);
    auto one = address16(test::v6("::1"));
    EXPECT_EQ(s.ip,
              section(2, {{Bytes(one.begin(), one.end()), {1}}, {addr_key("10.0.0.1"), {1}}}));
    EXPECT_EQ(s.port, section(2, {{port(1), {1}}, {port(256), {1}}}));

    auto idx = SecondaryIndexes::parse(*region);
    auto lookup = SectionLookup::prepare(idx->bytes, idx->port, 2);
    EXPECT_TRUE(lookup.ordered());
    EXPECT_EQ(lookup.reachable_entries(), 2u);
    EXPECT_EQ(lookup.find(idx->bytes, port(256)), (Ids{1}));
}

// Flows handed over out of id order take the general sort and still give
// the same region.
TEST(SecondaryIndexBuilder, OrderOfAddingDoesNotMatter) {
    std::vector<FlowEntry> flows;
    for (std::uint64_t id = 1; id <= 50; ++id) {
        std::string src = "10.0.0." + std::to_string(id % 7);
        std::string dst = "10.0.1." + std::to_string(id % 5);
        flows.push_back(flow(id, src.c_str(), dst.c_str(), static_cast<std::uint16_t>(id % 9 * 300),
                             static_cast<std::uint16_t>(id % 4),
                             static_cast<std::uint8_t>(id % 3)));
    }
    SecondaryIndexBuilder in_order;
    SecondaryIndexBuilder reversed;
    for (std::size_t i = 0; i < flows.size(); ++i) {
        in_order.add(flows[i]);
        reversed.add(flows[flows.size() - 1 - i]);
    }
    auto a = in_order.build();
    auto b = reversed.build();
    ASSERT_TRUE(a && b);
    EXPECT_EQ(*a, *b);
    auto idx = SecondaryIndexes::parse(*a);
    EXPECT_EQ(lookup_generic(idx->bytes, idx->port.offset, idx->port.length, port(600), 2),
              (Ids{2, 11, 20, 29, 38, 47}));
}

} // namespace
} // namespace vexlor
