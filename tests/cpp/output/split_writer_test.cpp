#include "output/split_writer.h"

#include "builders.h"
#include "common/buffered_file.h"
#include "output/pcap_format.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <set>

namespace vexlor {
namespace {

using test::Bytes;
using test::list_dir;
using test::PcapBuilder;
using test::read_file;
using test::TempDir;
using test::write_file;

// Flow n of these tests; the writer sees only keys, the names come from kNames.
FlowKey key(int n) {
    FlowKey k;
    k.tag = FlowKey::kNormal;
    k.port_a = static_cast<std::uint16_t>(n);
    return k;
}
const std::vector<std::string> kNames = {"A", "B", "C", "D", "E", "F", "G", "H"};
std::string name_of(const FlowKey& k) { return kNames.at(k.port_a); }

Packet make_packet(std::uint32_t ts, Bytes frame, std::optional<std::uint64_t> payload_offset,
                   std::uint32_t orig_len = 0) {
    Packet p;
    p.ts_sec = ts;
    p.ts_usec = ts * 7 % 1000000;
    p.caplen = static_cast<std::uint32_t>(frame.size());
    p.orig_len = orig_len != 0 ? orig_len : p.caplen + 4;
    p.payload_offset = payload_offset;
    p.data = SharedBytes::from_vector(std::move(frame));
    return p;
}

// Packet i: a frame of 20 + i bytes whose last i % 4 bytes are payload.
Packet numbered(std::uint32_t i) {
    Bytes frame(20 + i);
    for (std::size_t j = 0; j < frame.size(); ++j) {
        frame[j] = static_cast<std::uint8_t>(i * 31 + j);
    }
    std::uint64_t payload_offset = 20 + i - i % 4;
    return make_packet(i, std::move(frame), payload_offset);
}

Bytes expected_pcap(std::uint32_t link_type, const std::vector<Packet>& packets) {
    PcapBuilder b;
    b.link_type = link_type;
    b.header();
    for (const Packet& p : packets) {
        b.raw_record(p.ts_sec, p.ts_usec, p.caplen, p.orig_len,
                     Bytes(p.bytes().begin(), p.bytes().end()));
    }
    return b.bytes();
}

Bytes expected_l7(const std::vector<Packet>& packets) {
    Bytes out;
    for (const Packet& p : packets) {
        if (p.payload_offset) {
            out.insert(out.end(), p.bytes().begin() + *p.payload_offset, p.bytes().end());
        }
    }
    return out;
}

class SplitWriterTest : public ::testing::Test {
protected:
    SplitWriter make(bool l7 = false, std::uint32_t max_sessions = 10000,
                     std::uint64_t buffer_bytes = 10000, std::uint32_t link_type = 1) {
        auto w = SplitWriter::create(
            SplitWriterOptions{dir.path(), "cap", link_type, l7, buffer_bytes, max_sessions},
            name_of);
        if (!w) {
            ADD_FAILURE() << w.error().message;
            std::abort();
        }
        return std::move(*w);
    }
    // Writes flows[i] <- packets[i] and remembers what each flow should hold.
    void write_all(SplitWriter& w, const std::vector<int>& flows) {
        for (std::size_t i = 0; i < flows.size(); ++i) {
            Packet p = numbered(static_cast<std::uint32_t>(i));
            auto st = w.write(key(flows[i]), hash_key(key(flows[i])), p);
            ASSERT_TRUE(st.has_value()) << st.error().message;
            expected[flows[i]].push_back(p);
        }
    }
    // Every flow's final file holds exactly its packets, behind one header.
    void expect_files(bool l7) {
        std::vector<std::string> names;
        for (const auto& [flow, packets] : expected) {
            Bytes want = l7 ? expected_l7(packets) : expected_pcap(1, packets);
            std::string file = "cap_" + kNames[flow] + (l7 ? ".l7" : ".pcap");
            if (l7 && want.empty()) {
                continue; // nothing to publish
            }
            names.push_back(file);
            EXPECT_EQ(read_file(dir / file), want) << file;
        }
        std::sort(names.begin(), names.end());
        EXPECT_EQ(list_dir(dir.path()), names);
    }

