// Flow boundaries through whole runs: a split's files (with the descriptor
// cap closing and reopening them) and an archive's flows.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive/archive_reader.h"
#include "drivers/archive_build.h"
#include "drivers/split_pipeline.h"
#include "reading.h"

namespace vexlor {
namespace {

using namespace test;

// Two keys interleaved so that, with one descriptor, every packet takes the
// other key's file away: A at 0 and 5, B at 6, A at 100 (idle), B at 101,
// A at 102 (RST) and 103 (SYN: restarted).
Bytes capture() {
    PcapBuilder b;
    const std::tuple<std::uint32_t, std::uint16_t, std::uint8_t> packets[] = {
        {0, 1, 0x02},   {5, 1, 0x10},   {6, 2, 0x02},  {100, 1, 0x10},
        {101, 2, 0x10}, {102, 1, 0x04}, {103, 1, 0x02}};
    for (auto [sec, sport, flags] : packets) {
        const Bytes segment = set(tcp(sport, 80, Bytes{'x'}), 13, flags);
        b.packet(
            sec, 0,
            eth(mac(2), mac(1), kEtherIpv4, ipv4(ip4("10.0.0.1"), ip4("10.0.0.2"), 6, segment)));
    }
    return b.bytes();
}

using Counts = std::vector<std::pair<std::string, std::size_t>>;
const struct {
    FlowBoundaryOptions options;
    Counts files; // name, packets
    Counts flows; // in id order: "source port@start second", packets
} kExpected[] = {
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

TEST(BoundariesRun, SplitFilesAndArchiveFlowsFollowTheBoundaries) {
    for (const auto& e : kExpected) {
        TempDir dir;
        write_file(dir / "c.pcap", capture());
        const SplitOptions o{.input_path = dir / "c.pcap",
                             .output_dir = dir / "out",
                             .boundaries = e.options,
                             .max_sessions = 1,
                             .buffer_bytes = 0};
        ASSERT_TRUE(run_split(o));
        Counts files;
        for (const std::string& name : dir_names(o.output_dir)) {
            files.emplace_back(name, reading(file_bytes(dir / "out/" + name)).records.size());
        }
        EXPECT_EQ(files, e.files);

        ASSERT_TRUE(build_archive({.input_path = o.input_path,
                                   .output_path = dir / "c.vexlor",
                                   .boundaries = e.options}));
        auto reader = ArchiveReader::open(dir / "c.vexlor");
        ASSERT_TRUE(reader);
        Counts flows;
        for (const FlowEntry& f : (*reader)->flows()) {
            flows.emplace_back(std::to_string(f.src_port) + "@" +
                                   std::to_string(f.start_ts / 1000000),
                               f.packet_count);
        }
        EXPECT_EQ(flows, e.flows);
    }
}

} // namespace
} // namespace vexlor
