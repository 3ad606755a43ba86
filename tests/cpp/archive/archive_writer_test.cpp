#include <gtest/gtest.h>

#include <filesystem>

#include "archive/reader/archive_reader.h"
#include "archive/writer/archive_writer.h"
#include "archive_test_util.h"

namespace vexlor {
namespace {

using namespace vexlor::test;
namespace fs = std::filesystem;

Bytes header_bytes(std::uint32_t link_type) {
    Bytes b{'V', 'E', 'X', 'L', 'O', 'R', '0', '2'};
    put_u32le(b, 2);
    put_u32le(b, link_type);
    b.resize(64, 0);
    return b;
}

Bytes footer_bytes(std::uint64_t data_len, std::uint64_t lists_off, std::uint64_t lists_len,
                   std::uint64_t table_off, std::uint64_t flows, std::uint64_t index_off,
                   std::uint64_t index_len) {
    Bytes b{'V', 'X', 'L', 'R', 'F', 'O', 'O', 'T'};
    for (std::uint64_t v : {std::uint64_t{2}, std::uint64_t{64}, data_len, lists_off, lists_len,
                            table_off, 96 * flows, flows, index_off, index_len}) {
        put_u64le(b, v);
    }
    b.resize(128, 0);
    return b;
}

Bytes index_header(std::uint32_t ip_len, std::uint32_t port_len, std::uint32_t proto_len) {
    Bytes b;
    put_u64le(b, 0);
    put_u32le(b, ip_len);
    put_u64le(b, ip_len);
    put_u32le(b, port_len);
    put_u64le(b, ip_len + port_len);
    put_u32le(b, proto_len);
    return b;
}

Bytes record(std::uint32_t sec, std::uint32_t usec, const Bytes& frame) {
    Bytes b;
    put_u32le(b, sec);
    put_u32le(b, usec);
    put_u32le(b, static_cast<std::uint32_t>(frame.size()));
    put_u32le(b, static_cast<std::uint32_t>(frame.size()));
    b.insert(b.end(), frame.begin(), frame.end());
    return b;
}

// The IPv4-mapped form, spelled out rather than computed by the code under
// test.
Bytes mapped(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
    return {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, a, b, c, d};
}

class ArchiveWriterTest : public ::testing::Test {
protected:
    ScratchDir dir;
    std::string out = dir.file("out.vexlor");
    std::string tmp = out + ".tmp";

