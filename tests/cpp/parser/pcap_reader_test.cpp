#include <gtest/gtest.h>

#include <tuple>

#include "reading.h"

namespace vexlor::test {
namespace {

std::string incl_len_error(std::uint32_t incl_len, std::uint64_t offset) {
    return "Invalid PCAP format: packet incl_len " + std::to_string(incl_len) +
           " exceeds remaining data at offset " + std::to_string(offset);
}

// Byte order x sub-second unit: the same records come back from all four
// layouts, with nanoseconds cut down to microseconds.
class PcapLayout : public ::testing::TestWithParam<std::tuple<bool, bool>> {};

TEST_P(PcapLayout, ReadsRecordsInFileOrder) {
    const auto [big, ns] = GetParam();
    const std::uint32_t link = 0x30000069; // all 32 bits of the network field count
    // The version says nothing we use.
    PcapBuilder b{.big_endian = big, .nanosecond = ns, .link_type = link, .version_major = 0xFFFF};
    b.packet(1700000000, 999999999, repeat(1, 60))
        .packet(0xFFFFFFFF, 1500000, {2}, 9000) // captured less than the wire
        .packet(3, 0, {}, 0)                    // the next header follows at once
        .packet(4, 1000, repeat(3, 70000), 5);  // captured more than the wire
    const std::vector<Rec> want = {
        {1700000000, ns ? 999999u : 999999999u, 60, link, repeat(1, 60)},
        {0xFFFFFFFF, ns ? 1500u : 1500000u, 9000, link, {2}},
        {3, 0, 0, link, {}},
        {4, ns ? 1u : 1000u, 5, link, repeat(3, 70000)},
    };
    const Reading got = reading(b.bytes());
    EXPECT_EQ(got.records, want);
    EXPECT_FALSE(got.error);
}

INSTANTIATE_TEST_SUITE_P(ByteOrderAndUnit, PcapLayout,
                         ::testing::Combine(::testing::Bool(), ::testing::Bool()));

// Cut a two-record file at every length.  Too short for a magic number: an
// unknown format (as is a foreign one); a pcap magic without the rest of the
// global header: a pcap error.  A record header cut short ends the data
// quietly; frame bytes cut short are an error naming the frame's offset.
TEST(PcapReader, CutAtEveryLength) {
    const Bytes full =
        PcapBuilder{}.packet(1, 0, repeat(1, 10)).packet(2, 0, repeat(2, 20)).bytes();
    const std::size_t second = 24 + 16 + 10; // start of the second record header
    const std::string unknown = "Unsupported file format (unknown magic number)";
    EXPECT_EQ(reading(Bytes{'h', 'e', 'l', 'l', 'o'}).error, unknown);
    for (std::size_t n = 0; n < full.size(); ++n) {
        const Reading got = reading(cut(full, n));
        EXPECT_EQ(got.records.size(), n < second ? 0u : 1u) << n;
        if (n < 24) {
            EXPECT_EQ(got.error,
                      n < 4 ? unknown : "Invalid PCAP format: file too small for global header")
                << n;
        } else if (n < 24 + 16 || (n >= second && n < second + 16)) {
            EXPECT_FALSE(got.error) << n;
        } else {
            EXPECT_EQ(got.error,
                      n < second ? incl_len_error(10, 40) : incl_len_error(20, second + 16))
                << n;
        }
    }
    // The second frame starts at offset 60; 60 + 0xFFFFFFC4 is exactly 2^32,
    // which 32-bit arithmetic would take for 0.
    for (std::uint32_t len : {0xFFFFFFFFu, 0xFFFFFFC4u, 0x80000000u}) {
        const Reading got = reading(
            PcapBuilder{}.packet(1, 0, repeat(0, 4)).record(2, 0, len, 0, repeat(0, 64)).bytes());
        EXPECT_EQ(got.records.size(), 1u);
        EXPECT_EQ(got.error, incl_len_error(len, 24 + 16 + 4 + 16));
    }
}

} // namespace
} // namespace vexlor::test
