// Flow boundaries through whole runs: a split's files (with the descriptor
// cap closing and reopening them) and an archive's flows.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive/archive_reader.h"
#include "builders.h"
#include "drivers/archive_build.h"
#include "drivers/split_pipeline.h"

namespace vexlor {
namespace {

using namespace test;

// TCP from 10.0.0.1:{sport} to 10.0.0.2:80 with the given flags.
Bytes tcp_frame(std::uint16_t sport, std::uint8_t flags) {
    Bytes segment = tcp(sport, 80, Bytes{'x'});
    segment[13] = flags;
    return eth(mac(2), mac(1), kEtherIpv4, ipv4(ip4("10.0.0.1"), ip4("10.0.0.2"), 6, segment));
}

// Two keys interleaved so that, with one descriptor, every packet takes the
// other key's file away: A at 0 and 5, B at 6, A at 100 (idle), B at 101,
// A at 102 (RST) and 103 (SYN: restarted).
Bytes capture() {
    PcapBuilder b;

    b.packet(0, 0, tcp_frame(1, 0x02))
        .packet(5, 0, tcp_frame(1, 0x10))
        .packet(6, 0, tcp_frame(2, 0x02))
        .packet(100, 0, tcp_frame(1, 0x10))
        .packet(101, 0, tcp_frame(2, 0x10))
        .packet(102, 0, tcp_frame(1, 0x04))
        .packet(103, 0, tcp_frame(1, 0x02));
    return b.bytes();
}

using Counts = std::vector<std::pair<std::string, std::size_t>>;
struct Expect {
    FlowBoundaryOptions options;
    Counts files; // name, packets
    Counts flows; // in id order: "source port@start second", packets
};

const Expect kExpected[] = {
    {{},
     {{"c_6_10_0_0_1_10_0_0_2_1_80.pcap", 5}, {"c_6_10_0_0_1_10_0_0_2_2_80.pcap", 2}},
     {{"1@0", 5}, {"2@6", 2}}},
    {{50'000'000},
     {{"c_6_10_0_0_1_10_0_0_2_1_80-2.pcap", 3},
      {"c_6_10_0_0_1_10_0_0_2_1_80.pcap", 2},
      {"c_6_10_0_0_1_10_0_0_2_2_80-2.pcap", 1},
      {"c_6_10_0_0_1_10_0_0_2_2_80.pcap", 1}},
     {{"1@0", 2}, {"2@6", 1}, {"1@100", 3}, {"2@101", 1}}},
    {{50'000'000, true},
     {{"c_6_10_0_0_1_10_0_0_2_1_80-2.pcap", 2},
      {"c_6_10_0_0_1_10_0_0_2_1_80-3.pcap", 1},
      {"c_6_10_0_0_1_10_0_0_2_1_80.pcap", 2},
      {"c_6_10_0_0_1_10_0_0_2_2_80-2.pcap", 1},
      {"c_6_10_0_0_1_10_0_0_2_2_80.pcap", 1}},
     {{"1@0", 2}, {"2@6", 1}, {"1@100", 2}, {"2@101", 1}, {"1@103", 1}}},
};

// Packets in a classic pcap file with 16-byte records.
std::size_t records(const Bytes& file) {
    std::size_t n = 0;
    for (std::size_t at = 24; at + 16 <= file.size(); ++n) {
        at += 16 + (file[at + 8] | file[at + 9] << 8);
    }
    return n;
}

TEST(BoundariesRun, SplitFilesFollowTheirFlowsThroughTheDescriptorCap) {
    for (const Expect& e : kExpected) {
        TempDir dir;
        write_file(dir / "c.pcap", capture());
        SplitOptions o;
        o.input_path = dir / "c.pcap";
        o.output_dir = dir / "out";
        o.max_sessions = 1;
        o.buffer_bytes = 0;
        o.boundaries = e.options;
        ASSERT_TRUE(run_split(o));
        Counts got;
        for (const std::string& name : dir_names(o.output_dir)) {
            got.emplace_back(name, records(file_bytes(dir / "out/" + name)));
        }
        EXPECT_EQ(got, e.files);
    }
}

TEST(BoundariesRun, ArchiveGivesLaterFlowsIdsOfTheirOwn) {
    for (const Expect& e : kExpected) {
        TempDir dir;
        write_file(dir / "c.pcap", capture());
        ArchiveBuildOptions o;
        o.input_path = dir / "c.pcap";
        o.output_path = dir / "c.vexlor";
        o.boundaries = e.options;
        ASSERT_TRUE(build_archive(o));
        auto reader = ArchiveReader::open(o.output_path);
        ASSERT_TRUE(reader);
        Counts got;
        for (const FlowEntry& f : (*reader)->flows()) {
            got.emplace_back(std::to_string(f.src_port) + "@" +
                                 std::to_string(f.start_ts / 1000000),
                             f.packet_count);
        }
        EXPECT_EQ(got, e.flows);
    }
}

} // namespace
} // namespace vexlor