    TempDir dir;
    std::map<int, std::vector<Packet>> expected;
};

TEST(PcapFormat, HeaderAndRecordBytes) {
    TempDir dir;
    int fd = ::open((dir / "f").c_str(), O_WRONLY | O_CREAT, 0666);
    ASSERT_GE(fd, 0);
    BufferedFile f(UniqueFd(fd), 10000);
    std::uint8_t hdr[kPcapGlobalHeaderSize];
    pcap_global_header(hdr, 0x04000071);
    ASSERT_TRUE(f.write(hdr));
    ASSERT_TRUE(write_pcap_frame_raw(f, 0x01020304, 999999, 3, 0x10000, Bytes{7, 8, 9}));
    ASSERT_TRUE(f.close());
    const Bytes want = {
        0xD4, 0xC3, 0xB2, 0xA1, 0x02, 0x00, 0x04, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, // magic, 2.4
        0xFF, 0xFF, 0x00, 0x00, 0x71, 0x00, 0x00, 0x04,                         // snaplen, link
        0x04, 0x03, 0x02, 0x01, 0x3F, 0x42, 0x0F, 0x00,                         // ts
        0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00,                         // lengths
        7,    8,    9};
    EXPECT_EQ(read_file(dir / "f"), want);
}

struct SanitizeCase {
    std::string name;
    std::string want;
};
class SanitizeFlowName : public ::testing::TestWithParam<SanitizeCase> {};

TEST_P(SanitizeFlowName, ReplacesUnsafeCharacters) {
    EXPECT_EQ(sanitize_flow_name(GetParam().name), GetParam().want);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SanitizeFlowName,
    ::testing::Values(
        SanitizeCase{"6_10.0.0.1_10.0.0.2_1234_80", "6_10_0_0_1_10_0_0_2_1234_80"},
        SanitizeCase{"17_2001:db8::1_2001:db8::2_5353_53", "17_2001_db8__1_2001_db8__2_5353_53"},
        SanitizeCase{"::ffff:10.0.0.1", "__ffff_10_0_0_1"},
        SanitizeCase{"a\"b*c.d/e:f<g>h?i\\j|k", "a_b_c_d_e_f_g_h_i_j_k"},
        SanitizeCase{std::string("\x01\x1f\x7f\t\n", 5) + std::string(1, '\0'), "______"},
        SanitizeCase{" ~!#$%&'()+,;=@[]^`{}-", " ~!#$%&'()+,;=@[]^`{}-"},
        SanitizeCase{"../../etc/passwd", "______etc_passwd"},
        SanitizeCase{"\xc3\xa9\xe4\xb8\xad\x80\xff", "\xc3\xa9\xe4\xb8\xad\x80\xff"},
        SanitizeCase{"001a2b3c4d5e", "001a2b3c4d5e"}, SanitizeCase{"no_session", "no_session"},
        SanitizeCase{"", ""}));

// The buffering rule, seen from outside: after each write the file on disk
// holds what the rule has flushed so far.
struct BufferCase {
    std::uint64_t capacity;
    std::vector<std::pair<std::size_t, std::size_t>> writes; // (length, size on disk after)
};
class BufferedFileRule : public ::testing::TestWithParam<BufferCase> {};

TEST_P(BufferedFileRule, FlushesWhenBytesDoNotFit) {
    TempDir dir;
    std::string path = dir / "f";
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT, 0666);
    ASSERT_GE(fd, 0);
    BufferedFile f(UniqueFd(fd), GetParam().capacity);
    Bytes all;
    std::uint8_t next = 0;
    for (auto [len, on_disk] : GetParam().writes) {
        Bytes b(len);
        for (auto& x : b) {
            x = next++;
        }
        all.insert(all.end(), b.begin(), b.end());
        ASSERT_TRUE(f.write(b));
        struct stat st;
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ(static_cast<std::size_t>(st.st_size), on_disk) << "after writing " << len;
    }
    ASSERT_TRUE(f.close());
    EXPECT_EQ(read_file(path), all);
}

INSTANTIATE_TEST_SUITE_P(
    Table, BufferedFileRule,
    ::testing::Values(
        BufferCase{0, {{3, 3}, {0, 3}, {5, 8}}},
        BufferCase{1, {{1, 0}, {1, 2}, {2, 4}, {0, 4}}},
        BufferCase{10, {{4, 0}, {4, 0}, {4, 8}, {12, 24}, {10, 24}, {1, 34}, {9, 34}, {1, 44}}},
        // A huge capacity is a limit, not an allocation.
        BufferCase{std::uint64_t{1} << 40, {{24, 0}, {100000, 0}, {3000000, 0}}}));

TEST_F(SplitWriterTest, TemporaryNamesUntilCloseThenFinalNames) {
    SplitWriter w = make();
    write_all(w, {0, 1, 0, 0, 1});
    EXPECT_EQ(list_dir(dir.path()),
              (std::vector<std::string>{".cap_A.pcap.tmp", ".cap_B.pcap.tmp"}));
    ASSERT_TRUE(std::move(w).close());
    expect_files(false);
}

TEST_F(SplitWriterTest, DroppedWriterLeavesCompleteTemporaryFiles) {
    {
        SplitWriter w = make();
        write_all(w, {0, 1, 0});
    }
    EXPECT_EQ(list_dir(dir.path()),
              (std::vector<std::string>{".cap_A.pcap.tmp", ".cap_B.pcap.tmp"}));
    EXPECT_EQ(read_file(dir / ".cap_A.pcap.tmp"), expected_pcap(1, expected[0]));
    EXPECT_EQ(read_file(dir / ".cap_B.pcap.tmp"), expected_pcap(1, expected[1]));
}

// The open-file cap closes files; a flow that comes back appends to its file,
// so every file still holds all its packets behind one header.
struct CapCase {
    std::uint32_t max_sessions;
    bool l7;
    std::uint64_t buffer_bytes;
};
class SplitWriterCap : public SplitWriterTest, public ::testing::WithParamInterface<CapCase> {};

TEST_P(SplitWriterCap, ReopenedFilesAreComplete) {
    auto [max_sessions, l7, buffer_bytes] = GetParam();
    SplitWriter w = make(l7, max_sessions, buffer_bytes);
    std::vector<int> flows = {0, 1, 0, 2, 1, 0, 2, 2, 0, 1, 3, 3, 4, 0, 1, 2, 3, 4};
    std::size_t cap = std::max<std::uint32_t>(max_sessions, 1);
    for (int f : flows) {
        write_all(w, {f});
        ASSERT_LE(w.open_files(), cap);
    }
    EXPECT_EQ(w.write_seq(), flows.size());
    ASSERT_TRUE(std::move(w).close());
    expect_files(l7);
}

INSTANTIATE_TEST_SUITE_P(Table, SplitWriterCap,
                         ::testing::Values(CapCase{0, false, 10000}, CapCase{1, false, 10000},
                                           CapCase{2, false, 10000}, CapCase{2, false, 0},
                                           CapCase{3, false, 7}, CapCase{10000, false, 10000},
                                           CapCase{1, true, 10000}, CapCase{2, true, 0},
                                           CapCase{10000, true, 10000}),
                         [](const auto& info) {
                             return std::string(info.param.l7 ? "L7" : "Pcap") + "Max" +
                                    std::to_string(info.param.max_sessions) + "Buffer" +
                                    std::to_string(info.param.buffer_bytes);
                         });

// The descriptors open at any moment stay within the cap, whatever the mix
// of flows, and every file still comes out whole.
std::set<std::string> open_temp_files(const std::string& dir) {
    std::set<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        auto target = std::filesystem::read_symlink(e.path(), ec);
        if (!ec && target.parent_path() == dir) {
            out.insert(target.filename().string());
        }
    }
    return out;
}

