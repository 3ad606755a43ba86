#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <filesystem>
#include <map>
#include <optional>

#include "output/split_writer.h"
#include "reading.h"

namespace vexlor {
namespace {

using namespace test;
using Names = std::vector<std::string>;

// Flow n of these tests is flow_key(n); the writer sees only keys, the names
// come from kNames.
const Names kNames = {"A", "B", "C", "D", "E", "F", "G", "H", "a:b", "a.b"};
std::string name_of(const FlowKey& k) {
    return k.port_a < kNames.size() ? kNames[k.port_a] : "f" + std::to_string(k.port_a);
}

// Packet i: a frame of 20 to 319 bytes (copied or referred to by a buffer
// with stable frames) whose last i % 4 bytes are payload, of 4 more on the wire.
Packet numbered(std::uint32_t i) {
    const std::size_t size = 20 + i * 37 % 300;
    return packet({.ts_sec = i,
                   .ts_usec = i * 7,
                   .frame = sample(size, i),
                   .orig_len = std::int64_t(size) + 4,
                   .payload_offset = size - i % 4});
}

Bytes expected_pcap(std::uint32_t link_type, const std::vector<Packet>& packets) {
    PcapBuilder b{.link_type = link_type};
    for (const Packet& p : packets) {
        b.record(p.ts_sec, p.ts_usec, p.caplen, p.orig_len,
                 Bytes(p.bytes().begin(), p.bytes().end()));
    }
    return b.bytes();
}

class SplitWriterTest : public ::testing::Test {
protected:
    SplitWriter make(bool l7 = false, std::uint32_t max_sessions = 10000,
                     std::uint64_t buffer_bytes = 10000, std::uint32_t link_type = 1,
                     bool stable = false) {
        // The packets written stay alive in `expected`, so frames are stable.
        SplitWriterOptions o{
            dir.path(),   "cap",        link_type, l7 ? OutputType::L7 : OutputType::Pcap,
            buffer_bytes, max_sessions, stable};
        o.writer_threads = threads;
        o.reference_window = window;
        auto w = SplitWriter::create(std::move(o), name_of);
        if (!w) {
            ADD_FAILURE() << w.error().message;
            std::abort();
        }
        return std::move(*w);
    }
    // Writes flows[i] <- numbered(i), remembering what each flow should hold,
    // then closes when asked (writer threads report a failure at a later write
    // or at close); stops at the first error and returns it.
    Status write_all(SplitWriter& w, const std::vector<int>& flows, bool close = false) {
        for (int f : flows) {
            Packet p = numbered(seq++);
            Status st = w.write(flow_key(f), hash_key(flow_key(f)), p);
            if (!st) {
                return st;
            }
            expected[f].push_back(p);
        }
        return close ? std::move(w).close() : Status{};
    }
    // Every flow's final file holds exactly its packets, behind one header; an
    // l7 flow without payload publishes nothing.
    void expect_files(bool l7) {
        std::map<std::string, Bytes> want;
        for (const auto& [flow, packets] : expected) {
            Bytes payload;
            for (const Packet& p : packets) {
                payload.insert(payload.end(), p.bytes().begin() + *p.payload_offset,
                               p.bytes().end());
            }
            if (!l7 || !payload.empty()) {
                want["cap_" + name_of(flow_key(flow)) + (l7 ? ".l7" : ".pcap")] =
                    l7 ? payload : expected_pcap(1, packets);
            }
        }
        expect_dir(dir.path(), want);
    }

