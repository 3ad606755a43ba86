#include <gtest/gtest.h>

#include <map>
#include <random>

#include "archive/reader/archive_reader.h"
#include "archive/writer/archive_writer.h"
#include "archive_test_util.h"

namespace vexlor {
namespace {

using namespace vexlor::test;
using Ids = std::vector<std::uint64_t>;

struct Sent {
    std::uint32_t ts_sec, ts_usec, orig_len;
    Bytes frame;
};

class ArchiveReaderTest : public ::testing::Test {
protected:
    ScratchDir dir;

    // Writes `packets` (flow key number, packet) into a fresh archive.
    std::string write(const std::vector<std::pair<std::uint32_t, Packet>>& packets,
                      bool indexes = true, const std::string& name = "a.vexlor") {
        std::string path = dir.file(name);
        auto w = ArchiveWriter::create(path + ".tmp", path, 113);
        EXPECT_TRUE(w);
        w->set_build_indexes(indexes);
        for (const auto& [k, p] : packets) {
            EXPECT_TRUE(w->add(key_of(k), hash_key(key_of(k)), p));
        }
        EXPECT_TRUE(std::move(*w).finalize());
        return path;
    }

    std::shared_ptr<const ArchiveReader> open(const std::string& path) {
        auto r = ArchiveReader::open(path);
        EXPECT_TRUE(r) << r.error().message;
        return r ? *r : nullptr;
    }

    // An archive of two flows, as bytes to damage: flow 1 is UDP 10.0.0.1:53
    // -> 10.0.0.2:5000 with three packets, flow 2 TCP 10.0.0.1:80 ->
    // 10.0.0.3:1234 with one.
    Bytes two_flows(bool indexes = true) {
        IpInfo a = ip_info(v4("10.0.0.1"), v4("10.0.0.2"), 17, 53, 5000);
        IpInfo b = ip_info(v4("10.0.0.1"), v4("10.0.0.3"), 6, 80, 1234);
        return read_file(write({{1, make_packet(1, 0, repeat(1, 40), a)},
                                {2, make_packet(2, 0, repeat(2, 50), b)},
                                {1, make_packet(3, 0, repeat(3, 60), a)},
                                {1, make_packet(4, 0, repeat(4, 70), a)}},
                               indexes, "base.vexlor"));
    }

    Result<std::shared_ptr<const ArchiveReader>> open_bytes(const Bytes& b) {
        std::string path = dir.file("damaged.vexlor");
        write_file(path, b);
        return ArchiveReader::open(path);
    }

