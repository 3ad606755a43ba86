#include <gtest/gtest.h>

#include "reader_support.h"

namespace vexlor::test {
namespace {

constexpr std::uint32_t kShb = 0x0A0D0D0A;
constexpr std::uint32_t kIdb = 1;
constexpr std::uint32_t kSpb = 3;
constexpr std::uint32_t kEpb = 6;

PcapngBuilder section() {
    return std::move(PcapngBuilder{}.shb());
}

Bytes option(const PcapngBuilder& b, std::uint16_t code, const Bytes& value) {
    Bytes o;
    b.u16(o, code);
    b.u16(o, static_cast<std::uint16_t>(value.size()));
    o.insert(o.end(), value.begin(), value.end());
    o.resize((o.size() + 3) / 4 * 4);
    return o;
}

// An IDB whose option area is exactly `options`, end-of-options included or not.
PcapngBuilder& idb_with(PcapngBuilder& b, std::uint16_t link, const Bytes& options) {
    Bytes body;
    b.u16(body, link);
    b.u16(body, 0);
    b.u32(body, 65535);
    return b.block(kIdb, cat({body, options}));
}

// A little-endian EPB body with the given captured-length field and frame.
Bytes epb_body(std::uint32_t caplen, const Bytes& frame) {
    Bytes body;
    for (std::uint32_t v : {0u, 0u, 0u, caplen, caplen}) {
        put_u32le(body, v);
    }
    return cat({body, frame});
}

std::uint32_t link_type_of(const Bytes& bytes) {
    return (*open_reader(SharedBytes::from_vector(bytes)))->link_type();
}

// Interfaces declared before the first packet block form the table; ids
// outside it, including interfaces declared later, get microseconds and
// Ethernet.
TEST(PcapngReader, InterfaceTableIsFixedAtOpening) {
    PcapngBuilder b = section();
    b.idb(1).idb(113, 65535, 3).epb(0, 2500000, {1}).epb(1, 2500, {2}).epb(5, 2500000, {3});
    b.idb(105, 65535, 9).epb(2, 2500000, {4});
    const Drained got = drain(b.bytes());
    EXPECT_EQ(got.records, (std::vector<Rec>{{2, 500000, 1, 1, {1}},
                                             {2, 500000, 1, 113, {2}},
                                             {2, 500000, 1, 1, {3}},
                                             {2, 500000, 1, 1, {4}}}));
    EXPECT_FALSE(got.error);
    // The file's link type is the first interface's, Ethernet without one.
    EXPECT_EQ(link_type_of(b.bytes()), 1u);
    EXPECT_EQ(link_type_of(section().idb(113).idb(1).bytes()), 113u);
    EXPECT_EQ(link_type_of(section().epb(0, 0, {1}).bytes()), 1u);
}

// Ticks to seconds and microseconds per if_tsresol, and the walk through
// an IDB's options to find it.
TEST(PcapngReader, ConvertsTicksPerIfTsresol) {
    const PcapngBuilder b;
    const Bytes end = option(b, 0, {});
    const auto res = [&](std::uint8_t r) { return cat({option(b, 9, {r}), end}); };
    const Bytes ms = option(b, 9, {3});
    Bytes past_body = ms; // the value length claims more than the block holds
    past_body[2] = 200;
    constexpr std::uint64_t kT = 1234567890;
    constexpr std::uint64_t kBig = 12345678901234567890u; // near 2^64
    const struct {
        Bytes options;
        std::uint64_t ticks;
        std::uint32_t sec;
        std::uint32_t usec;
    } cases[] = {
        {{}, kT, 1234, 567890},
        {res(9), 1700000000123456789, 1700000000, 123456},
        {res(3), kT, 1234567, 890000},
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
        {cat({option(b, 2, {'e', 't', 'h', '0', 'x'}), ms, end}), kT, 1234567, 890000}, // padding
        {cat({ms, res(9)}), kT, 1, 234567},               // the later one wins
        {cat({option(b, 9, {}), end}), kT, 1234, 567890}, // empty value
        {cat({end, ms}), kT, 1234, 567890},               // after the end
        {ms, kT, 1234567, 890000},                        // no end of options
        {past_body, kT, 1234, 567890},
        {res(0x8A), kT, 1234, 567890}, // powers of two are not guessed at
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        PcapngBuilder f = section();
        idb_with(f, 1, cases[i].options).epb(0, cases[i].ticks, {1});
        const Drained got = drain(f.bytes());
        ASSERT_EQ(got.records.size(), 1u);
        EXPECT_EQ(got.records[0], (Rec{cases[i].sec, cases[i].usec, 1, 1, {1}})) << "case " << i;
    }
}

TEST(PcapngReader, PacketBlocks) {
    // An SPB with no bytes after its original length yields no packet, but
    // the packets behind it are not lost.
    PcapngBuilder b = section();
    b.idb(113).epb(0, 0, {}, 60).spb({}, 60).spb({1, 2, 3, 4}, 1514).spb({9, 9, 9, 9, 9}, 5);
    const Drained got = drain(b.bytes());
    EXPECT_EQ(got.records, (std::vector<Rec>{{0, 0, 60, 113, {}},
                                             // SPBs: no time, always Ethernet, padding included.
                                             {0, 0, 1514, 1, {1, 2, 3, 4}},
                                             {0, 0, 5, 1, {9, 9, 9, 9, 9, 0, 0, 0}}}));
    EXPECT_FALSE(got.error);
}

// A file cut anywhere inside its last block keeps the earlier packets and
// ends without an error.
TEST(PcapngReader, CutOffLastBlockEndsTheData) {
    PcapngBuilder b = section();
    const Bytes one = b.idb(1).epb(0, 1, repeat(1, 30)).bytes();
    const Bytes full = b.epb(0, 2, repeat(2, 30)).bytes();
    for (std::size_t n = one.size(); n < full.size(); ++n) {
        const Drained got = drain(prefix(full, n));
        EXPECT_EQ(got.records.size(), 1u) << n;
        EXPECT_FALSE(got.error) << n;
    }
}

TEST(PcapngReader, BigEndianSectionReadsLikeLittleEndian) {
    auto build = [](bool big) {
        PcapngBuilder b;
        b.big_endian = big;
        b.shb();
        idb_with(b, 113, cat({option(b, 2, {'l', 'o'}), option(b, 9, {3}), option(b, 0, {})}));
        b.idb(1, 96, 9).block(0x00000005, repeat(0, 12)); // interface statistics
        b.epb(0, 1234567, repeat(3, 7), 1500).epb(1, 1700000000123456789, repeat(4, 60));
        return b.spb(repeat(5, 6), 6).epb(7, 42, {}).bytes();
    };
    const Drained le = drain(build(false));
    const Drained be = drain(build(true));
    ASSERT_EQ(le.records.size(), 4u);
    EXPECT_EQ(le.records[0], (Rec{1234, 567000, 1500, 113, repeat(3, 7)}));
    EXPECT_EQ(le.records, be.records);
    EXPECT_FALSE(le.error || be.error);
}

TEST(PcapngReader, HeaderScanFollowsEverySectionBeforeThePackets) {
    PcapngBuilder be;
    be.big_endian = true;
    be.shb().idb(113, 65535, 3).epb(1, 1500, {7});
    EXPECT_EQ(drain(cat({section().idb(1).bytes(), be.bytes()})).records,
              (std::vector<Rec>{{1, 500000, 1, 113, {7}}}));
}

// Odd and broken blocks: how many packets come before the end of data or
// the error.
TEST(PcapngReader, BlockEdgeCases) {
    const Bytes word = repeat(1, 8);
    const char* exceeds = "EPB packet data exceeds block";
    const struct {
        Bytes bytes;
        std::size_t packets;
        const char* error; // after "Invalid PCAP-NG format: "; nullptr: end of data
    } cases[] = {
        {PcapngBuilder{}.block(kShb, {0x4D, 0x3C, 0x2B, 0x1A}, 12).bytes(), 0, "SHB too short"},
        {PcapngBuilder{}.block(kShb, {0xEF, 0xBE, 0xAD, 0xDE, 0, 0, 0, 0}).bytes(), 0,
         "Unknown byte order magic: 0xDEADBEEF"},
        {section().block(kIdb, repeat(0, 4)).bytes(), 0, "IDB too short"},
        {section().epb(0, 0, {1}).block(kEpb, repeat(0, 16)).bytes(), 1, "EPB too short"},
        {section().block(kEpb, epb_body(8, word)).bytes(), 1, nullptr}, // fills the body exactly
        {section().block(kEpb, epb_body(9, word)).bytes(), 0, exceeds},
        // 28 + 0xFFFFFFF0 wraps to 12 in 32 bits and would pass for a short frame.
        {section().block(kEpb, epb_body(0xFFFFFFF0, word)).bytes(), 0, exceeds},
        {section().block(kSpb, {}).bytes(), 0, "SPB too short"},
        // Unknown blocks are skipped to the next 32-bit boundary, before the
        // first packet block and after it.
        {cat({section().block(0x0BAD, {0x77}).bytes(),
              {0, 0, 0},
              PcapngBuilder{}.epb(0, 0, {4}).block(0x0BAD, {0x77}).bytes(),
              {0, 0, 0},
              PcapngBuilder{}.epb(0, 0, {5}).bytes()}),
         2, nullptr},
        // Block heads that do not fit end the data without an error: six
        // bytes, a length below 12, a length past the end (that would wrap).
        {{0x0A, 0x0D, 0x0D, 0x0A, 0, 0}, 0, nullptr},
        {section().epb(0, 0, {1}).block(9, {}, 8).epb(0, 0, {2}).bytes(), 1, nullptr},
        {section().epb(0, 0, {1}).block(9, {}, 0xFFFFFFFD).epb(0, 0, {2}).bytes(), 1, nullptr},
        // Before the first packet block this stops the header scan; reading
        // resumes 8 bytes into the block and finds nothing usable.
        {section().block(kEpb, repeat(0, 20), 0xFFFFFFFC).bytes(), 0, nullptr},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        const Drained got = drain(c.bytes);
        EXPECT_EQ(got.records.size(), c.packets) << i;
        const std::string lead = "Invalid PCAP-NG format: ";
        EXPECT_EQ(got.error, c.error ? std::optional(lead + c.error) : std::nullopt) << i;
    }
}

} // namespace
} // namespace vexlor::test