    TempDir dir;
    unsigned threads = 0;     // writer threads of make()
    std::uint64_t window = 0; // its reference window
    std::uint32_t seq = 0;
    std::map<int, std::vector<Packet>> expected;
};

// The open-file cap closes files; a flow that comes back appends to its file,
// so every file still holds all its packets behind one header.
struct CapCase {
    std::uint32_t max_sessions;
    bool l7;
    std::uint64_t buffer_bytes;
    bool stable = false;
};
// Each case runs with the file work in the writer's thread and in 1, 2 and 4
// writer threads: the files are the same, and the cap holds across threads.
class SplitWriterCap : public SplitWriterTest,
                       public ::testing::WithParamInterface<std::tuple<CapCase, unsigned>> {};

TEST_P(SplitWriterCap, ReopenedFilesAreComplete) {
    auto [max_sessions, l7, buffer_bytes, stable] = std::get<0>(GetParam());
    threads = std::get<1>(GetParam());
    SplitWriter w = make(l7, max_sessions, buffer_bytes, 1, stable);
    std::vector<int> flows = {0, 1, 0, 2, 1, 0, 2, 2, 0, 1, 3, 3, 4, 0, 1, 2, 3, 4, 7, 5, 6, 0};
    // Long enough to fill slabs and buffers, and for flushes of more pieces
    // than one gathered write takes.
    for (int i = 0; i < 3000; ++i) {
        flows.push_back(i % 7 == 0 ? 2 : i % 3);
    }
    for (int f : flows) {
        ASSERT_TRUE(write_all(w, {f}));
        ASSERT_LE(w.open_files(), std::max<std::uint32_t>(max_sessions, 1));
    }
    for (const std::string& name : dir_names(dir.path())) { // final names only at close
        EXPECT_TRUE(name.starts_with(".cap_") && name.ends_with(".tmp")) << name;
    }
    ASSERT_TRUE(std::move(w).close());
    expect_files(l7);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, SplitWriterCap, ::testing::Combine(::testing::Values(
    CapCase{0, false, 10000}, CapCase{1, false, 10000}, CapCase{2, false, 0}, CapCase{3, false, 7},
    CapCase{10000, false, 10000}, CapCase{1, true, 10000}, CapCase{2, true, 0}, CapCase{10000, true, 10000},
    CapCase{1, false, 10000, true}, CapCase{3, false, 700, true}, CapCase{10000, false, 10000, true},
    CapCase{2, true, 500, true}, CapCase{10000, true, 3000, true}), ::testing::Values(0u, 1u, 2u, 4u)));
// clang-format on

// Referred-to frames stay buffered until the reference budget fills: with the
// default budget a flow of 64 MiB is written at close, with a narrower window
// (a run over many captures) as soon as the window is full.  The file is the
// same either way.
class SplitWriterWindow : public SplitWriterTest,
                          public ::testing::WithParamInterface<std::uint64_t> {};

TEST_P(SplitWriterWindow, BuffersGoOutOnceTheWindowIsFull) {
    window = GetParam();
    SplitWriter w = make(false, 10000, 10000, 1, true);
    const Packet p = packet({.ts_sec = 1, .frame = repeat(0x5A, 60000), .payload_offset = 54});
    for (std::uint64_t i = 0; i <= SplitWriter::kLeastReferenceWindow / 60000; ++i) {
        ASSERT_TRUE(w.write(flow_key(0), hash_key(flow_key(0)), p));
        expected[0].push_back(p);
    }
    const auto temp = dir / ".cap_A.pcap.tmp";
    EXPECT_EQ(std::filesystem::exists(temp) && std::filesystem::file_size(temp) > 0, window != 0);
    ASSERT_TRUE(std::move(w).close());
    expect_files(false);
}

INSTANTIATE_TEST_SUITE_P(Table, SplitWriterWindow, ::testing::Values(0u, 1u));

// A frame above the snapshot length is written whole; an existing final file
// is replaced, the other output type's file left alone.
TEST_F(SplitWriterTest, BigFrameReplacesAnExistingFile) {
    write_file(dir / "cap_A.pcap", Bytes(5000, 0xEE));
    write_file(dir / "cap_A.l7", Bytes(5000, 0xEE));
    SplitWriter w = make(false, 10000, 10000, 105);
    Packet p = packet({.ts_sec = 9, .frame = repeat(0x5A, 70000), .orig_len = 80000});
    ASSERT_TRUE(w.write(flow_key(0), hash_key(flow_key(0)), p));
    ASSERT_TRUE(std::move(w).close());
    EXPECT_EQ(file_bytes(dir / "cap_A.pcap"), expected_pcap(105, {p}));
    EXPECT_EQ(file_bytes(dir / "cap_A.l7"), Bytes(5000, 0xEE));
}

// Write errors, made real with a file size limit: at close, or earlier when
// the cap takes the descriptor away while bytes are still buffered.  Either
// way the error is reported, nothing is published, and the writer can still
// be dropped afterwards (its descriptors were all released).
class SplitWriterFull : public SplitWriterTest,
                        public ::testing::WithParamInterface<std::tuple<std::uint32_t, unsigned>> {
};

TEST_P(SplitWriterFull, WriteErrorIsReportedAndNothingIsRenamed) {
    int rc = child_status([&] {
        ::signal(SIGXFSZ, SIG_IGN);
        rlimit lim{3000, 3000};
        if (::setrlimit(RLIMIT_FSIZE, &lim) != 0) {
            return 3;
        }
        Status st;
        {
            threads = std::get<1>(GetParam());
            SplitWriter w = make(false, std::get<0>(GetParam()));
            std::vector<int> flows;
            for (int i = 0; i < 60; ++i) {
                flows.push_back(i % 2);
            }
            st = write_all(w, flows, true);
        }
        if (st) {
            return 1;
        }
        return st.error().message == os_error_text(EFBIG) ? 0 : 2;
    });
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(dir_names(dir.path()), (Names{".cap_A.pcap.tmp", ".cap_B.pcap.tmp"}));
}

INSTANTIATE_TEST_SUITE_P(Table, SplitWriterFull,
                         ::testing::Combine(::testing::Values(1u, 10000u),
                                            ::testing::Values(0u, 2u)));

// A link planted under a temporary name is not written through, nor is a
// file that appears under a temporary name after the writer was made (the
// name was not there then) truncated.
TEST_F(SplitWriterTest, DoesNotFollowALinkAtItsTemporaryName) {
    write_file(dir / "victim", Bytes{1, 2, 3});
    std::filesystem::create_symlink(dir / "victim", dir / ".cap_A.pcap.tmp");
    for (unsigned n : {0u, 2u}) {
        threads = n;
        SplitWriter w = make();
        expect_error(write_all(w, {0, 1}, true), ErrorKind::Io, os_error_text(ELOOP));
        EXPECT_EQ(file_bytes(dir / "victim"), (Bytes{1, 2, 3}));
    }
    std::filesystem::remove(dir / ".cap_A.pcap.tmp");
    for (unsigned n : {0u, 2u}) {
        threads = n;
        std::filesystem::remove(dir / ".cap_B.pcap.tmp");
        SplitWriter w = make();
        std::filesystem::create_hard_link(dir / "victim", dir / ".cap_B.pcap.tmp");
        expect_error(write_all(w, {0, 1}, true), ErrorKind::Io, os_error_text(EEXIST));
        EXPECT_EQ(file_bytes(dir / "victim"), (Bytes{1, 2, 3}));
    }
}

// Two flow names that sanitise to the same file name share the file instead
// of the second truncating the first: every packet of both is kept.
TEST_F(SplitWriterTest, FlowsWhoseNamesSanitiseAlikeShareOneFile) {
    SplitWriter w = make(false, 1, 100);
    ASSERT_TRUE(write_all(w, {8, 9, 8, 8, 9, 0, 9}));
    ASSERT_TRUE(std::move(w).close());
    EXPECT_EQ(dir_names(dir.path()), (Names{"cap_A.pcap", "cap_a_b.pcap"}));
    std::vector<std::uint32_t> seen;
    for (const Rec& rec : reading(file_bytes(dir / "cap_a_b.pcap")).records) {
        seen.push_back(rec.ts_sec);
    }
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<std::uint32_t>{0, 1, 2, 3, 4, 6}));
}

