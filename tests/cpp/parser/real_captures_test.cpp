// The real captures beside the project that a default reading of pcapng gets
// wrong: the wide reading reads what tshark reads.  (That every capture reads
// to the end, with the manifest's packet count or its exact error, is checked
// through the module in tests/python/test_interop.py.)
#include <gtest/gtest.h>

#include "reading.h"

namespace vexlor::test {
namespace {

// What tshark 4.0 reads: its frames (with an encapsulation), the sum of their
// captured lengths, the first and last time (SPBs have none: 0) and the link
// types in the order they appear.  Every record's time and captured length
// in all the pcapng captures were compared with tshark's once; these numbers
// keep that check for the files a default reading gets wrong.
TEST(RealCapture, WideReadingReadsWhatTsharkReads) {
    SKIP_WITHOUT_CAPTURES();
    using Time = std::pair<std::uint32_t, std::uint32_t>;
    constexpr Time kGen{1340954905, 298858}, kGenLast{1340954905, 301858}; // the generator's
    const struct {
        const char* file;
        std::size_t packets;
        std::uint64_t caplen_sum;
        Time first, last;
        std::vector<std::uint32_t> seen;
    } cases[] = {
        // clang-format off
        {"pcapng-test-generator/le-test202-sections-mixed-endianness.pcapng", 8, 1040, kGen, kGenLast, {1, 0}},
        {"pcapng-test-generator/be-test202-sections-mixed-endianness.pcapng", 8, 1040, kGen, kGenLast, {1, 0}},
        {"pcapng-test-generator/le-test005-idb-after-epb.pcapng", 4, 448, kGen, kGenLast, {1}},
        {"scapy/pcapng-be-obsolete-packet-blocks-named-pcap.pcap", 200, 38656, {1586191795, 10193},
         {1586191795, 488267}, {101}},
        {"pcapplusplus/pcapng-11-interfaces-eth-and-null.pcapng", 64, 15954, {1439753725, 701607},
         {1439753728, 292345}, {1, 0}},
        {"pcapplusplus/pcapng-6-interfaces-mixed-tsresol-eth-sll.pcapng", 25, 6656, {1103276405, 901593},
         {1717403202, 805000}, {1, 113}},
        // clang-format on
    };
    for (const auto& c : cases) {
        const Reading got = reading(capture_bytes(c.file), {.wide = true});
        EXPECT_EQ(got.error, std::nullopt) << c.file;
        ASSERT_EQ(got.records.size(), c.packets) << c.file;
        EXPECT_EQ(got.skipped, 0u) << c.file;
        EXPECT_EQ(got.link_types, c.seen) << c.file;
        std::uint64_t sum = 0;
        for (const Rec& r : got.records) {
            sum += r.frame.size();
        }
        EXPECT_EQ(sum, c.caplen_sum) << c.file;
        EXPECT_EQ(Time(got.records.front().ts_sec, got.records.front().ts_usec), c.first) << c.file;
        EXPECT_EQ(Time(got.records.back().ts_sec, got.records.back().ts_usec), c.last) << c.file;
    }
}

} // namespace
} // namespace vexlor::test
