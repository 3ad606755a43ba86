#include <gtest/gtest.h>

#include <filesystem>

#include "archive/archive_reader.h"
#include "builders.h"
#include "drivers/archive_build.h"
#include "parser/capture_reader.h"

namespace vexlor {
namespace {

using namespace vexlor::test;
namespace fs = std::filesystem;

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

// However the capture is stored, the archive is the same bytes: records in
// place in a mapped little-endian pcap are written straight from it, the
// frames of other mapped captures under headers made anew, and a streamed
// capture's copied.  Frames of many sizes, one flow's records stored twice
// (host strategy), more bytes than a write buffer takes.
TEST_F(ArchiveBuildTest, IsTheSameBytesWhateverFormTheCaptureTakes) {
    PcapBuilder le, be{.big_endian = true}, ns{.nanosecond = true};
    PcapngBuilder ng;
    ng.shb().idb(1);
    for (std::uint32_t i = 0; i < 2400; ++i) {
        const std::size_t sizes[] = {1, 60, 127, 700, 9000};
        const std::string dst = "10.0.0." + std::to_string(2 + i % 7);
        const Bytes frame = udp_frame(dst.c_str(), static_cast<std::uint16_t>(1000 + i % 13), 53,
                                      repeat(static_cast<std::uint8_t>(i), sizes[i % 5]));
        le.packet(i / 10, i % 10, frame);
        be.packet(i / 10, i % 10, frame);
        ns.packet(i / 10, i % 10 * 1000, frame);
        ng.epb(0, std::uint64_t{i / 10} * 1000000 + i % 10, frame);
    }
    for (SplitStrategy strategy : {SplitStrategy::Session, SplitStrategy::Host}) {
        auto archive_of = [&](const std::string& name, const Bytes& capture) {
            write_file(dir / name, capture);
            ArchiveBuildOptions opt{
                .input_path = dir / name, .output_path = output, .strategy = strategy};
            opt.control.reading = InputReading::Streamed;
            auto st = build_archive(opt);
            EXPECT_TRUE(st) << name << ": " << st.error().message;
            return file_bytes(output);
        };
        const Bytes want = archive_of("le.pcap", le.bytes());
        EXPECT_GT(want.size(), std::size_t{4} << 20);
        EXPECT_TRUE(archive_of("be.pcap", be.bytes()) == want);
        EXPECT_TRUE(archive_of("ns.pcap", ns.bytes()) == want);
        EXPECT_TRUE(archive_of("ng.pcapng", ng.bytes()) == want);
        EXPECT_TRUE(archive_of("le.pcap.gz", gzip(le.bytes())) == want);
    }
}

} // namespace
} // namespace vexlor