TEST_F(SplitWriterTest, OpenFilesStayWithinTheCap) {
    const std::size_t cap = 3;
    SplitWriter w = make(false, cap, 64);
    std::mt19937 rng(11);
    for (int step = 0; step < 300; ++step) {
        write_all(w, {static_cast<int>(rng() % kNames.size())});
        ASSERT_LE(open_temp_files(dir.path()).size(), cap) << "step " << step;
        ASSERT_EQ(w.open_files(), open_temp_files(dir.path()).size());
    }
    ASSERT_TRUE(std::move(w).close());
    expect_files(false);
}

TEST_F(SplitWriterTest, L7FlowsWithoutPayloadLeaveNoFile) {
    SplitWriter w = make(true, 1);
    Bytes frame = {1, 2, 3, 4};
    auto write = [&](int flow, const Packet& p) {
        ASSERT_TRUE(w.write(key(flow), hash_key(key(flow)), p));
    };
    write(0, make_packet(1, frame, std::nullopt));
    write(1, make_packet(2, frame, 2));
    write(0, make_packet(3, frame, 4)); // payload offset at the end: no bytes
    write(1, make_packet(4, frame, 0));
    write(2, make_packet(5, frame, 3));
    ASSERT_TRUE(std::move(w).close());
    EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"cap_B.l7", "cap_C.l7"}));
    EXPECT_EQ(read_file(dir / "cap_B.l7"), (Bytes{3, 4, 1, 2, 3, 4}));
    EXPECT_EQ(read_file(dir / "cap_C.l7"), (Bytes{4}));
}

