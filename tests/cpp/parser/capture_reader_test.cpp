// The capture readers: classic pcap in either byte order and unit, cut at
// every length; and pcapng, read by default (one interface table, fixed at
// opening, and the first section's byte order) and wide
// (ReaderOptions{.wide = true}: every section and interface as it comes,
// obsolete Packet Blocks, records of unknown interfaces skipped).
#include <gtest/gtest.h>

#include <tuple>

#include "parser/pcap_format.h"
#include "reading.h"

namespace vexlor::test {
namespace {

// ---- classic pcap -------------------------------------------------------------------------------

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

// ---- pcapng -------------------------------------------------------------------------------------

constexpr std::uint32_t kShb = kPcapngBlockShb, kIdb = kPcapngBlockIdb, kEpb = kPcapngBlockEpb;
const std::string kLead = "Invalid PCAP-NG format: ";

PcapngBuilder section(bool big = false) {
    PcapngBuilder b{.big_endian = big};
    return std::move(b.shb());
}
Reading wide(const Bytes& b) {
    return reading(b, {.wide = true});
}
std::uint32_t link_type(const Bytes& b, bool wide = false) {
    return (*open_reader(SharedBytes::from_vector(b), {.wide = wide}))->link_type();
}

// Ticks to seconds and microseconds per if_tsresol, and the walk through
// an IDB's options to find it.
TEST(PcapngReader, ConvertsTicksPerIfTsresol) {
    const PcapngBuilder b;
    const Bytes end = b.option(0, {}), ms = b.option(9, {3});
    const auto res = [&](std::uint8_t r) { return cat({b.option(9, {r}), end}); };
    constexpr std::uint64_t kT = 1234567890, kBig = 12345678901234567890u; // near 2^64
    const struct {
        Bytes options;
        std::uint64_t ticks;
        std::uint32_t sec, usec;
    } cases[] = {
        {res(9), 1700000000123456789, 1700000000, 123456},
        {res(1), 15, 1, 500000},
        {res(7), 12345678, 1, 234567},
        {res(0), (1ull << 32) + 5, 5, 0}, // seconds keep their low 32 bits
        {res(19), kBig, 1, 234567},
        // Above 19 the tick rate exceeds 2^64 per second: all within the
        // first second, microseconds exact.
        {res(20), kBig, 0, 123456},
        {res(25), kBig, 0, 1},
        {res(26), kBig, 0, 0},
        {res(127), ~0ull, 0, 0},
        {cat({b.option(2, {'e', 't', 'h', '0', 'x'}), ms, end}), kT, 1234567, 890000}, // padding
        {cat({ms, res(9)}), kT, 1, 234567},              // the later one wins
        {cat({b.option(9, {}), end}), kT, 1234, 567890}, // empty value
        {cat({end, ms}), kT, 1234, 567890},              // after the end
        {ms, kT, 1234567, 890000},                       // no end of options
        {set(ms, 2, 200), kT, 1234, 567890},             // a value past the block
        {res(0x8A), kT, 1234, 567890},                   // powers of two are not guessed at
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Bytes f =
            section().idb(1, -1, 65535, cases[i].options).epb(0, cases[i].ticks, {1}).bytes();
        EXPECT_EQ(reading(f).records, (std::vector<Rec>{{cases[i].sec, cases[i].usec, 1, 1, {1}}}))
            << "case " << i;
    }
}

// 1.5 s in microsecond ticks; the same instant in milli- and nanoseconds.
constexpr std::uint64_t kUs = 1500000, kMs = 1500, kNs = 1500000000;

// A record of 1.5 s unless told, whose original length is its frame's.
Rec r(std::uint32_t link, const Bytes& frame, std::uint32_t sec = 1, std::uint32_t usec = 500000,
      std::int64_t orig_len = -1) {
    return {sec, usec, static_cast<std::uint32_t>(orig_len < 0 ? frame.size() : orig_len), link,
            frame};
}

// One file each, its first section in either byte order, and what the wide
// and the default reading make of it.  The file's link type is the first
// interface's (wide: interface 0's in the section of the first packet),
// Ethernet without one.
struct Case {
    const char* name;
    Bytes (*build)(bool big);
    std::vector<Rec> wide;
    std::uint64_t skipped;
    std::vector<std::uint32_t> seen;
    std::vector<Rec> fixed;
    std::uint32_t wide_link = 1, fixed_link = 1;
};

// clang-format off
const Case kCases[] = {
    // An interface statistics block is skipped.
    {"one_section", [](bool big) {
         return section(big).idb(1).block(5, repeat(0, 12)).epb(0, kUs, {1, 2, 3}, 60).bytes(); },
     {r(1, {1, 2, 3}, 1, 500000, 60)}, 0, {1}, {r(1, {1, 2, 3}, 1, 500000, 60)}},
    // By default the first section's byte order stays: the other order's
    // EPB seems to claim a length past the end, which ends the data.
    {"sections_of_both_byte_orders", [](bool big) {
         return cat({section(big).idb(1).epb(0, kUs, {1}).bytes(),
                     section(!big).idb(113, 3).epb(0, kMs, {2}).bytes(),
                     section(big).idb(105).idb(1).epb(1, kUs, {3}).epb(0, kUs, {4}).bytes()}); },
     {r(1, {1}), r(113, {2}), r(1, {3}), r(105, {4})}, 0, {1, 113, 105}, {r(1, {1})}},
    // By default every section before the first packet adds to the table.
    {"sections_before_the_first_packet", [](bool big) {
         return cat({section(big).idb(1).bytes(), section(!big).idb(113, 3).epb(1, kMs, {7}).bytes()}); },
     {}, 1, {}, {r(113, {7})}, 113, 1},
    // By default interface 1 is unknown: microseconds, Ethernet.
    {"idb_after_epb", [](bool big) {
         return section(big).idb(1).epb(0, kUs, {1}).idb(113, 9).epb(1, kNs, {2}).bytes(); },
     {r(1, {1}), r(113, {2})}, 0, {1, 113}, {r(1, {1}), r(1, {2}, 1500, 0)}},
    {"obsolete_packet_blocks", [](bool big) {
         return section(big).idb(1).idb(101).opb(1, 7, kUs, {1, 2}).epb(0, kUs, {3}).opb(0, 0, kUs, {4}).bytes(); },
     {r(101, {1, 2}), r(1, {3}), r(1, {4})}, 0, {101, 1}, {r(1, {3})}},
    // Ids past the table, and SPBs of a section without interfaces.
    {"unknown_interfaces_skipped", [](bool big) {
         return cat({section(big).idb(1).epb(3, kUs, {1}).epb(0, kUs, {2}).opb(1, 0, kUs, {3}).bytes(),
                     section(big).spb({4}, 1).epb(0, kUs, {5}).bytes()}); },
     {r(1, {2})}, 4, {1}, {r(1, {1}), r(1, {2}), r(1, {4, 0, 0, 0}, 0, 0, 1), r(1, {5})}},
    {"if_tsresol_in_a_later_section", [](bool big) {
         return cat({section(big).idb(1).epb(0, kUs, {1}).bytes(), section(big).idb(1, 3).epb(0, kMs, {2}).bytes()}); },
     {r(1, {1}), r(1, {2})}, 0, {1}, {r(1, {1}), r(1, {2}, 0, 1500)}},
    // A new section empties the table even when it declares nothing.
    {"a_section_header_forgets_interfaces", [](bool big) {
         return cat({section(big).idb(113).epb(0, kUs, {1}).bytes(),
                     section(big).epb(0, kUs, {2}).idb(0).epb(0, kUs, {3}).bytes()}); },
     {r(113, {1}), r(0, {3})}, 1, {113, 0}, {r(113, {1}), r(113, {2}), r(113, {3})}, 113, 113},
    {"mixed_link_types", [](bool big) {
         return section(big).idb(1).idb(0).epb(1, kUs, {1}).epb(0, kUs, {2}).epb(1, kUs, {3}).bytes(); },
     {r(0, {1}), r(1, {2}), r(0, {3})}, 0, {0, 1}, {r(0, {1}), r(1, {2}), r(0, {3})}},
    // An SPB takes interface 0's link type and holds no more than the
    // original and snapshot lengths; by default all of its body, padding
    // too, on Ethernet.  One without bytes yields nothing, and the packets
    // behind it are not lost.
    {"simple_packet_blocks", [](bool big) {
         return section(big).idb(113, -1, 4).epb(0, 0, {}, 60).spb({1, 2, 3, 4, 5, 6}, 6).spb({}, 0).spb({7, 8}, 2).bytes(); },
     {r(113, {}, 0, 0, 60), r(113, {1, 2, 3, 4}, 0, 0, 6), r(113, {7, 8}, 0, 0)}, 0, {113},
     {r(113, {}, 0, 0, 60), r(1, {1, 2, 3, 4, 5, 6, 0, 0}, 0, 0, 6), r(1, {7, 8, 0, 0}, 0, 0, 2)}, 113, 113},
    {"no_interfaces", [](bool big) { return section(big).epb(0, kUs, {1}).bytes(); },
     {}, 1, {}, {r(1, {1})}},
    // Ticks of 2^-10 s and an offset of 100 s: read widely only.
    {"binary_resolution_and_offset", [](bool big) {
         auto s = section(big);
         return s.idb(1, -1, 65535, cat({s.option(9, {0x8A}), s.option(14, s.num(100, 8)), s.option(0, {})}))
             .epb(0, 1536, {1}).bytes(); },
     {r(1, {1}, 101, 500000)}, 0, {1}, {r(1, {1}, 0, 1536)}},
};
// clang-format on

class PcapngCase : public ::testing::TestWithParam<std::tuple<Case, bool>> {};

TEST_P(PcapngCase, ReadsRecordByRecord) {
    const auto& [c, big] = GetParam();
    const Bytes file = c.build(big);
    const Reading w = wide(file), fixed = reading(file);
    EXPECT_EQ(w.records, c.wide);
    EXPECT_EQ(w.error, std::nullopt);
    EXPECT_EQ(w.skipped, c.skipped);
    EXPECT_EQ(w.link_types, c.seen);
    EXPECT_EQ(fixed.records, c.fixed);
    EXPECT_EQ(fixed.error, std::nullopt);
    EXPECT_EQ(fixed.skipped, 0u);
    EXPECT_EQ(std::pair(link_type(file, true), link_type(file)),
              std::pair(c.wide_link, c.fixed_link));
    // Cut anywhere, both readings give the records before the cut and no
    // error: a cut-off SHB is as harmless as a cut-off packet.
    for (std::size_t n = 4; n < file.size(); ++n) {
        for (const auto& [got, whole] :
             {std::pair{wide(cut(file, n)), &c.wide}, {reading(cut(file, n)), &c.fixed}}) {
            ASSERT_LE(got.records.size(), whole->size()) << n;
            EXPECT_TRUE(std::equal(got.records.begin(), got.records.end(), whole->begin())) << n;
            EXPECT_EQ(got.error, std::nullopt) << n;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Built, PcapngCase,
                         ::testing::Combine(::testing::ValuesIn(kCases), ::testing::Bool()),
                         [](const auto& i) {
                             return std::get<0>(i.param).name +
                                    std::string(std::get<1>(i.param) ? "_be" : "_le");
                         });

// Odd and broken blocks: how many packets each reading gives before the
// end of data or the error (after kLead; none: end of data).  A wide
// reading reads later SHBs and IDBs, so their faults are its errors; the
// default reading skips them.
TEST(PcapngReader, BrokenBlocks) {
    const auto body = [](std::uint32_t caplen) { // of an EPB or OPB: 12 bytes, lengths, frame
        return cat({Bytes(12, 0), le({{caplen, 4}, {caplen, 4}}), repeat(1, 8)});
    };
    const Bytes swapped_magic = {0xEF, 0xBE, 0xAD, 0xDE, 0, 0, 0, 0};
    const char *exceeds = "EPB packet data exceeds block",
               *bad_magic = "Unknown byte order magic: 0xDEADBEEF";
    const struct {
        Bytes bytes;
        std::size_t packets;
        const char* error;
        std::size_t wide_packets;
        const char* wide_error;
    } cases[] = {
        // clang-format off
        {PcapngBuilder{}.block(kShb, {0x4D, 0x3C, 0x2B, 0x1A}, 12).bytes(), 0, "SHB too short", 0, "SHB too short"},
        {PcapngBuilder{}.block(kShb, swapped_magic).bytes(), 0, bad_magic, 0, bad_magic},
        {section().block(kIdb, repeat(0, 4)).bytes(), 0, "IDB too short", 0, "IDB too short"},
        // A packet's own fault comes before the question of its interface.
        {section().epb(0, 0, {1}).block(kEpb, repeat(0, 16)).bytes(), 1, "EPB too short", 0, "EPB too short"},
        {section().idb(1).block(kEpb, body(8)).bytes(), 1, nullptr, 1, nullptr}, // fills the body exactly
        {section().idb(1).block(kEpb, body(9)).bytes(), 0, exceeds, 0, exceeds},
        // 28 + 0xFFFFFFF0 wraps to 12 in 32 bits and would pass for a short frame.
        {section().idb(1).block(kEpb, body(0xFFFFFFF0)).bytes(), 0, exceeds, 0, exceeds},
        {section().block(kPcapngBlockSpb, {}).bytes(), 0, "SPB too short", 0, "SPB too short"},
        {section().idb(1).block(kPcapngBlockOpb, repeat(0, 16)).bytes(), 0, nullptr, 0, "OPB too short"},
        {section().idb(1).block(kPcapngBlockOpb, body(8)).bytes(), 0, nullptr, 1, nullptr},
        {section().idb(1).block(kPcapngBlockOpb, body(9)).bytes(), 0, nullptr, 0, "OPB packet data exceeds block"},
        {section().epb(0, 0, {1}).block(kShb, swapped_magic).bytes(), 1, nullptr, 0, bad_magic},
        {section().idb(1).epb(0, 0, {1}).block(kShb, {0x4D, 0x3C, 0x2B, 0x1A}, 12).bytes(), 1, nullptr, 1, "SHB too short"},
        {section().idb(1).epb(0, 0, {1}).block(kIdb, repeat(0, 4)).bytes(), 1, nullptr, 1, "IDB too short"},
        // Unknown blocks are skipped to the next 32-bit boundary, before the
        // first packet block and after it.
        {cat({section().idb(1).block(0x0BAD, {0x77}).bytes(), {0, 0, 0},
              PcapngBuilder{}.epb(0, 0, {4}).block(0x0BAD, {0x77}).bytes(), {0, 0, 0},
              PcapngBuilder{}.epb(0, 0, {5}).bytes()}), 2, nullptr, 2, nullptr},
        // Block heads that do not fit end the data without an error: six
        // bytes, a length below 12 (the wide reading's error: the blocks
        // behind it are lost, before the first packet block too), a length
        // past the end (that would wrap).
        {{0x0A, 0x0D, 0x0D, 0x0A, 0, 0}, 0, nullptr, 0, nullptr},
        {section().idb(1).epb(0, 0, {1}).block(9, {}, 8).epb(0, 0, {2}).bytes(), 1, nullptr, 1,
         "block at byte 84 has a total length of 8, below the 12 bytes of any block"},
        {section().block(kIdb, {}, 0).idb(1).epb(0, 0, {2}).bytes(), 0, nullptr, 0,
         "block at byte 28 has a total length of 0, below the 12 bytes of any block"},
        {section().idb(1).epb(0, 0, {1}).block(9, {}, 0xFFFFFFFD).epb(0, 0, {2}).bytes(), 1, nullptr, 1, nullptr},
        // Before the first packet block this stops the header scan; reading
        // resumes 8 bytes into the block and finds nothing usable.
        {section().block(kEpb, repeat(0, 20), 0xFFFFFFFC).bytes(), 0, nullptr, 0, nullptr},
        // clang-format on
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        const auto error = [](const char* e) {
            return e ? std::optional(kLead + e) : std::nullopt;
        };
        const Reading fixed = reading(c.bytes), w = wide(c.bytes);
        EXPECT_EQ(fixed.records.size(), c.packets) << i;
        EXPECT_EQ(fixed.error, error(c.error)) << i;
        EXPECT_EQ(w.records.size(), c.wide_packets) << i;
        EXPECT_EQ(w.error, error(c.wide_error)) << i;
    }
}

// The real captures beside the project that a default reading gets wrong:
// the wide reading reads what tshark reads.  (That every capture reads to the
// end, with the manifest's packet count or its exact error, is checked through
// the module in tests/python/test_interop.py.)
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
