// The archive: the pieces of its format (index sections and their lookup,
// the index builder, varints and offset lists), the writer's exact layout,
// and the reader's queries.  (That every flow of a built archive holds
// exactly its packets, with its times, byte count and keys, is the archive
// build fuzz target's; the reader's exact errors on damaged files are checked
// through the module, in tests/python/test_hostile.py.)
#include <gtest/gtest.h>

#include <filesystem>
#include <limits>

#include "archive/archive_reader.h"
#include "archive/archive_writer.h"
#include "archive/format.h"
#include "archive/index.h"
#include "builders.h"

namespace vexlor {
namespace {

using namespace vexlor::test;
namespace fs = std::filesystem;

// The layout's pieces, spelled out rather than computed by the code under test.
Bytes header_bytes() {
    return cat({{'V', 'E', 'X', 'L', 'O', 'R', '0', '2'}, le({{2, 4}, {1, 4}}), Bytes(48, 0)});
}

Bytes footer_bytes(std::uint64_t data_len, std::uint64_t lists_off, std::uint64_t lists_len,
                   std::uint64_t table_off, std::uint64_t flows, std::uint64_t index_off,
                   std::uint64_t index_len) {
    // clang-format off
    return cat({{'V', 'X', 'L', 'R', 'F', 'O', 'O', 'T'},
                le({{2, 8}, {64, 8}, {data_len, 8}, {lists_off, 8}, {lists_len, 8}, {table_off, 8},
                    {96 * flows, 8}, {flows, 8}, {index_off, 8}, {index_len, 8}}),
                Bytes(40, 0)});
    // clang-format on
}

Bytes index_header(std::uint32_t ip_len, std::uint32_t port_len, std::uint32_t proto_len) {
    return le(
        {{0, 8}, {ip_len, 4}, {ip_len, 8}, {port_len, 4}, {ip_len + port_len, 8}, {proto_len, 4}});
}

Bytes record(std::uint32_t sec, std::uint32_t usec, const Bytes& frame) {
    Bytes b = PcapBuilder{}.packet(sec, usec, frame).bytes(); // a pcap record, minus the header
    return Bytes(b.begin() + 24, b.end());
}

// 10.0.0.`last` as an IPv4-mapped address.
Bytes mapped(std::uint8_t last) {
    return cat({Bytes(10, 0), {0xFF, 0xFF, 10, 0, 0, last}});
}

// ---- index sections, varints, offset lists ------------------------------------------------------

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
    const auto n = static_cast<std::uint32_t>(port_section.size());
    return cat({index_header(4, n, 4), section(0, {}), port_section, section(0, {})});
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

FlowEntry flow(std::uint64_t id, const char* src, const char* dst, std::uint16_t sport,
               std::uint16_t dport, std::uint8_t proto) {
    return {.id = id,
            .proto = proto,
            .src_addr = address16(addr(src)),
            .dst_addr = address16(addr(dst)),
            .src_port = sport,
            .dst_port = dport};
}
Bytes addr_key(const char* text) {
    const auto k = address16(addr(text));
    return Bytes(k.begin(), k.end());
}

// One pair per distinct key of a flow (port 53 on both sides counts once);
// ports sort as numbers, addresses as bytes.  Flows handed over out of id
// order take the general sort and give the same region.
TEST(SecondaryIndexBuilder, MergesPairsAndSortsKeysInAnyOrder) {
    const FlowEntry flows[] = {flow(1, "10.0.0.1", "10.0.0.2", 53, 53, 17),
                               flow(2, "10.0.0.1", "10.0.0.3", 5000, 53, 17),
                               flow(3, "10.0.0.1", "::1", 256, 1, 6)};
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
    EXPECT_EQ(cut(idx->ip), section(6, {{addr_key("::1"), {3}},
                                        {addr_key("10.0.0.1"), {1, 2, 3}},
                                        {addr_key("10.0.0.2"), {1}},
                                        {addr_key("10.0.0.3"), {2}}}));
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

// ---- writer and reader --------------------------------------------------------------------------

class ArchiveTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string out = dir / "out.vexlor";
    std::string tmp = out + ".tmp";

    ArchiveWriter create(std::uint32_t link_type = 1) {
        auto w = ArchiveWriter::create(tmp, out, link_type);
        EXPECT_TRUE(w) << w.error().message;
        return std::move(*w);
    }
    static void add(ArchiveWriter& w, std::uint32_t k, const Packet& p) {
        ASSERT_TRUE(w.add(flow_key(k), hash_key(flow_key(k)), p));
    }
};

// An empty archive is 240 bytes; one of a flow of two packets, 594.  The
// archive already at the output is replaced only when the new one is done.
TEST_F(ArchiveTest, ArchivesMatchTheLayoutByteForByte) {
    write_file(tmp, repeat(0xEE, 4096)); // an earlier run's, longer than this archive
    ASSERT_TRUE(create().finalize());
    const Bytes empty = cat({header_bytes(), index_header(4, 4, 4), Bytes(12, 0),
                             footer_bytes(0, 64, 0, 64, 0, 64, 48)});
    EXPECT_EQ(file_bytes(out), empty);
    EXPECT_FALSE(fs::exists(tmp));
    ArchiveWriter w = create();
    Bytes f1 = repeat(0xA1, 60);
    Bytes f2 = repeat(0xB2, 60);
    const IpInfo ip = ip_info("10.0.0.1", "10.0.0.2", 6, 1234, 80);
    add(w, 1, packet({100, 5, f1, -1, ip}));
    add(w, 1, packet({101, 7, f2, -1, ip}));
    EXPECT_EQ(file_bytes(out), empty);
    ASSERT_TRUE(std::move(w).finalize());

    Bytes list = cat({le({{64, 8}}), {0x4C}});
    // clang-format off
    Bytes entry = cat({le({{1, 8}, {6, 1}}), Bytes(7, 0), mapped(1), mapped(2),
                       le({{1234, 2}, {80, 2}, {0, 4}, {216, 8}, {9, 4}, {2, 4}, {100'000'005, 8},
                           {101'000'007, 8}, {120, 8}})});
    // clang-format on
    Bytes ip_sec = section(2, {{mapped(1), {1}}, {mapped(2), {1}}});
    Bytes port_sec = section(2, {{port(80), {1}}, {port(1234), {1}}});
    Bytes proto_sec = section(1, {{{6}, {1}}});
    Bytes want = cat({header_bytes(), record(100, 5, f1), record(101, 7, f2), list, entry,
                      index_header(60, 32, 17), ip_sec, port_sec, proto_sec,
                      footer_bytes(152, 216, 9, 225, 1, 321, 145)});
    ASSERT_EQ(want.size(), 594u);
    EXPECT_EQ(file_bytes(out), want);
}

// The temporary path is the writer's own: a link planted there is not
// followed, and until its rename is done a writer's output is held against a
// second writer.  (An output another process holds is refused, and left
// untouched, through the module and the tool: tests/python/test_safety.py.)
TEST_F(ArchiveTest, TheTemporaryPathIsNeitherFollowedNorShared) {
    write_file(dir / "victim", {1, 2, 3});
    fs::create_symlink(dir / "victim", tmp);
    expect_error(ArchiveWriter::create(tmp, out, 1), ErrorKind::Io,
                 "Failed to create temp archive file: " + tmp);
    EXPECT_EQ(file_bytes(dir / "victim"), (Bytes{1, 2, 3}));
    fs::remove(tmp);
    ArchiveWriter w = create();
    expect_error(ArchiveWriter::create(tmp, out, 1), ErrorKind::Io,
                 "Output path " + out + " is in use by another run");
    ASSERT_TRUE(std::move(w).finalize());
    EXPECT_TRUE(ArchiveWriter::create(tmp, out, 1));
}

// A count or offset list past what the archive's 32-bit fields hold fails
// the build instead of wrapping; the final path is never written, and the
// dropped writer leaves what it wrote at the temporary path.
TEST_F(ArchiveTest, CountsBeyondThe32BitFieldsFailTheBuild) {
    Bytes written = header_bytes();
    {
        ArchiveWriter w = create();
        w.set_field_limit(5);
        for (std::uint32_t i = 0; i < 5; ++i) {
            add(w, 1, packet({i, 0, repeat(1, 10)}));
            written = cat({written, record(i, 0, repeat(1, 10))});
        }
        expect_error(w.add(flow_key(1), hash_key(flow_key(1)), packet({9, 0, repeat(1, 10)})),
                     ErrorKind::Runtime, "Flow has more packets than an archive can count (5)");
        ArchiveWriter moved = std::move(w); // the moved-from writer owns nothing
    }
    EXPECT_FALSE(fs::exists(out));
    EXPECT_EQ(file_bytes(tmp), written);
    // Five records of 216 bytes: the list is the first offset (8 bytes), then
    // four 2-byte gaps.
    ArchiveWriter w = create();
    w.set_field_limit(15);
    for (std::uint32_t i = 0; i < 5; ++i) {
        add(w, 1, packet({i, 0, repeat(1, 200)}));
    }
    expect_error(std::move(w).finalize(), ErrorKind::Runtime,
                 "Offset list of flow 1 too long for an archive (16 bytes)");
    EXPECT_FALSE(fs::exists(out));
}

// Flow 1 is UDP 10.0.0.1:53 -> 10.0.0.2:5000 with two packets, flow 2 TCP
// 10.0.0.1:80 -> 10.0.0.3:1234 with a frame larger than the write buffer and
// an empty one: the index region and a scan of the flow table give the same
// answers, and the frames come back whole.
TEST_F(ArchiveTest, QueriesGiveTheSameAnswersWithAndWithoutIndexes) {
    const IpInfo a = ip_info("10.0.0.1", "10.0.0.2", 17, 53, 5000),
                 b = ip_info("10.0.0.1", "10.0.0.3", 6, 80, 1234);
    const Bytes big = repeat(2, kArchiveWriteBuffer + 1);
    for (bool indexes : {true, false}) {
        ArchiveWriter w = create();
        w.set_build_indexes(indexes);
        add(w, 1, packet({1, 0, repeat(1, 40), -1, a}));
        add(w, 2, packet({2, 0, big, -1, b}));
        add(w, 1, packet({3, 0, repeat(3, 60), -1, a}));
        add(w, 2, packet({4, 0, {}, 60, b}));
        ASSERT_TRUE(std::move(w).finalize());
        auto r = ArchiveReader::open(out);
        ASSERT_TRUE(r);
        const auto& reader = **r;
        EXPECT_EQ(reader.has_indexes(), indexes);
        EXPECT_EQ(reader.find_by_address(address16(addr("10.0.0.1"))), (Ids{1, 2}));
        EXPECT_EQ(reader.find_by_address(address16(addr("10.0.0.3"))), (Ids{2}));
        EXPECT_EQ(reader.find_by_address(address16(addr("10.0.0.9"))), Ids{});
        // The query form of an IPv4 address is already mapped.
        EXPECT_EQ(reader.find_by_address(address16(addr("::ffff:10.0.0.2"))), (Ids{1}));
        EXPECT_EQ(reader.find_by_port(53), (Ids{1}));
        EXPECT_EQ(reader.find_by_port(1234), (Ids{2}));
        EXPECT_EQ(reader.find_by_port(1), Ids{});
        EXPECT_EQ(reader.find_by_protocol(6), (Ids{2}));
        EXPECT_EQ(reader.find_by_protocol(17), (Ids{1}));
        EXPECT_EQ(reader.find_by_protocol(1), Ids{});
        const auto offsets = reader.get_packet_offsets(reader.flows().at(1)).value();
        ASSERT_EQ(offsets.size(), 2u);
        EXPECT_TRUE(std::ranges::equal(reader.packet_at(offsets[0])->data, big));
        const auto empty = reader.packet_at(offsets[1]);
        EXPECT_EQ(std::tuple(empty->caplen, empty->orig_len), std::tuple(0u, 60u));
    }
}

} // namespace
} // namespace vexlor
