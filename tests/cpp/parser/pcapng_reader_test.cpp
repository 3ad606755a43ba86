#include "parser/pcapng/pcapng_reader.h"

#include "reader_support.h"

#include <gtest/gtest.h>

#include <tuple>

namespace vexlor::test {
namespace {

constexpr std::uint32_t kShb = 0x0A0D0D0A;
constexpr std::uint32_t kIdb = 1;
constexpr std::uint32_t kSpb = 3;
constexpr std::uint32_t kEpb = 6;

Bytes option(const PcapngBuilder& b, std::uint16_t code, const Bytes& value) {
    Bytes o;
    b.u16(o, code);
    b.u16(o, static_cast<std::uint16_t>(value.size()));
    o.insert(o.end(), value.begin(), value.end());
    while (o.size() % 4) {
        o.push_back(0);
    }
    return o;
}

// An IDB whose option area is exactly `options`, end-of-options included or not.
PcapngBuilder& idb_with(PcapngBuilder& b, std::uint16_t link, const Bytes& options) {
    Bytes body;
    b.u16(body, link);
    b.u16(body, 0);
    b.u32(body, 65535);
    body.insert(body.end(), options.begin(), options.end());
    return b.block(kIdb, body);
}

// An EPB body with the given captured-length field and frame bytes.
Bytes epb_body(const PcapngBuilder& b, std::uint32_t caplen, const Bytes& frame) {
    Bytes body;
    for (std::uint32_t v : {0u, 0u, 0u, caplen, caplen}) {
        b.u32(body, v);
    }
    body.insert(body.end(), frame.begin(), frame.end());
    return body;
}

std::unique_ptr<PcapngReader> open_ng(const Bytes& bytes) {
    auto reader = PcapngReader::open(SharedBytes::from_vector(bytes));
    EXPECT_TRUE(reader) << reader.error().display();
    return reader ? std::move(*reader) : nullptr;
}

// Timestamp conversion per if_tsresol, in both byte orders.
struct TsCase {
    int tsresol; // -1: no option
    std::uint64_t ticks;
    std::uint32_t sec;
    std::uint32_t usec;
};

class PcapngTsresol : public ::testing::TestWithParam<std::tuple<TsCase, bool>> {};

TEST_P(PcapngTsresol, ConvertsTicksToSecondsAndMicroseconds) {
    const auto [c, big] = GetParam();
    PcapngBuilder b;
    b.big_endian = big;
    Drained got = drain(b.shb().idb(1, 65535, c.tsresol).epb(0, c.ticks, {0xAB}).bytes());
    ASSERT_EQ(got.records.size(), 1u);
    EXPECT_EQ(got.records[0].ts_sec, c.sec);
    EXPECT_EQ(got.records[0].ts_usec, c.usec);
    EXPECT_FALSE(got.error);
}

constexpr std::uint64_t kBigTicks = 12345678901234567890u; // near 2^64
INSTANTIATE_TEST_SUITE_P(
    Resolutions, PcapngTsresol,
    ::testing::Combine(
        ::testing::Values(TsCase{-1, 1234567, 1, 234567},
                          TsCase{9, 1700000000123456789, 1700000000, 123456},
                          TsCase{3, 1234567, 1234, 567000}, TsCase{1, 15, 1, 500000},
                          TsCase{0, 77, 77, 0}, TsCase{0, (1ull << 32) + 5, 5, 0}, // low 32 bits
                          TsCase{7, 12345678, 1, 234567}, TsCase{0x86, 1234567, 1, 234567},
                          TsCase{19, kBigTicks, 1, 234567},
                          // Above 19 the tick rate exceeds 2^64 per second: all
                          // within the first second, microseconds exact.
                          TsCase{20, kBigTicks, 0, 123456}, TsCase{25, kBigTicks, 0, 1},
                          TsCase{26, kBigTicks, 0, 0}, TsCase{40, ~0ull, 0, 0},
                          TsCase{127, ~0ull, 0, 0}),
        ::testing::Bool()),
    [](const auto& info) {
        const TsCase& c = std::get<0>(info.param);
        return "Res" + (c.tsresol < 0 ? std::string("None") : std::to_string(c.tsresol)) + "_" +
               std::to_string(info.index) + (std::get<1>(info.param) ? "Big" : "Little");
    });

// Interfaces declared before the first packet block form the table; ids
// outside it, including interfaces declared later, get microseconds and
// Ethernet.
TEST(PcapngReader, InterfaceTableIsFixedAtOpening) {
    PcapngBuilder b;
    b.shb().idb(1).idb(113, 65535, 3);
    b.epb(0, 2500000, {1}).epb(1, 2500, {2}).epb(5, 2500000, {3});
    b.idb(105, 65535, 9).epb(2, 2500000, {4});
    auto reader = open_ng(b.bytes());
    ASSERT_TRUE(reader);
    EXPECT_EQ(reader->link_type(), 1u);
    ASSERT_EQ(reader->interfaces().size(), 2u);
    EXPECT_EQ(reader->interfaces()[1].units_per_second, 1000u);
    Drained got = drain(*reader);
    EXPECT_EQ(got.records, (std::vector<Rec>{{2, 500000, 1, 1, {1}},
                                             {2, 500000, 1, 113, {2}},
                                             {2, 500000, 1, 1, {3}},
                                             {2, 500000, 1, 1, {4}}}));
    EXPECT_FALSE(got.error);

    PcapngBuilder sll;
    EXPECT_EQ(open_ng(sll.shb().idb(113).idb(1).bytes())->link_type(), 113u);
    PcapngBuilder none;
    EXPECT_EQ(open_ng(none.shb().epb(0, 0, {1}).bytes())->link_type(), 1u);
}

TEST(PcapngReader, IfTsresolOptionWalk) {
    PcapngBuilder b;
    const Bytes ms = option(b, 9, {3});
    const Bytes end = option(b, 0, {});
    struct Case {
        const char* name;
        Bytes options;
        std::uint64_t units;
    };
    const Case cases[] = {
        {"no options", {}, 1000000},
        {"after a padded option", cat({option(b, 2, {'e', 't', 'h', '0', 'x'}), ms, end}), 1000},
        {"later one wins", cat({ms, option(b, 9, {9}), end}), 1000000000},
        {"empty value ignored", cat({option(b, 9, {}), end}), 1000000},
        {"after end of options", cat({end, ms}), 1000000},
        {"without end of options", ms, 1000},
        // The value length claims more than the block holds.
        {"value past the body", [&] {
             Bytes o = ms;
             o[b.big_endian ? 3 : 2] = 200;
             return o;
         }(),
         1000000},
        {"power of two ignored", cat({option(b, 9, {0x8A}), end}), 1000000},
    };
    for (const Case& c : cases) {
        PcapngBuilder f;
        f.shb();
        idb_with(f, 1, c.options);
        auto reader = open_ng(f.bytes());
        ASSERT_TRUE(reader) << c.name;
        ASSERT_EQ(reader->interfaces().size(), 1u) << c.name;
        EXPECT_EQ(reader->interfaces()[0].units_per_second, c.units) << c.name;
    }
}

TEST(PcapngReader, PacketBlocks) {
    PcapngBuilder b;
    b.shb().idb(113).epb(0, 0, {}, 60).spb({1, 2, 3, 4}, 1514).spb({9, 9, 9, 9, 9}, 5);
    Drained got = drain(b.bytes());
    EXPECT_EQ(got.records,
              (std::vector<Rec>{{0, 0, 60, 113, {}},
                                // SPBs: no time, always Ethernet, padding included.
                                {0, 0, 1514, 1, {1, 2, 3, 4}},
                                {0, 0, 5, 1, {9, 9, 9, 9, 9, 0, 0, 0}}}));
    EXPECT_FALSE(got.error);

    // An SPB with no bytes after its original length yields no packet, but
    // the packets behind it are not lost.
    PcapngBuilder empty;
    got = drain(empty.shb().spb({}, 60).epb(0, 0, {1}).bytes());
    EXPECT_EQ(got.records, (std::vector<Rec>{{0, 0, 1, 1, {1}}}));
    EXPECT_FALSE(got.error);
}

TEST(PcapngReader, EpbDataMayFillTheBodyExactly) {
    PcapngBuilder b;
    b.shb().idb(1).block(kEpb, epb_body(b, 8, {1, 2, 3, 4, 5, 6, 7, 8}));
    Drained got = drain(b.bytes());
    ASSERT_EQ(got.records.size(), 1u);
    EXPECT_EQ(got.records[0].frame, (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST(PcapngReader, UnknownBlocksAreSkippedToTheNextWord) {
    PcapngBuilder b;
    b.shb().idb(1).block(0x0BAD, {0x77}); // total length 13
    b.out.insert(b.out.end(), {0, 0, 0});  // padding to 16
    b.block(0x80000001, repeat(0, 20)).epb(0, 1000000, {5});
    Drained got = drain(b.bytes());
    EXPECT_EQ(got.records, (std::vector<Rec>{{1, 0, 1, 1, {5}}}));
    EXPECT_FALSE(got.error);
}

// A file cut anywhere inside its last block keeps the earlier packets and
// ends without an error.
TEST(PcapngReader, CutOffLastBlockEndsTheData) {
    PcapngBuilder b;
    b.shb().idb(1).epb(0, 1, repeat(1, 30));
    const std::size_t last = b.out.size();
    b.epb(0, 2, repeat(2, 30));
    const Bytes full = b.bytes();
    for (std::size_t n = last; n < full.size(); ++n) {
        Drained got = drain(Bytes(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n)));
        EXPECT_EQ(got.records.size(), 1u) << n;
        EXPECT_FALSE(got.error) << n << ": " << *got.error;
    }
}

TEST(PcapngReader, BigEndianSectionReadsLikeLittleEndian) {
    auto build = [](bool big) {
        PcapngBuilder b;
        b.big_endian = big;
        b.shb();
        idb_with(b, 113, cat({option(b, 2, {'l', 'o'}), option(b, 9, {3}), option(b, 0, {})}));
        b.idb(1, 96, 9);
        b.block(0x00000005, repeat(0, 12)); // interface statistics
        b.epb(0, 1234567, repeat(3, 7), 1500).epb(1, 1700000000123456789, repeat(4, 60));
        b.spb(repeat(5, 6), 6).epb(7, 42, {});
        return b.bytes();
    };
    const Bytes le = build(false);
    const Bytes be = build(true);
    ASSERT_NE(le, be);
    Drained a = drain(le);
    Drained b = drain(be);
    EXPECT_EQ(a.records.size(), 4u);
    EXPECT_FALSE(a.error);
    EXPECT_FALSE(b.error);
    EXPECT_EQ(a.records, b.records);
    EXPECT_EQ(a.records[0], (Rec{1234, 567000, 1500, 113, repeat(3, 7)}));
    EXPECT_TRUE(open_ng(be)->swapped());
}

TEST(PcapngReader, HeaderScanFollowsEverySectionBeforeThePackets) {
    PcapngBuilder le;
    le.shb().idb(1);
    PcapngBuilder be;
    be.big_endian = true;
    be.shb().idb(113, 65535, 3).epb(1, 1500, {7});
    auto reader = open_ng(cat({le.bytes(), be.bytes()}));
    ASSERT_TRUE(reader);
    EXPECT_EQ(reader->interfaces().size(), 2u);
    Drained got = drain(*reader);
    EXPECT_EQ(got.records, (std::vector<Rec>{{1, 500000, 1, 113, {7}}}));
}

struct BadFile {
    const char* name;
    Bytes bytes;
    std::size_t packets_before;
    const char* error; // nullptr: end of data
};

class PcapngMalformed : public ::testing::TestWithParam<BadFile> {};

TEST_P(PcapngMalformed, FailsOrEndsAsExpected) {
    const BadFile& f = GetParam();
    auto opened = open_reader(SharedBytes::from_vector(f.bytes));
    Drained got;
    if (!opened) {
        got.error = opened.error().display();
    } else {
        got = drain(**opened);
    }
    EXPECT_EQ(got.records.size(), f.packets_before);
    if (f.error) {
        EXPECT_EQ(got.error, std::string(f.error));
    } else {
        EXPECT_FALSE(got.error) << *got.error;
    }
}

std::vector<BadFile> malformed_files() {
    const PcapngBuilder le;
    const Bytes word = repeat(1, 8);
    std::vector<BadFile> out;
    out.push_back({"ShbTooShort", PcapngBuilder{}.block(kShb, {0x4D, 0x3C, 0x2B, 0x1A}, 12).bytes(),
                   0, "Invalid PCAP-NG format: SHB too short"});
    out.push_back({"UnknownByteOrder",
                   PcapngBuilder{}.block(kShb, {0xEF, 0xBE, 0xAD, 0xDE, 0, 0, 0, 0}).bytes(), 0,
                   "Invalid PCAP-NG format: Unknown byte order magic: 0xDEADBEEF"});
    out.push_back({"IdbTooShort", PcapngBuilder{}.shb().block(kIdb, repeat(0, 4)).bytes(), 0,
                   "Invalid PCAP-NG format: IDB too short"});
    out.push_back({"EpbTooShort",
                   PcapngBuilder{}.shb().idb(1).epb(0, 0, {1}).block(kEpb, repeat(0, 16)).bytes(),
                   1, "Invalid PCAP-NG format: EPB too short"});
    out.push_back({"EpbDataExceedsBlock",
                   PcapngBuilder{}.shb().block(kEpb, epb_body(le, 9, word)).bytes(), 0,
                   "Invalid PCAP-NG format: EPB packet data exceeds block"});
    // 28 + 0xFFFFFFF0 wraps to 12 in 32 bits and would pass for a short frame.
    out.push_back({"EpbCaptureLengthNear4G",
                   PcapngBuilder{}.shb().block(kEpb, epb_body(le, 0xFFFFFFF0u, word)).bytes(), 0,
                   "Invalid PCAP-NG format: EPB packet data exceeds block"});
    out.push_back({"SpbTooShort", PcapngBuilder{}.shb().block(kSpb, {}).bytes(), 0,
                   "Invalid PCAP-NG format: SPB too short"});
    // Block heads that do not fit end the data without an error.
    out.push_back({"SixBytes", {0x0A, 0x0D, 0x0D, 0x0A, 0, 0}, 0, nullptr});
    out.push_back({"OnlyShb", PcapngBuilder{}.shb().bytes(), 0, nullptr});
    out.push_back({"BlockShorterThanTwelve",
                   PcapngBuilder{}.shb().epb(0, 0, {1}).block(0x99, {}, 8).epb(0, 0, {2}).bytes(),
                   1, nullptr});
    out.push_back(
        {"BlockLengthNear4G",
         PcapngBuilder{}.shb().epb(0, 0, {1}).block(0x99, {}, 0xFFFFFFFD).epb(0, 0, {2}).bytes(),
         1, nullptr});
    out.push_back({"EpbLengthNear4G",
                   PcapngBuilder{}.shb().block(kEpb, repeat(0, 20), 0xFFFFFFFC).bytes(), 0,
                   nullptr});
    // An IDB running past the end stops the header scan; reading resumes 8
    // bytes into it and finds nothing usable.
    out.push_back({"IdbPastTheEnd", PcapngBuilder{}.shb().block(kIdb, repeat(0, 8), 1000).bytes(),
                   0, nullptr});
    return out;
}

INSTANTIATE_TEST_SUITE_P(Files, PcapngMalformed, ::testing::ValuesIn(malformed_files()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PcapngReader, PacketsOutliveTheReader) {
    PcapngBuilder b;
    b.shb().idb(1, 65535, 9).epb(0, 3000000001, repeat(6, 42), 64);
    auto reader = open_bytes(b.bytes());
    ASSERT_TRUE(reader);
    auto p = reader->next_packet();
    ASSERT_TRUE(p && *p);
    reader.reset();
    EXPECT_EQ((*p)->ts_sec, 3u);
    EXPECT_EQ((*p)->ts_usec, 0u);
    EXPECT_EQ((*p)->orig_len, 64u);
    EXPECT_EQ((*p)->caplen, 42u);
    EXPECT_EQ(Bytes((*p)->bytes().begin(), (*p)->bytes().end()), repeat(6, 42));
}

} // namespace
} // namespace vexlor::test