    static constexpr std::size_t footer_field(std::size_t size, std::size_t at) {
        return size - 128 + at;
    }
};

TEST_F(ArchiveReaderTest, EveryPacketComesBackAsWritten) {
    std::mt19937 rng(5);
    std::vector<std::pair<std::uint32_t, Packet>> packets;
    std::map<std::uint32_t, std::vector<Sent>> sent;
    for (std::uint32_t i = 0; i < 300; ++i) {
        std::uint32_t k = rng() % 17;
        // Include frames larger than the write buffer and empty ones.
        std::size_t len = i == 40 ? 300000 : (i == 41 ? 0 : rng() % 1600);
        Bytes frame(len);
        for (auto& b : frame) {
            b = static_cast<std::uint8_t>(rng());
        }
        std::uint32_t orig = static_cast<std::uint32_t>(len + rng() % 3);
        IpInfo ip = ip_info(v4("192.0.2.1"), v6("2001:db8::7"), k % 2 ? 6 : 17,
                            static_cast<std::uint16_t>(1000 + k), 443);
        packets.push_back({k, make_packet(i, rng() % 1000000, frame, ip, orig)});
        sent[k].push_back({i, packets.back().second.ts_usec, orig, frame});
    }
    auto r = open(write(packets));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->link_type(), 113u);
    ASSERT_EQ(r->flows().size(), sent.size());
    // Ids follow first appearance of the keys.
    std::vector<std::uint32_t> key_by_id;
    for (const auto& [k, p] : packets) {
        if (std::find(key_by_id.begin(), key_by_id.end(), k) == key_by_id.end()) {
            key_by_id.push_back(k);
        }
    }
    for (const FlowEntry& e : r->flows()) {
        const auto& want = sent[key_by_id.at(e.id - 1)];
        auto offsets = r->get_packet_offsets(e);
        ASSERT_TRUE(offsets);
        ASSERT_EQ(offsets->size(), want.size());
        EXPECT_EQ(e.packet_count, want.size());
        for (std::size_t i = 0; i < want.size(); ++i) {
            auto p = r->packet_at((*offsets)[i]);
            ASSERT_TRUE(p);
            EXPECT_EQ(p->ts_sec, want[i].ts_sec);
            EXPECT_EQ(p->ts_usec, want[i].ts_usec);
            EXPECT_EQ(p->orig_len, want[i].orig_len);
            EXPECT_EQ(p->caplen, want[i].frame.size());
            EXPECT_EQ(Bytes(p->data.begin(), p->data.end()), want[i].frame);
            EXPECT_EQ(r->record_at((*offsets)[i])->size(), 16 + want[i].frame.size());
        }
        EXPECT_EQ(r->resolve(e.id), &e);
    }
    EXPECT_EQ(r->resolve(0), nullptr);
    EXPECT_EQ(r->resolve(r->flows().size() + 1), nullptr);
}

TEST_F(ArchiveReaderTest, QueriesGiveTheSameAnswersWithAndWithoutIndexes) {
    for (bool indexes : {true, false}) {
        auto r = open_bytes(two_flows(indexes));
        ASSERT_TRUE(r);
        const auto& reader = **r;
        EXPECT_EQ(reader.has_indexes(), indexes);
        EXPECT_EQ(reader.find_by_address(address16(v4("10.0.0.1"))), (Ids{1, 2}));
        EXPECT_EQ(reader.find_by_address(address16(v4("10.0.0.3"))), (Ids{2}));
        EXPECT_EQ(reader.find_by_address(address16(v4("10.0.0.9"))), Ids{});
        // The IPv4 address and its IPv6 text are different keys only when
        // written differently: the query form is already mapped.
        EXPECT_EQ(reader.find_by_address(address16(v6("::ffff:10.0.0.2"))), (Ids{1}));
        EXPECT_EQ(reader.find_by_port(53), (Ids{1}));
        EXPECT_EQ(reader.find_by_port(1234), (Ids{2}));
        EXPECT_EQ(reader.find_by_port(1), Ids{});
        EXPECT_EQ(reader.find_by_protocol(6), (Ids{2}));
        EXPECT_EQ(reader.find_by_protocol(17), (Ids{1}));
        EXPECT_EQ(reader.find_by_protocol(1), Ids{});
    }
}

// --- Damaged files -----------------------------------------------------

TEST_F(ArchiveReaderTest, OpenReportsEachFatalDefect) {
    struct Case {
        const char* name;
        Bytes bytes;
        const char* message;
    };
    Bytes base = two_flows();
    std::size_t n = base.size();
    Bytes past_end = base;
    set_u64(past_end, footer_field(n, 56), n); // flow table length
    Bytes wrapping = base;
    set_u64(wrapping, footer_field(n, 48), ~std::uint64_t{0} - 10);
    set_u64(wrapping, footer_field(n, 56), 96);
    std::vector<Case> cases{
        {"127 bytes", Bytes(127, 0), "File too small to be a valid archive"},
        {"128 zeros", Bytes(128, 0), "Invalid archive footer"},
        {"flow table past end", past_end, "Flow table extends beyond file"},
        {"flow table offset wraps", wrapping, "Flow table extends beyond file"},
    };
    for (const auto& c : cases) {
        auto r = open_bytes(c.bytes);
        ASSERT_FALSE(r) << c.name;
        EXPECT_EQ(r.error().kind, ErrorKind::Io) << c.name;
        EXPECT_EQ(r.error().message, c.message) << c.name;
    }
    auto missing = ArchiveReader::open(dir.file("absent.vexlor"));
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().message, "Failed to open archive");
}

TEST_F(ArchiveReaderTest, ReadsOnlyWholeEntriesOfTheFlowTable) {
    Bytes b = two_flows();
    std::size_t n = b.size();
    set_u64(b, footer_field(n, 56), 100);               // one entry and 4 stray bytes
    set_u64(b, footer_field(n, 64), 1'000'000'000'000); // count only sizes storage
    auto r = open_bytes(b);
    ASSERT_TRUE(r);
    ASSERT_EQ((*r)->flows().size(), 1u);
    EXPECT_EQ((*r)->flows()[0].id, 1u);
    EXPECT_EQ((*r)->resolve(2), nullptr);
}

