#include "parser/pcap/pcap_reader.h"

#include "reader_support.h"

#include <gtest/gtest.h>

namespace vexlor::test {
namespace {

Bytes frame_of(std::size_t n, std::uint8_t seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) {
        b[i] = static_cast<std::uint8_t>(seed + i);
    }
    return b;
}

std::string incl_len_error(std::uint32_t incl_len, std::uint64_t offset) {
    return "Invalid PCAP format: packet incl_len " + std::to_string(incl_len) +
           " exceeds remaining data at offset " + std::to_string(offset);
}

// Byte order x sub-second unit: the same records come back from all four
// layouts, with nanoseconds cut down to microseconds.
struct Layout {
    bool big_endian;
    bool nanosecond;
};

class PcapLayout : public ::testing::TestWithParam<Layout> {};

TEST_P(PcapLayout, ReadsRecordsInFileOrder) {
    PcapBuilder b;
    b.big_endian = GetParam().big_endian;
    b.nanosecond = GetParam().nanosecond;
    b.link_type = 0x30000069; // all 32 bits of the network field count
    b.packet(1700000000, 999999999, frame_of(60, 1))
        .packet(0xFFFFFFFF, 1500000, frame_of(1, 2), 9000) // captured less than the wire
        .packet(3, 0, {}, 0)
        .packet(4, 1000, frame_of(70000, 3), 5); // captured more than the wire
    auto reader = open_bytes(b.bytes());
    ASSERT_TRUE(reader);
    EXPECT_EQ(reader->link_type(), 0x30000069u);
    auto* pcap = dynamic_cast<PcapReader*>(reader.get());
    ASSERT_NE(pcap, nullptr);
    EXPECT_EQ(pcap->swapped(), GetParam().big_endian);
    EXPECT_EQ(pcap->nanosecond(), GetParam().nanosecond);
    EXPECT_EQ(pcap->snaplen(), 65535u);

    const bool ns = GetParam().nanosecond;
    const std::uint32_t link = 0x30000069;
    std::vector<Rec> want = {
        {1700000000, ns ? 999999u : 999999999u, 60, link, frame_of(60, 1)},
        {0xFFFFFFFF, ns ? 1500u : 1500000u, 9000, link, frame_of(1, 2)},
        {3, 0, 0, link, {}},
        {4, ns ? 1u : 1000u, 5, link, frame_of(70000, 3)},
    };
    Drained got = drain(*reader);
    EXPECT_EQ(got.records, want);
    EXPECT_FALSE(got.error);
}

INSTANTIATE_TEST_SUITE_P(ByteOrderAndUnit, PcapLayout,
                         ::testing::Values(Layout{false, false}, Layout{false, true},
                                           Layout{true, false}, Layout{true, true}),
                         [](const auto& info) {
                             return std::string(info.param.big_endian ? "Big" : "Little") +
                                    (info.param.nanosecond ? "Nano" : "Micro");
                         });

TEST(PcapReader, ShortGlobalHeaderFailsToOpen) {
    Bytes full = PcapBuilder{}.bytes();
    for (std::size_t n = 4; n < 24; ++n) {
        Bytes cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
        EXPECT_EQ(open_error(cut), "Invalid PCAP format: file too small for global header") << n;
    }
    Bytes ten = {0xD4, 0xC3, 0xB2, 0xA1, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(open_error(ten), "Invalid PCAP format: file too small for global header");
}

TEST(PcapReader, VersionFieldsAreNotChecked) {
    for (auto [major, minor] : {std::pair{2, 2}, {0, 0}, {0xFFFF, 0xFFFF}}) {
        PcapBuilder b;
        b.version_major = static_cast<std::uint16_t>(major);
        b.version_minor = static_cast<std::uint16_t>(minor);
        Drained got = drain(b.packet(7, 8, frame_of(20, 0)).bytes());
        ASSERT_EQ(got.records.size(), 1u) << major << "." << minor;
        EXPECT_EQ(got.records[0].ts_sec, 7u);
        EXPECT_FALSE(got.error);
    }
}

TEST(PcapReader, EmptyRecordIsFollowedSixteenBytesLater) {
    Bytes file = PcapBuilder{}.packet(1, 2, {}, 40).packet(3, 4, frame_of(5, 9)).bytes();
    ASSERT_EQ(file.size(), 24u + 16 + 16 + 5);
    Drained got = drain(file);
    EXPECT_EQ(got.records, (std::vector<Rec>{{1, 2, 40, 1, {}}, {3, 4, 5, 1, frame_of(5, 9)}}));
    EXPECT_FALSE(got.error);
}

// A record header cut short ends the data quietly; frame bytes cut short are
// an error naming the frame's offset.  Cut a two-record file at every length.
TEST(PcapReader, CutAtEveryLength) {
    Bytes full = PcapBuilder{}.packet(1, 0, frame_of(10, 0)).packet(2, 0, frame_of(20, 0)).bytes();
    const std::size_t second = 24 + 16 + 10; // start of the second record header
    for (std::size_t n = 24; n < full.size(); ++n) {
        Bytes cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
        Drained got = drain(cut);
        if (n < 24 + 16) {
            EXPECT_TRUE(got.records.empty() && !got.error) << n << ": " << got;
        } else if (n < second) {
            EXPECT_TRUE(got.records.empty()) << n;
            EXPECT_EQ(got.error, incl_len_error(10, 40)) << n;
        } else if (n < second + 16) {
            EXPECT_EQ(got.records.size(), 1u) << n;
            EXPECT_FALSE(got.error) << n;
        } else {
            EXPECT_EQ(got.records.size(), 1u) << n;
            EXPECT_EQ(got.error, incl_len_error(20, second + 16)) << n;
        }
    }
}

TEST(PcapReader, FrameUsingTheLastByteFitsOneMoreDoesNot) {
    Bytes exact = PcapBuilder{}.raw_record(1, 0, 11, 11, frame_of(11, 0)).bytes();
    Drained got = drain(exact);
    EXPECT_EQ(got.records.size(), 1u);
    EXPECT_FALSE(got.error);

    Bytes over = PcapBuilder{}.raw_record(1, 0, 12, 12, frame_of(11, 0)).bytes();
    got = drain(over);
    EXPECT_TRUE(got.records.empty());
    EXPECT_EQ(got.error, incl_len_error(12, 40));
}

TEST(PcapReader, HostileLengthDoesNotWrap) {
    // The second frame starts at offset 60; 60 + 0xFFFFFFC4 is exactly 2^32,
    // which 32-bit arithmetic would take for 0.
    for (std::uint32_t len : {0xFFFFFFFFu, 0xFFFFFFC4u, 0x80000000u}) {
        PcapBuilder b;
        b.packet(1, 0, frame_of(4, 0)).raw_record(2, 0, len, 0, frame_of(64, 0));
        Drained got = drain(b.bytes());
        EXPECT_EQ(got.records.size(), 1u);
        EXPECT_EQ(got.error, incl_len_error(len, 24 + 16 + 4 + 16));
    }
}

TEST(PcapReader, PacketsShareTheBufferAndOutliveTheReader) {
    Bytes file = PcapBuilder{}.packet(5, 6, frame_of(60, 7), 61).packet(8, 9, {}).bytes();
    auto reader = open_bytes(file);
    ASSERT_TRUE(reader);
    auto first = reader->next_packet();
    ASSERT_TRUE(first && *first);
    auto second = reader->next_packet();
    ASSERT_TRUE(second && *second);
    auto end = reader->next_packet();
    ASSERT_TRUE(end);
    EXPECT_FALSE(*end);
    // No copy: the frame is a slice of the reader's buffer.
    EXPECT_EQ((*first)->data.data(), reader->bytes().data() + 40);
    reader.reset();

    const Packet& p = **first;
    EXPECT_EQ(p.ts_sec, 5u);
    EXPECT_EQ(p.ts_usec, 6u);
    EXPECT_EQ(p.orig_len, 61u);
    EXPECT_EQ(p.caplen, 60u);
    EXPECT_EQ(Bytes(p.bytes().begin(), p.bytes().end()), frame_of(60, 7));
    EXPECT_EQ((*second)->caplen, 0u);
    EXPECT_TRUE((*second)->data.empty());
}

TEST(PcapReader, ErrorComesThroughNextPacket) {
    Bytes file = PcapBuilder{}.raw_record(1, 0, 1500, 1500, {}).bytes();
    auto reader = open_bytes(file);
    ASSERT_TRUE(reader);
    auto p = reader->next_packet();
    ASSERT_FALSE(p);
    EXPECT_EQ(p.error(), ParseError::invalid_pcap(
                             "packet incl_len 1500 exceeds remaining data at offset 40"));
}

} // namespace
} // namespace vexlor::test