    ArchiveWriter create(std::uint32_t link_type = 1) {
        auto w = ArchiveWriter::create(tmp, out, link_type);
        EXPECT_TRUE(w) << w.error().message;
        return std::move(*w);
    }
};

TEST_F(ArchiveWriterTest, EmptyArchiveIs240Bytes) {
    ASSERT_TRUE(create(1).finalize());
    Bytes index = cat({index_header(4, 4, 4), Bytes(12, 0)});
    Bytes want = cat({header_bytes(1), index, footer_bytes(0, 64, 0, 64, 0, 64, 48)});
    ASSERT_EQ(want.size(), 240u);
    EXPECT_EQ(read_file(out), want);
    EXPECT_FALSE(fs::exists(tmp));
}

TEST_F(ArchiveWriterTest, OneFlowArchiveMatchesTheLayoutByteForByte) {
    ArchiveWriter w = create(1);
    Bytes f1 = repeat(0xA1, 60);
    Bytes f2 = repeat(0xB2, 60);
    IpInfo ip = ip_info(v4("10.0.0.1"), v4("10.0.0.2"), 6, 1234, 80);
    ASSERT_TRUE(w.add(key_of(1), hash_key(key_of(1)), make_packet(100, 5, f1, ip)));
    ASSERT_TRUE(w.add(key_of(1), hash_key(key_of(1)), make_packet(101, 7, f2, ip)));
    ASSERT_TRUE(std::move(w).finalize());

    Bytes list;
    put_u64le(list, 64);
    list.push_back(0x4C);

    Bytes entry;
    put_u64le(entry, 1);
    entry.push_back(6);
    entry.resize(16, 0);
    entry = cat({entry, mapped(10, 0, 0, 1), mapped(10, 0, 0, 2)});
    put_u16le(entry, 1234);
    put_u16le(entry, 80);
    put_u32le(entry, 0);
    put_u64le(entry, 216);
    put_u32le(entry, 9);
    put_u32le(entry, 2);
    put_u64le(entry, 100'000'005);
    put_u64le(entry, 101'000'007);
    put_u64le(entry, 120);

    Bytes ip_sec, port_sec, proto_sec;
    put_u32le(ip_sec, 2);
    for (std::uint8_t last : {1, 2}) {
        ip_sec = cat({ip_sec, mapped(10, 0, 0, last)});
        put_u32le(ip_sec, 1);
        put_u64le(ip_sec, 1);
    }
    put_u32le(port_sec, 2);
    for (std::uint16_t p : {80, 1234}) {
        put_u16le(port_sec, p);
        put_u32le(port_sec, 1);
        put_u64le(port_sec, 1);
    }
    put_u32le(proto_sec, 1);
    proto_sec.push_back(6);
    put_u32le(proto_sec, 1);
    put_u64le(proto_sec, 1);
    ASSERT_EQ(ip_sec.size(), 60u);
    ASSERT_EQ(port_sec.size(), 32u);
    ASSERT_EQ(proto_sec.size(), 17u);

    Bytes want = cat({header_bytes(1), record(100, 5, f1), record(101, 7, f2), list, entry,
                      index_header(60, 32, 17), ip_sec, port_sec, proto_sec,
                      footer_bytes(152, 216, 9, 225, 1, 321, 145)});
    ASSERT_EQ(want.size(), 594u);
    EXPECT_EQ(read_file(out), want);
}

TEST_F(ArchiveWriterTest, IdsFollowFirstAppearanceAndEndTsTheLastPacket) {
    ArchiveWriter w = create(1);
    Bytes frame = repeat(7, 20);
    for (std::uint32_t k : {5, 3, 5, 9, 3}) {
        ASSERT_TRUE(w.add(key_of(k), hash_key(key_of(k)), make_packet(10 - k, 0, frame)));
    }
    ASSERT_TRUE(w.add(key_of(5), hash_key(key_of(5)), make_packet(1, 0, frame, {}, 1000)));
    ASSERT_TRUE(std::move(w).finalize());
    auto r = ArchiveReader::open(out);
    ASSERT_TRUE(r);
    const auto& flows = (*r)->flows();
    ASSERT_EQ(flows.size(), 3u);
    EXPECT_EQ(flows[0].id, 1u); // key 5
    EXPECT_EQ(flows[0].packet_count, 3u);
    EXPECT_EQ(flows[0].start_ts, 5'000'000u);
    EXPECT_EQ(flows[0].end_ts, 1'000'000u); // earlier, but stored last
    EXPECT_EQ(flows[0].total_bytes, 20u + 20 + 1000);
    EXPECT_EQ(flows[1].id, 2u);                // key 3
    EXPECT_EQ(flows[2].id, 3u);                // key 9
    EXPECT_EQ(flows[2].src_addr, Address16{}); // no IP: zero fields
    EXPECT_EQ(flows[2].proto, 0);
}

TEST_F(ArchiveWriterTest, DoesNotFollowASymlinkAtTheTemporaryName) {
    std::string victim = dir.file("victim");
    write_file(victim, {1, 2, 3});
    fs::create_symlink(victim, tmp);
    auto w = ArchiveWriter::create(tmp, out, 1);
    ASSERT_FALSE(w);
    EXPECT_EQ(w.error().kind, ErrorKind::Io);
    EXPECT_EQ(w.error().message, "Failed to create temp archive file: " + tmp);
    EXPECT_EQ(read_file(victim), (Bytes{1, 2, 3}));
}

TEST_F(ArchiveWriterTest, MissingDirectoryFailsAtTheTemporaryFile) {
    std::string missing = dir.file("no/such/dir/out.vexlor");
    auto w = ArchiveWriter::create(missing + ".tmp", missing, 1);
    ASSERT_FALSE(w);
    EXPECT_EQ(w.error().kind, ErrorKind::Io);
    EXPECT_EQ(w.error().message, "Failed to create temp archive file: " + missing + ".tmp");
}

TEST_F(ArchiveWriterTest, FailedRenameLeavesTheCompleteArchiveAtTheTemporaryPath) {
    // A non-empty directory at the output path cannot be replaced by a file.
    fs::create_directory(out);
    write_file(out + "/keep", {9});
    ArchiveWriter w = create(1);
    ASSERT_TRUE(w.add(key_of(1), hash_key(key_of(1)), make_packet(1, 0, repeat(1, 10))));
    auto st = std::move(w).finalize();
    ASSERT_FALSE(st);
    EXPECT_EQ(st.error().kind, ErrorKind::Runtime);
    EXPECT_EQ(st.error().message, "Failed to rename " + tmp + " -> " + out);
    EXPECT_TRUE(fs::is_directory(out));
    auto r = ArchiveReader::open(tmp);
    ASSERT_TRUE(r) << r.error().message;
    EXPECT_EQ((*r)->flows().size(), 1u);
}

TEST_F(ArchiveWriterTest, ReplacesAnExistingOutputOnlyAtTheEnd) {
    write_file(out, {1, 2, 3});
    ArchiveWriter w = create(1);
    ASSERT_TRUE(w.add(key_of(1), hash_key(key_of(1)), make_packet(1, 0, repeat(1, 300000))));
    EXPECT_EQ(read_file(out), (Bytes{1, 2, 3}));
    ASSERT_TRUE(std::move(w).finalize());
    EXPECT_TRUE(ArchiveReader::open(out));
}

TEST_F(ArchiveWriterTest, DroppedWriterLeavesWhatItWroteAtTheTemporaryPath) {
    {
        ArchiveWriter w = create(1);
        ASSERT_TRUE(w.add(key_of(1), hash_key(key_of(1)), make_packet(1, 0, repeat(1, 10))));
        ArchiveWriter moved = std::move(w); // the moved-from writer owns nothing
    }
    EXPECT_FALSE(fs::exists(out));
    EXPECT_EQ(read_file(tmp), cat({header_bytes(1), record(1, 0, repeat(1, 10))}));
}

} // namespace
} // namespace vexlor