TEST_F(ArchiveReaderTest, UnusableIndexRegionMeansScanning) {
    Bytes base = two_flows();
    std::size_t n = base.size();
    std::uint64_t index_off = u64_at(base, footer_field(n, 72));
    struct Case {
        const char* name;
        std::uint64_t offset, length;
    };
    for (const Case& c :
         {Case{"offset 0", 0, u64_at(base, footer_field(n, 80))}, Case{"length 0", index_off, 0},
          Case{"past end", index_off, n}, Case{"20 bytes", index_off, 20}}) {
        Bytes b = base;
        set_u64(b, footer_field(n, 72), c.offset);
        set_u64(b, footer_field(n, 80), c.length);
        auto r = open_bytes(b);
        ASSERT_TRUE(r) << c.name;
        EXPECT_FALSE((*r)->has_indexes()) << c.name;
        EXPECT_EQ((*r)->find_by_port(53), (Ids{1})) << c.name;
    }
}

TEST_F(ArchiveReaderTest, BrokenSectionFindsNothingWithoutFallingBackToAScan) {
    Bytes b = two_flows();
    std::size_t n = b.size();
    std::uint64_t index_off = u64_at(b, footer_field(n, 72));
    set_u64(b, index_off + 12, 1'000'000); // port section offset past the region
    auto r = open_bytes(b);
    ASSERT_TRUE(r);
    EXPECT_TRUE((*r)->has_indexes());
    EXPECT_EQ((*r)->find_by_port(53), Ids{});
    EXPECT_EQ((*r)->find_by_protocol(17), (Ids{1}));
}

TEST_F(ArchiveReaderTest, DamagedOffsetListsGiveFewerOffsets) {
    auto r = open_bytes(two_flows());
    ASSERT_TRUE(r);
    const ArchiveReader& reader = **r;
    FlowEntry e = reader.flows()[0];
    auto all = reader.get_packet_offsets(e);
    ASSERT_TRUE(all);
    ASSERT_EQ(all->size(), 3u);

    FlowEntry none = e;
    none.packet_count = 0;
    EXPECT_EQ(*reader.get_packet_offsets(none), Ids{});
    FlowEntry one = e;
    one.packet_count = 1;
    EXPECT_EQ(*reader.get_packet_offsets(one), Ids{all->front()});
    FlowEntry cut = e;
    cut.offset_list_length = 9; // ends before the last varint
    EXPECT_EQ(*reader.get_packet_offsets(cut), (Ids{(*all)[0], (*all)[1]}));

    FlowEntry outside = e;
    outside.offset_list_offset = reader.file().size() - 4;
    outside.offset_list_length = 5;
    auto err = reader.get_packet_offsets(outside);
    ASSERT_FALSE(err);
    EXPECT_EQ(err.error().kind, ErrorKind::Runtime);
    EXPECT_EQ(err.error().message, "Offset list extends beyond file");
    outside.offset_list_offset = ~std::uint64_t{0};
    EXPECT_FALSE(reader.get_packet_offsets(outside));
}

TEST_F(ArchiveReaderTest, RecordsThatRunPastTheEndAreSkipped) {
    Bytes b = two_flows();
    // Flow 1's second record (at 64 + 56 + 66) claims more bytes than the file has.
    std::size_t second = 64 + 56 + 66;
    ASSERT_EQ(b[second], 3); // ts_sec of that record
    set_u32(b, second + 8, 0xFFFFFFF0);
    auto r = open_bytes(b);
    ASSERT_TRUE(r);
    const ArchiveReader& reader = **r;
    auto offsets = reader.get_packet_offsets(reader.flows()[0]);
    ASSERT_TRUE(offsets);
    ASSERT_EQ(offsets->size(), 3u);
    EXPECT_TRUE(reader.packet_at((*offsets)[0]));
    EXPECT_FALSE(reader.packet_at((*offsets)[1]));
    EXPECT_FALSE(reader.record_at((*offsets)[1]));
    EXPECT_TRUE(reader.packet_at((*offsets)[2]));
    std::uint64_t size = reader.file().size();
    EXPECT_FALSE(reader.packet_at(size - 15));
    EXPECT_FALSE(reader.packet_at(~std::uint64_t{0} - 3));
}

TEST_F(ArchiveReaderTest, ResolvesTheFirstEntryOfAnIdWhenIdsAreNotDense) {
    Bytes b = two_flows();
    std::size_t n = b.size();
    std::uint64_t table = u64_at(b, footer_field(n, 48));
    set_u64(b, table, 7);
    set_u64(b, table + 96, 7);
    auto r = open_bytes(b);
    ASSERT_TRUE(r);
    EXPECT_EQ((*r)->resolve(7), &(*r)->flows()[0]);
    EXPECT_EQ((*r)->resolve(1), nullptr);
    EXPECT_EQ((*r)->resolve(2), nullptr);
}

} // namespace
} // namespace vexlor
