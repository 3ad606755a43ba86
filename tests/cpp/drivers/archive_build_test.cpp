#include <gtest/gtest.h>

#include <filesystem>

#include "archive/archive_reader.h"
#include "builders.h"
#include "drivers/archive_build.h"

namespace vexlor {
namespace {

using namespace vexlor::test;
namespace fs = std::filesystem;
using Ids = std::vector<std::uint64_t>;

const Bytes kArp = eth(mac(9), mac(8), kEtherArp, repeat(0, 28));

class ArchiveBuildTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string input = dir / "in.pcap";
    std::string output = dir / "out.vexlor";

    ArchiveBuildOptions options(const std::string& strategy = "session") {
        ArchiveBuildOptions o;
        o.input_path = input;
        o.output_path = output;
        o.strategy = *parse_strategy(strategy);
        return o;
    }
    std::shared_ptr<const ArchiveReader> build(const Bytes& capture, const ArchiveBuildOptions& o) {
        write_file(input, capture);
        auto st = build_archive(o);
        EXPECT_TRUE(st) << st.error().message;
        auto r = ArchiveReader::open(output);
        EXPECT_TRUE(r) << r.error().message;
        EXPECT_FALSE(fs::exists(output + ".tmp"));
        return r ? *r : nullptr;
    }
};

TEST_F(ArchiveBuildTest, HostStrategyStoresEachIpPacketTwice) {
    Bytes a = udp_frame("10.0.0.2", 1000, 53, repeat(0xEE, 10));
    Bytes b = udp_frame("10.0.0.1", 53, 1000, repeat(0xEE, 20), "10.0.0.2");
    auto r = build(PcapBuilder{}.packet(1, 0, a).packet(2, 0, b).bytes(), options("host"));
    ASSERT_TRUE(r);
    ASSERT_EQ(r->flows().size(), 2u);
    EXPECT_EQ(r->footer().data_length, 2 * (16 + a.size()) + 2 * (16 + b.size()));
    for (const FlowEntry& e : r->flows()) {
        EXPECT_EQ(e.packet_count, 2u);
        EXPECT_EQ(e.total_bytes, a.size() + b.size());
        Bytes frames;
        const auto offsets = r->get_packet_offsets(e).value();
        for (auto off : offsets) {
            auto p = r->packet_at(off);
            frames.insert(frames.end(), p->data.begin(), p->data.end());
        }
        EXPECT_EQ(frames, cat({a, b}));
    }
    // The copies of one packet sit back to back: source host first.
    auto first = *r->get_packet_offsets(r->flows()[0]);
    auto second = *r->get_packet_offsets(r->flows()[1]);
    EXPECT_EQ(second[0], first[0] + 16 + a.size());
    EXPECT_EQ(r->flows()[0].src_addr, address16(addr("10.0.0.1")));
    EXPECT_EQ(r->find_by_address(address16(addr("10.0.0.1"))), (Ids{1, 2}));
}

TEST_F(ArchiveBuildTest, KeepsEverySessionBeyondMaxSessions) {
    PcapBuilder pcap;
    const std::uint32_t sessions = 10050;
    for (std::uint32_t i = 0; i < sessions; ++i) {
        pcap.packet(i, 0, udp_frame("10.0.0.2", static_cast<std::uint16_t>(1024 + i), 53));
    }
    // The first session again, after all the others.
    pcap.packet(sessions, 0, udp_frame("10.0.0.1", 53, 1024, {1, 2, 3}, "10.0.0.2"));
    auto r = build(pcap.bytes(), options());
    ASSERT_TRUE(r);
    ASSERT_EQ(r->flows().size(), sessions);
    EXPECT_EQ(r->flows()[0].packet_count, 2u);
    EXPECT_EQ(r->flows()[0].end_ts, std::uint64_t{sessions} * 1000000);
    EXPECT_EQ(r->find_by_port(1024 + 5000), (Ids{5001}));
}

TEST_F(ArchiveBuildTest, ReportsProgressUpToTheWholeInput) {
    PcapBuilder pcap;
    for (std::uint64_t i = 0; i < kProgressInterval + 1; ++i) {
        pcap.packet(0, 0, kArp);
    }
    ArchiveBuildOptions o = options();
    std::vector<Progress> seen;
    o.progress = [&](const Progress& p) { seen.push_back(p); };
    ASSERT_TRUE(build(pcap.bytes(), o));
    const std::uint64_t size = fs::file_size(input);
    // Reports also come by time, as many as a slow machine makes: they only
    // grow, and the last is the whole input.
    ASSERT_GE(seen.size(), 2u);
    for (std::size_t i = 1; i < seen.size(); ++i) {
        EXPECT_GE(seen[i].packets, seen[i - 1].packets);
        EXPECT_GE(seen[i].bytes_done, seen[i - 1].bytes_done);
    }
    EXPECT_LE(seen.front().packets, kProgressInterval);
    EXPECT_LT(seen.front().bytes_done, size);
    EXPECT_EQ(seen.back().packets, kProgressInterval + 1);
    EXPECT_EQ(seen.back().bytes_done, size);
}

// Each failure, and which one wins when several are present.
TEST_F(ArchiveBuildTest, ReportsFailuresInDriverOrder) {
    Bytes first = udp_frame("10.0.0.2", 1, 2);
    Bytes truncated =
        PcapBuilder{}.packet(1, 0, first).record(2, 0, 1500, 1500, repeat(1, 10)).bytes();
    Bytes text{'h', 'e', 'l', 'l', 'o', '\n'};
    std::string no_dir_output = dir / "missing/out.vexlor";
    struct Case {
        const Bytes* capture; // nullptr: the input file does not exist
        bool output_dir_exists;
        ErrorKind kind;
        std::string message;
    };
    for (const auto& c : std::vector<Case>{
             {nullptr, false, ErrorKind::Io, os_error_text(ENOENT)},
             {&text, false, ErrorKind::Runtime, "Unsupported file format (unknown magic number)"},
             {&truncated, false, ErrorKind::Io,
              "Failed to create temp archive file: " + no_dir_output + ".tmp"},
             {&truncated, true, ErrorKind::Runtime,
              "Invalid PCAP format: packet incl_len 1500 exceeds remaining data at offset " +
                  std::to_string(24 + 16 + first.size() + 16)}}) {
        fs::remove(input);
        if (c.capture) {
            write_file(input, *c.capture);
        }
        ArchiveBuildOptions o = options();
        o.output_path = c.output_dir_exists ? output : no_dir_output;
        auto st = build_archive(o);
        ASSERT_FALSE(st) << c.message;
        EXPECT_EQ(st.error().kind, c.kind) << c.message;
        EXPECT_EQ(st.error().message, c.message);
        EXPECT_FALSE(fs::exists(o.output_path)) << c.message;
    }
    // The failed build left its partial temporary file, and nothing else.
    EXPECT_TRUE(fs::exists(output + ".tmp"));
}

} // namespace
} // namespace vexlor
