// The archive writer's exact layout, and the reader's queries.  (That every
// flow of a built archive holds exactly its packets, with its times, byte
// count and keys, is the archive build fuzz target's; the reader's exact
// errors on damaged files are checked through the module, in
// tests/python/test_hostile.py.)
#include <gtest/gtest.h>

#include <filesystem>

#include "archive/archive_reader.h"
#include "archive/archive_writer.h"
#include "builders.h"

namespace vexlor {
namespace {

using namespace vexlor::test;
namespace fs = std::filesystem;
using Ids = std::vector<std::uint64_t>;

// A packet as the archive writer takes it.
Packet stored_packet(std::uint32_t sec, std::uint32_t usec, Bytes frame,
                     std::optional<IpInfo> ip = {}, std::int64_t orig_len = -1) {
    return packet({sec, usec, std::move(frame), orig_len, ip});
}

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

// An index section entry with one id, and an IPv4-mapped address.
Bytes entry_of(const Bytes& key, std::uint64_t id) {
    return cat({key, le({{1, 4}, {id, 8}})});
}
Bytes mapped(std::uint8_t last) {
    return cat({Bytes(10, 0), {0xFF, 0xFF, 10, 0, 0, last}});
}

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

// An empty archive is 240 bytes; one of a flow of two packets, 594.
TEST_F(ArchiveTest, ArchivesMatchTheLayoutByteForByte) {
    write_file(tmp, repeat(0xEE, 4096)); // an earlier run's, longer than this archive
    ASSERT_TRUE(create().finalize());
    Bytes index = cat({index_header(4, 4, 4), Bytes(12, 0)});
    EXPECT_EQ(file_bytes(out), cat({header_bytes(), index, footer_bytes(0, 64, 0, 64, 0, 64, 48)}));
    EXPECT_FALSE(fs::exists(tmp));
    ArchiveWriter w = create();
    Bytes f1 = repeat(0xA1, 60);
    Bytes f2 = repeat(0xB2, 60);
    const IpInfo ip = ip_info("10.0.0.1", "10.0.0.2", 6, 1234, 80);
    add(w, 1, stored_packet(100, 5, f1, ip));
    add(w, 1, stored_packet(101, 7, f2, ip));
    ASSERT_TRUE(std::move(w).finalize());

    Bytes list = cat({le({{64, 8}}), {0x4C}});
    // clang-format off
    Bytes entry = cat({le({{1, 8}, {6, 1}}), Bytes(7, 0), mapped(1), mapped(2),
                       le({{1234, 2}, {80, 2}, {0, 4}, {216, 8}, {9, 4}, {2, 4}, {100'000'005, 8},
                           {101'000'007, 8}, {120, 8}})});
    // clang-format on
    Bytes ip_sec = cat({le({{2, 4}}), entry_of(mapped(1), 1), entry_of(mapped(2), 1)});
    Bytes port_sec = cat({le({{2, 4}}), entry_of(le({{80, 2}}), 1), entry_of(le({{1234, 2}}), 1)});
    Bytes proto_sec = cat({le({{1, 4}}), entry_of({6}, 1)});
    Bytes want = cat({header_bytes(), record(100, 5, f1), record(101, 7, f2), list, entry,
                      index_header(60, 32, 17), ip_sec, port_sec, proto_sec,
                      footer_bytes(152, 216, 9, 225, 1, 321, 145)});
    ASSERT_EQ(want.size(), 594u);
    EXPECT_EQ(file_bytes(out), want);
}

TEST_F(ArchiveTest, DoesNotFollowASymlinkAtTheTemporaryName) {
    write_file(dir / "victim", {1, 2, 3});
    fs::create_symlink(dir / "victim", tmp);
    expect_error(ArchiveWriter::create(tmp, out, 1), ErrorKind::Io,
                 "Failed to create temp archive file: " + tmp);
    EXPECT_EQ(file_bytes(dir / "victim"), (Bytes{1, 2, 3}));
}

// A frame larger than the write buffer, and an empty one, come back whole.
TEST_F(ArchiveTest, ReplacesAnExistingOutputOnlyAtTheEnd) {
    write_file(out, {1, 2, 3});
    ArchiveWriter w = create();
    const Bytes big = repeat(1, 300000);
    add(w, 1, stored_packet(1, 0, big));
    add(w, 1, stored_packet(2, 0, {}, {}, 60));
    EXPECT_EQ(file_bytes(out), (Bytes{1, 2, 3}));
    ASSERT_TRUE(std::move(w).finalize());
    auto r = ArchiveReader::open(out);
    ASSERT_TRUE(r);
    auto offsets = (*r)->get_packet_offsets((*r)->flows().at(0));
    ASSERT_TRUE(offsets && offsets->size() == 2);
    EXPECT_TRUE(std::ranges::equal((*r)->packet_at((*offsets)[0])->data, big));
    auto empty = (*r)->packet_at((*offsets)[1]);
    EXPECT_EQ(std::tuple(empty->caplen, empty->orig_len), std::tuple(0u, 60u));
}

TEST_F(ArchiveTest, DroppedWriterLeavesWhatItWroteAtTheTemporaryPath) {
    {
        ArchiveWriter w = create();
        add(w, 1, stored_packet(1, 0, repeat(1, 10)));
        ArchiveWriter moved = std::move(w); // the moved-from writer owns nothing
    }
    EXPECT_FALSE(fs::exists(out));
    EXPECT_EQ(file_bytes(tmp), cat({header_bytes(), record(1, 0, repeat(1, 10))}));
}

// A count or offset list past what the archive's 32-bit fields hold fails
// the build instead of wrapping; the final path is never written.
TEST_F(ArchiveTest, CountsBeyondThe32BitFieldsFailTheBuild) {
    {
        ArchiveWriter w = create();
        w.set_field_limit(5);
        for (std::uint32_t i = 0; i < 5; ++i) {
            add(w, 1, stored_packet(i, 0, repeat(1, 10)));
        }
        expect_error(w.add(flow_key(1), hash_key(flow_key(1)), stored_packet(9, 0, repeat(1, 10))),
                     ErrorKind::Runtime, "Flow has more packets than an archive can count (5)");
    }
    EXPECT_FALSE(fs::exists(out));
    // Five records of 216 bytes: the list is the first offset (8 bytes), then
    // four 2-byte gaps.
    ArchiveWriter w = create();
    w.set_field_limit(15);
    for (std::uint32_t i = 0; i < 5; ++i) {
        add(w, 1, stored_packet(i, 0, repeat(1, 200)));
    }
    expect_error(std::move(w).finalize(), ErrorKind::Runtime,
                 "Offset list of flow 1 too long for an archive (16 bytes)");
    EXPECT_FALSE(fs::exists(out));
}

// Flow 1 is UDP 10.0.0.1:53 -> 10.0.0.2:5000 with two packets, flow 2 TCP
// 10.0.0.1:80 -> 10.0.0.3:1234 with one: the index region and a scan of the
// flow table give the same answers.
TEST_F(ArchiveTest, QueriesGiveTheSameAnswersWithAndWithoutIndexes) {
    const IpInfo a = ip_info("10.0.0.1", "10.0.0.2", 17, 53, 5000),
                 b = ip_info("10.0.0.1", "10.0.0.3", 6, 80, 1234);
    for (bool indexes : {true, false}) {
        ArchiveWriter w = create();
        w.set_build_indexes(indexes);
        add(w, 1, stored_packet(1, 0, repeat(1, 40), a));
        add(w, 2, stored_packet(2, 0, repeat(2, 50), b));
        add(w, 1, stored_packet(3, 0, repeat(3, 60), a));
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
    }
}

} // namespace
} // namespace vexlor