// Characters unsafe in a file name become '_'.  The limit counts the
// temporary name ".NAME.tmp": a final name of 250 bytes is the longest kept
// whole.  Names past it end in a stable hash; the module's names (no
// shortening) are kept whatever their length.
TEST(SplitFileName, IsSanitisedAndShortenedStably) {
    const std::pair<std::string, std::string> sanitised[] = {
        // clang-format off
        {"6_10.0.0.1_10.0.0.2_1234_80", "6_10_0_0_1_10_0_0_2_1234_80"},
        {"17_2001:db8::1_2001:db8::2_5353_53", "17_2001_db8__1_2001_db8__2_5353_53"},
        {"a\"b*c.d/e:f<g>h?i\\j|k", "a_b_c_d_e_f_g_h_i_j_k"}, {std::string("\x01\x1f\x7f\t\n\0", 6), "______"},
        {" ~!#$%&'()+,;=@[]^`{}-", " ~!#$%&'()+,;=@[]^`{}-"}, {"../../etc/passwd", "______etc_passwd"},
        {"\xc3\xa9\xe4\xb8\xad\x80\xff", "\xc3\xa9\xe4\xb8\xad\x80\xff"}, {"", ""}};
    // clang-format on
    for (const auto& [name, file] : sanitised) {
        EXPECT_EQ(sanitize_flow_name(name), file) << name;
    }
    const struct {
        std::size_t prefix_len;
        const char* ext;
        bool shorten, shortened;
    } cases[] = {{10, ".pcap", true, false},         {250 - 5 - 4, ".pcap", true, false},
                 {250 - 5 - 3, ".pcap", true, true}, {250 - 3 - 3, ".l7", true, true},
                 {400, ".pcap", true, true},         {400, ".pcap", false, false}};
    for (const auto& c : cases) {
        const std::string prefix(c.prefix_len, 'p');
        const std::string name = split_file_name(prefix, "all", c.ext, c.shorten);
        EXPECT_EQ(name.size() != c.prefix_len + 4 + std::string_view(c.ext).size(), c.shortened)
            << c.prefix_len << c.ext;
        EXPECT_LE(("." + name + ".tmp").size(), c.shorten ? std::size_t{NAME_MAX} : 1000);
        EXPECT_TRUE(name.ends_with(c.ext));
        EXPECT_EQ(name, split_file_name(prefix, "all", c.ext, c.shorten));
    }
    // Names that differ only past the cut get different hashes.
    const std::string prefix(300, 'p');
    EXPECT_NE(split_file_name(prefix, "a", ".pcap", true),
              split_file_name(prefix, "b", ".pcap", true));
}

} // namespace
} // namespace vexlor
