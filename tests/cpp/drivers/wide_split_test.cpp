// What only the split driver's wide decoding does: tunnels, fragments, mixed
// link types.  (Where it must agree with the basic decoding, it writes the
// same files: split_pipeline_test.cpp.)
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "builders.h"
#include "common/byte_order.h"
#include "drivers/split_pipeline.h"
#include "flow/fragments.h"

namespace vexlor {
namespace {

using namespace test;

Bytes tcp4(const char* s, const char* d, std::uint16_t sp, std::uint16_t dp) {
    return ipv4(ip4(s), ip4(d), 6, tcp(sp, dp, Bytes{'x'}));
}
Bytes eth4(const Bytes& packet) {
    return eth(mac(2), mac(1), kEtherIpv4, packet);
}

struct SplitRun {
    std::vector<std::string> files;
    DecodeCounts counts;
};

SplitRun split(const TempDir& dir, const Bytes& capture, Decode decode, const std::string& out,
               SplitStrategy strategy = SplitStrategy::Session) {
    write_file(dir / "cap.pcap", capture);
    SplitRun run;
    const SplitOptions o{.input_path = dir / "cap.pcap",
                         .output_dir = dir / out,
                         .strategy = strategy,
                         .decode = decode,
                         .counts = &run.counts};
    auto st = run_split(o);
    EXPECT_TRUE(st) << st.error().message;
    run.files = dir_names(o.output_dir);
    return run;
}

// A ping through VXLAN: request and reply go from different outer ports, but
// the flow is the inner one; the decapsulated packets are counted.
TEST(WideSplit, KeysTunnelledPacketsByTheInnermostHeaders) {
    auto wrapped = [](std::uint16_t outer_sport, const Bytes& inner) {
        return eth4(ipv4(ip4("192.0.2.1"), ip4("192.0.2.2"), 17,
                         udp(outer_sport, 4789, vxlan(42, eth4(inner)))));
    };
    PcapBuilder b;
    b.packet(1, 0, wrapped(50000, tcp4("10.0.0.1", "10.0.0.2", 1234, 80)))
        .packet(2, 0, wrapped(50001, tcp4("10.0.0.2", "10.0.0.1", 80, 1234)));
    TempDir dir;
    SplitRun wide = split(dir, b.bytes(), Decode::Wide, "out");
    EXPECT_EQ(wide.files, std::vector<std::string>{"cap_6_10_0_0_1_10_0_0_2_1234_80.pcap"});
    EXPECT_EQ(wide.counts.decapsulated, 2u);
    EXPECT_EQ(wide.counts.without_ip, 0u);
    EXPECT_EQ(split(dir, b.bytes(), Decode::Basic, "basic").files.size(), 2u);
}

// Fragments of one UDP datagram join its flow; a later fragment whose first
// fragment never came keeps ports 0 and is counted, not hidden.
TEST(WideSplit, KeepsFragmentsWithTheirDatagram) {
    const auto fragment = [](const Bytes& data, std::uint16_t id, std::uint16_t offset, bool more) {
        return ipv4_fragment(ipv4(ip4("10.0.0.1"), ip4("10.0.0.2"), 17, data), id, offset, more);
    };
    const Bytes first = fragment(udp(2049, 700, repeat(1, 16)), 7, 0, true);
    const Bytes middle = fragment(repeat(2, 16), 7, 3, true);
    const Bytes last = fragment(repeat(3, 8), 7, 5, false),
                stray = fragment(repeat(4, 8), 9, 5, false);
    PcapBuilder b;
    b.packet(1, 0, eth4(first))
        .packet(1, 1, eth4(middle))
        .packet(1, 2, eth4(last))
        .packet(2, 0, eth4(stray));
    TempDir dir;
    SplitRun wide = split(dir, b.bytes(), Decode::Wide, "out");
    EXPECT_EQ(wide.files, (std::vector<std::string>{"cap_17_10_0_0_1_10_0_0_2_0_0.pcap",
                                                    "cap_17_10_0_0_1_10_0_0_2_2049_700.pcap"}));
    EXPECT_EQ(wide.counts.unmatched_fragments, 1u);
    EXPECT_EQ(file_bytes(dir / "out/cap_17_10_0_0_1_10_0_0_2_2049_700.pcap").size(),
              24u + 3 * 16 + 3 * 14 + first.size() + middle.size() + last.size());
}

// Interfaces of two link types in one pcapng: the frames of the second type
// go to files of their own, whose header names that type.
TEST(WideSplit, WritesEachLinkTypeUnderItsOwnHeader) {
    PcapngBuilder b;
    b.shb().idb(1).idb(113);
    b.epb(0, 1, eth4(tcp4("10.0.0.1", "10.0.0.2", 1, 2)));
    b.epb(1, 2, sll(kEtherIpv4, tcp4("10.0.0.3", "10.0.0.4", 3, 4)));
    TempDir dir;
    SplitRun wide = split(dir, b.bytes(), Decode::Wide, "out");
    ASSERT_EQ(wide.files, (std::vector<std::string>{"cap_6_10_0_0_1_10_0_0_2_1_2.pcap",
                                                    "cap_lt113_6_10_0_0_3_10_0_0_4_3_4.pcap"}));
    const Bytes second = file_bytes(dir / "out/cap_lt113_6_10_0_0_3_10_0_0_4_3_4.pcap");
    EXPECT_EQ(load_le<std::uint32_t>(second.data() + 20), 113u);
    // The basic decoding keeps the module's behaviour: one header, the first
    // interface's type.
    SplitRun basic = split(dir, b.bytes(), Decode::Basic, "basic");
    ASSERT_EQ(basic.files.size(), 2u);
    EXPECT_EQ(load_le<std::uint32_t>(file_bytes(dir / ("basic/" + basic.files[1])).data() + 20),
              1u);
}

// The tracker's own rules: the first fragment's ports, in time and in memory.
TEST(FragmentTracker, MatchesByAddressesProtocolAndId) {
    auto fragment = [](std::uint32_t id, bool first, std::uint32_t sec,
                       const char* src = "10.0.0.1") {
        Packet p = packet(
            {.ts_sec = sec, .ip = ip_info(src, "10.0.0.2", 17, first ? 53 : 0, first ? 99 : 0)});
        p.fragment = FragmentInfo{true, first, id};
        return p;
    };
    FragmentTracker t;
    Packet first = fragment(1, true, 0);
    EXPECT_TRUE(t.place(first));
    for (auto [p, matched] : std::vector<std::pair<Packet, bool>>{
             {fragment(1, false, 1), true},
             {fragment(2, false, 1), false},             // another id
             {fragment(1, false, 1, "10.0.0.9"), false}, // another source
             {fragment(1, false, FragmentTracker::kMaxAgeUs / 1000000 + 1), false}}) { // too late
        EXPECT_EQ(t.place(p), matched);
        EXPECT_EQ(p.ip->src_port, matched ? 53 : 0);
    }
    EXPECT_EQ(t.unmatched(), 3u);
}

} // namespace
} // namespace vexlor
