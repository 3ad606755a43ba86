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

class ArchiveBuildTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string input = dir / "in.pcap";
    std::string output = dir / "out.vexlor";

    std::shared_ptr<const ArchiveReader> build(const Bytes& capture,
                                               SplitStrategy strategy = SplitStrategy::Session) {
        write_file(input, capture);
        auto st = build_archive({.input_path = input, .output_path = output, .strategy = strategy});
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
    auto r = build(PcapBuilder{}.packet(1, 0, a).packet(2, 0, b).bytes(), SplitStrategy::Host);
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
    auto r = build(pcap.bytes());
    ASSERT_TRUE(r);
    ASSERT_EQ(r->flows().size(), sessions);
    EXPECT_EQ(r->flows()[0].packet_count, 2u);
    EXPECT_EQ(r->flows()[0].end_ts, std::uint64_t{sessions} * 1000000);
    EXPECT_EQ(r->find_by_port(1024 + 5000), (Ids{5001}));
}

} // namespace
} // namespace vexlor