TEST_F(SplitWriterTest, FramesAboveSnaplenAreWrittenWhole) {
    SplitWriter w = make(false, 10000, 10000, 105);
    Bytes big(70000);
    for (std::size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<std::uint8_t>(i * 13);
    }
    Packet p = make_packet(9, big, std::nullopt, 80000);
    ASSERT_TRUE(w.write(key(0), hash_key(key(0)), p));
    ASSERT_TRUE(std::move(w).close());
    Bytes got = read_file(dir / "cap_A.pcap");
    ASSERT_EQ(got.size(), 24u + 16u + 70000u);
    EXPECT_EQ(Bytes(got.begin() + 16, got.begin() + 24), (Bytes{0xFF, 0xFF, 0, 0, 105, 0, 0, 0}));
    EXPECT_EQ(got, expected_pcap(105, {p}));
}

TEST_F(SplitWriterTest, ExistingFinalFileIsReplaced) {
    write_file(dir / "cap_A.pcap", Bytes(5000, 0xEE));
    write_file(dir / "cap_A.l7", Bytes(5000, 0xEE));
    SplitWriter w = make();
    write_all(w, {0});
    ASSERT_TRUE(std::move(w).close());
    EXPECT_EQ(read_file(dir / "cap_A.pcap"), expected_pcap(1, expected[0]));
    EXPECT_EQ(read_file(dir / "cap_A.l7"), Bytes(5000, 0xEE)); // other type untouched
}

TEST(SplitWriterCreate, CreatesMissingParents) {
    TempDir dir;
    auto w = SplitWriter::create(SplitWriterOptions{dir / "a/b/c", "p"}, name_of);
    ASSERT_TRUE(w.has_value());
    EXPECT_TRUE(std::filesystem::is_directory(dir / "a/b/c"));
    auto again = SplitWriter::create(SplitWriterOptions{dir / "a/b/c/", "p"}, name_of);
    EXPECT_TRUE(again.has_value());
}

TEST(SplitWriterCreate, PathThroughARegularFileFails) {
    TempDir dir;
    write_file(dir / "file", Bytes{1});
    for (std::string out : {dir / "file", dir / "file/sub"}) {
        auto w = SplitWriter::create(SplitWriterOptions{out, "p"}, name_of);
        ASSERT_FALSE(w.has_value()) << out;
        EXPECT_EQ(w.error().kind, ErrorKind::Io);
        EXPECT_NE(w.error().message.find("(os error "), std::string::npos) << w.error().message;
    }
}

// A temporary name that is a directory cannot be opened for writing.
TEST_F(SplitWriterTest, OpenFailureIsAnIoError) {
    std::filesystem::create_directory(dir / ".cap_B.pcap.tmp");
    SplitWriter w = make();
    write_all(w, {0});
    Packet p = numbered(1);
    auto st = w.write(key(1), hash_key(key(1)), p);
    ASSERT_FALSE(st.has_value());
    EXPECT_EQ(st.error().kind, ErrorKind::Io);
    EXPECT_EQ(st.error().message, os_error_text(EISDIR));
}

// Write errors, made real with a temporary name that leads to /dev/full.
TEST_F(SplitWriterTest, FlushFailureAtCloseRenamesNothing) {
    std::filesystem::create_symlink("/dev/full", dir / ".cap_A.pcap.tmp");
    SplitWriter w = make();
    write_all(w, {1, 0, 1});
    auto st = std::move(w).close();
    ASSERT_FALSE(st.has_value());
    EXPECT_EQ(st.error().message, os_error_text(ENOSPC));
    EXPECT_EQ(list_dir(dir.path()),
              (std::vector<std::string>{".cap_A.pcap.tmp", ".cap_B.pcap.tmp"}));
    EXPECT_EQ(read_file(dir / ".cap_B.pcap.tmp"), expected_pcap(1, expected[1]));
}

// Bytes still buffered for a flow whose descriptor the cap took away are
// written later; a failure then is reported, and nothing is published.
TEST_F(SplitWriterTest, WriteFailureAfterTheCapClosedAFileIsReported) {
    std::filesystem::create_symlink("/dev/full", dir / ".cap_A.pcap.tmp");
    Status st;
    {
        SplitWriter w = make(false, 1);
        for (int f : {0, 1}) {
            if (st) {
                st = w.write(key(f), hash_key(key(f)), numbered(f));
            }
        }
        if (st) {
            st = std::move(w).close();
        }
    }
    ASSERT_FALSE(st.has_value());
    EXPECT_EQ(st.error().message, os_error_text(ENOSPC));
    EXPECT_EQ(list_dir(dir.path()),
              (std::vector<std::string>{".cap_A.pcap.tmp", ".cap_B.pcap.tmp"}));
}

} // namespace
} // namespace vexlor
