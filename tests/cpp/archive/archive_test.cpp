// The archive writer's exact layout, and the reader on whole and damaged files.
// (That every flow of a built archive holds exactly its packets, with its
// times, byte count and keys, is the archive build fuzz target's.)
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
    return cat({{'V', 'X', 'L', 'R', 'F', 'O', 'O', 'T'},
                le({{2, 8},
                    {64, 8},
                    {data_len, 8},
                    {lists_off, 8},
                    {lists_len, 8},
                    {table_off, 8},
                    {96 * flows, 8},
                    {flows, 8},
                    {index_off, 8},
                    {index_len, 8}}),
                Bytes(40, 0)});
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
    // Writes `packets` (flow key number, packet) into `out`.
    std::string write(const std::vector<std::pair<std::uint32_t, Packet>>& packets,
                      bool indexes = true) {
        ArchiveWriter w = create(113);
        w.set_build_indexes(indexes);
        for (const auto& [k, p] : packets) {
            add(w, k, p);
        }
        EXPECT_TRUE(std::move(w).finalize());
        return out;
    }
    // An archive of two flows, as bytes to damage: flow 1 is UDP 10.0.0.1:53
    // -> 10.0.0.2:5000 with three packets, flow 2 TCP 10.0.0.1:80 ->
    // 10.0.0.3:1234 with one.
    Bytes two_flows(bool indexes = true) {
        IpInfo a{addr("10.0.0.1"), addr("10.0.0.2"), 17, 53, 5000};
        IpInfo b{addr("10.0.0.1"), addr("10.0.0.3"), 6, 80, 1234};
        return file_bytes(write({{1, stored_packet(1, 0, repeat(1, 40), a)},
                                 {2, stored_packet(2, 0, repeat(2, 50), b)},
                                 {1, stored_packet(3, 0, repeat(3, 60), a)},
                                 {1, stored_packet(4, 0, repeat(4, 70), a)}},
                                indexes));
    }
    Result<std::shared_ptr<const ArchiveReader>> open_bytes(const Bytes& b) {
        write_file(dir / "damaged.vexlor", b);
        return ArchiveReader::open(dir / "damaged.vexlor");
    }
    // Offsets of footer fields.
    static constexpr std::size_t kTableOffset = 48, kTableLength = 56;
    static std::size_t footer(const Bytes& b, std::size_t field) { return b.size() - 128 + field; }
};

// An empty archive is 240 bytes; one of a flow of two packets, 594.
TEST_F(ArchiveTest, ArchivesMatchTheLayoutByteForByte) {
    ASSERT_TRUE(create().finalize());
    Bytes index = cat({index_header(4, 4, 4), Bytes(12, 0)});
    EXPECT_EQ(file_bytes(out), cat({header_bytes(), index, footer_bytes(0, 64, 0, 64, 0, 64, 48)}));
    EXPECT_FALSE(fs::exists(tmp));
    ArchiveWriter w = create();
    Bytes f1 = repeat(0xA1, 60);
    Bytes f2 = repeat(0xB2, 60);
    IpInfo ip{addr("10.0.0.1"), addr("10.0.0.2"), 6, 1234, 80};
    add(w, 1, stored_packet(100, 5, f1, ip));
    add(w, 1, stored_packet(101, 7, f2, ip));
    ASSERT_TRUE(std::move(w).finalize());

    Bytes list = cat({le({{64, 8}}), {0x4C}});
    Bytes entry = cat({le({{1, 8}, {6, 1}}), Bytes(7, 0), mapped(1), mapped(2),
                       le({{1234, 2},
                           {80, 2},
                           {0, 4},
                           {216, 8},
                           {9, 4},
                           {2, 4},
                           {100'000'005, 8},
                           {101'000'007, 8},
                           {120, 8}})});
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

// --- Reading ---------------------------------------------------------------

TEST_F(ArchiveTest, QueriesGiveTheSameAnswersWithAndWithoutIndexes) {
    for (bool indexes : {true, false}) {
        auto r = open_bytes(two_flows(indexes));
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

// --- Damaged files -----------------------------------------------------
// Only the exact errors: that every other damage is read within the file and
// agrees with a plain reading of the format is the archive fuzz target's.

TEST_F(ArchiveTest, OpenReportsEachFatalDefect) {
    Bytes past_end = two_flows(), wrapping = two_flows();
    past_end = set_le(past_end, footer(past_end, kTableLength), past_end.size());
    wrapping = set_le(wrapping, footer(wrapping, kTableOffset), ~std::uint64_t{0} - 10);
    wrapping = set_le(wrapping, footer(wrapping, kTableLength), 96);
    for (const auto& [bytes, message] : std::vector<std::pair<Bytes, std::string>>{
             {Bytes(127, 0), "File too small to be a valid archive"},
             {Bytes(128, 0), "Invalid archive footer"},
             {past_end, "Flow table extends beyond file"},
             {wrapping, "Flow table extends beyond file"}}) {
        expect_error(open_bytes(bytes), ErrorKind::Io, message);
    }
    expect_error(ArchiveReader::open(dir / "absent.vexlor"), ErrorKind::Io,
                 "Failed to open archive");
}

// What a list holds is the decoder's business; the reader checks that it lies
// within the file, wrapping offsets included.
TEST_F(ArchiveTest, OffsetListOutsideTheFileIsAnError) {
    auto r = open_bytes(two_flows());
    ASSERT_TRUE(r);
    for (std::uint64_t at : {(*r)->file().size() - 4, ~std::uint64_t{0}}) {
        FlowEntry e = (*r)->flows()[0];
        e.offset_list_offset = at;
        e.offset_list_length = 5;
        expect_error((*r)->get_packet_offsets(e), ErrorKind::Runtime,
                     "Offset list extends beyond file");
    }
}

} // namespace
} // namespace vexlor
