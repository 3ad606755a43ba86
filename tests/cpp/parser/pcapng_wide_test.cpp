// The wide pcapng reading (ReaderOptions{.wide = true}): sections, late
// interfaces, obsolete Packet Blocks and per-interface link types, record by
// record; the default reading of the same inputs, which must not move; and
// real captures against what tshark reads in them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "parser/pcap_format.h"
#include "reader_support.h"

namespace vexlor::test {
namespace {

struct WideDrained {
    Drained drained;
    std::uint64_t skipped = 0;
    std::vector<std::uint32_t> seen;
};

WideDrained drain_with(SharedBytes bytes, ReaderOptions options) {
    auto reader = open_reader(std::move(bytes), options);
    if (!reader) {
        return {{{}, reader.error().display()}, 0, {}};
    }
    Drained d = drain(**reader);
    return {std::move(d), (*reader)->skipped_records(), (*reader)->link_types_seen()};
}
WideDrained drain_wide(const Bytes& bytes) {
    return drain_with(SharedBytes::from_vector(bytes), {.wide = true});
}

PcapngBuilder section(bool big) {
    PcapngBuilder b;
    b.big_endian = big;
    return std::move(b.shb());
}

// 1.5 s in microsecond ticks; the same instant in milli- and nanoseconds.
constexpr std::uint64_t kUs = 1500000;
constexpr std::uint64_t kMs = 1500;
constexpr std::uint64_t kNs = 1500000000;

struct Case {
    const char* name;
    Bytes (*build)(bool big); // the file, its first section in the given order
    std::vector<Rec> wide;
    std::uint64_t skipped;
    std::vector<std::uint32_t> seen;
    std::vector<Rec> fixed; // what the default reading gives
};

const Case kCases[] = {
    {"one section",
     [](bool big) {
         return section(big).idb(1).epb(0, kUs, {1, 2, 3}, 60).bytes();
     },
     {{1, 500000, 60, 1, {1, 2, 3}}},
     0,
     {1},
     {{1, 500000, 60, 1, {1, 2, 3}}}},
    // By default the first section's byte order stays: the other order's
    // EPB seems to claim a length past the end, which ends the data.
    {"sections of both byte orders",
     [](bool big) {
         return cat({section(big).idb(1).epb(0, kUs, {1}).bytes(),
                     section(!big).idb(113, 65535, 3).epb(0, kMs, {2}).bytes(),
                     section(big).idb(105).idb(1).epb(1, kUs, {3}).epb(0, kUs, {4}).bytes()});
     },
     {{1, 500000, 1, 1, {1}},
      {1, 500000, 1, 113, {2}},
      {1, 500000, 1, 1, {3}},
      {1, 500000, 1, 105, {4}}},
     0,
     {1, 113, 105},
     {{1, 500000, 1, 1, {1}}}},
    {"IDB after EPB",
     [](bool big) {
         return section(big).idb(1).epb(0, kUs, {1}).idb(113, 65535, 9).epb(1, kNs, {2}).bytes();
     },
     {{1, 500000, 1, 1, {1}}, {1, 500000, 1, 113, {2}}},
     0,
     {1, 113},
     // Interface 1 is unknown by default: microseconds, Ethernet.
     {{1, 500000, 1, 1, {1}}, {1500, 0, 1, 1, {2}}}},
    {"obsolete packet blocks",
     [](bool big) {
         PcapngBuilder b = section(big).idb(1).idb(101);
         opb(b, 1, 7, kUs, {1, 2}).epb(0, kUs, {3});
         return opb(b, 0, 0, kUs, {4}).bytes();
     },
     {{1, 500000, 2, 101, {1, 2}}, {1, 500000, 1, 1, {3}}, {1, 500000, 1, 1, {4}}},
     0,
     {101, 1},
     {{1, 500000, 1, 1, {3}}}},
    // Ids past the table, and SPBs of a section without interfaces.
    {"unknown interfaces skipped",
     [](bool big) {
         PcapngBuilder b = section(big).idb(1).epb(3, kUs, {1}).epb(0, kUs, {2});
         opb(b, 1, 0, kUs, {3});
         return cat({b.bytes(), section(big).spb({4}, 1).epb(0, kUs, {5}).bytes()});
     },
     {{1, 500000, 1, 1, {2}}},
     4,
     {1},
     {{1, 500000, 1, 1, {1}},
      {1, 500000, 1, 1, {2}},
      {0, 0, 1, 1, {4, 0, 0, 0}},
      {1, 500000, 1, 1, {5}}}},
    {"if_tsresol in a later section",
     [](bool big) {
         return cat({section(big).idb(1).epb(0, kUs, {1}).bytes(),
                     section(big).idb(1, 65535, 3).epb(0, kMs, {2}).bytes()});
     },
     {{1, 500000, 1, 1, {1}}, {1, 500000, 1, 1, {2}}},
     0,
     {1},
     {{1, 500000, 1, 1, {1}}, {0, 1500, 1, 1, {2}}}},
    // A new section empties the table even when it declares nothing.
    {"a section header forgets interfaces",
     [](bool big) {
         return cat({section(big).idb(113).epb(0, kUs, {1}).bytes(),
                     section(big).epb(0, kUs, {2}).idb(0).epb(0, kUs, {3}).bytes()});
     },
     {{1, 500000, 1, 113, {1}}, {1, 500000, 1, 0, {3}}},
     1,
     {113, 0},
     {{1, 500000, 1, 113, {1}}, {1, 500000, 1, 113, {2}}, {1, 500000, 1, 113, {3}}}},
    {"mixed link types",
     [](bool big) {
         return section(big)
             .idb(1)
             .idb(0)
             .epb(1, kUs, {1})
             .epb(0, kUs, {2})
             .epb(1, kUs, {3})
             .bytes();
     },
     {{1, 500000, 1, 0, {1}}, {1, 500000, 1, 1, {2}}, {1, 500000, 1, 0, {3}}},
     0,
     {0, 1},
     {{1, 500000, 1, 0, {1}}, {1, 500000, 1, 1, {2}}, {1, 500000, 1, 0, {3}}}},
    // An SPB takes interface 0's link type and holds no more than the
    // original and snapshot lengths; by default all of its body, padding too.
    {"simple packet blocks",
     [](bool big) {
         return section(big)
             .idb(113, 4)
             .spb({1, 2, 3, 4, 5, 6}, 6)
             .spb({7, 8}, 2)
             .spb({}, 0)
             .bytes();
     },
     {{0, 0, 6, 113, {1, 2, 3, 4}}, {0, 0, 2, 113, {7, 8}}},
     0,
     {113},
     {{0, 0, 6, 1, {1, 2, 3, 4, 5, 6, 0, 0}}, {0, 0, 2, 1, {7, 8, 0, 0}}}},
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

class WideCase : public ::testing::TestWithParam<std::tuple<Case, bool>> {};

TEST_P(WideCase, ReadsRecordByRecord) {
    const auto& [c, big] = GetParam();
    const Bytes file = c.build(big);
    const WideDrained wide = drain_wide(file);
    EXPECT_EQ(wide.drained.records, c.wide);
    EXPECT_EQ(wide.drained.error, std::nullopt);
    EXPECT_EQ(wide.skipped, c.skipped);
    EXPECT_EQ(wide.seen, c.seen);
    const WideDrained fixed = drain_with(SharedBytes::from_vector(file), {});
    EXPECT_EQ(fixed.drained.records, c.fixed);
    EXPECT_EQ(fixed.drained.error, std::nullopt);
    EXPECT_EQ(fixed.skipped, 0u);

    // Cut anywhere, a wide reading gives the records before the cut and no
    // error: a cut-off SHB is as harmless as a cut-off packet.
    for (std::size_t n = 4; n < file.size(); ++n) {
        const WideDrained cut = drain_wide(prefix(file, n));
        ASSERT_LE(cut.drained.records.size(), c.wide.size()) << n;
        EXPECT_TRUE(
            std::equal(cut.drained.records.begin(), cut.drained.records.end(), c.wide.begin()))
            << n;
        EXPECT_EQ(cut.drained.error, std::nullopt) << n;
    }
}

INSTANTIATE_TEST_SUITE_P(Built, WideCase,
                         ::testing::Combine(::testing::ValuesIn(kCases), ::testing::Bool()),
                         [](const auto& i) {
                             std::string name = std::get<0>(i.param).name;
                             std::replace(name.begin(), name.end(), ' ', '_');
                             return name + (std::get<1>(i.param) ? "_be" : "_le");
                         });

// Damage: how many packets each reading gives before the end of data or
// the error.  A wide reading reads later SHBs and IDBs, so their faults are
// its errors; the default reading skips them.
TEST(PcapngWide, DamagedBlocks) {
    const Bytes frame = {1};
    const auto opb_body = [](std::uint32_t caplen) {
        Bytes body = {0, 0, 0, 0};
        for (std::uint32_t v : {0u, 0u, caplen, caplen}) {
            put_u32le(body, v);
        }
        return cat({body, repeat(9, 4)});
    };
    const std::string lead = "Invalid PCAP-NG format: ";
    const struct {
        Bytes bytes;
        std::size_t wide_packets;
        const char* wide_error; // after `lead`; nullptr: end of data
        std::size_t fixed_packets;
    } cases[] = {
        {section(false).idb(1).block(kPcapngBlockOpb, repeat(0, 16)).bytes(), 0, "OPB too short",
         0},
        {section(false).idb(1).block(kPcapngBlockOpb, opb_body(4)).bytes(), 1, nullptr, 0},
        {section(false).idb(1).block(kPcapngBlockOpb, opb_body(5)).bytes(), 0,
         "OPB packet data exceeds block", 0},
        {section(false)
             .epb(0, 0, {1})
             .block(kPcapngBlockShb, {0xEF, 0xBE, 0xAD, 0xDE, 0, 0, 0, 0})
             .bytes(),
         0, "Unknown byte order magic: 0xDEADBEEF", 1},
        {section(false)
             .idb(1)
             .epb(0, 0, frame)
             .block(kPcapngBlockShb, {0x4D, 0x3C, 0x2B, 0x1A}, 12)
             .bytes(),
         1, "SHB too short", 1},
        {section(false).idb(1).epb(0, 0, frame).block(kPcapngBlockIdb, repeat(0, 4)).bytes(), 1,
         "IDB too short", 1},
        // A broken length ends the data; unknown blocks are skipped.
        {section(false).idb(1).epb(0, 0, frame).block(9, {}, 8).epb(0, 0, frame).bytes(), 1,
         nullptr, 1},
        {cat({section(false).idb(1).block(0x0BAD, {0x77}).bytes(),
              {0, 0, 0},
              PcapngBuilder{}.epb(0, 0, frame).block(0x0BAD, {0x77}).bytes(),
              {0, 0, 0},
              PcapngBuilder{}.epb(0, 0, frame).bytes()}),
         2, nullptr, 2},
        // A packet's own fault comes before the question of its interface.
        {section(false).block(kPcapngBlockEpb, repeat(0, 16)).bytes(), 0, "EPB too short", 0},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        const Drained wide = drain_wide(c.bytes).drained;
        EXPECT_EQ(wide.records.size(), c.wide_packets) << i;
        EXPECT_EQ(wide.error, c.wide_error ? std::optional(lead + c.wide_error) : std::nullopt)
            << i;
        EXPECT_EQ(drain(c.bytes).records.size(), c.fixed_packets) << i;
    }
}

// The file's link type is interface 0's in the section of the first packet.
TEST(PcapngWide, LinkTypeAtOpening) {
    const auto link_type = [](const Bytes& b, ReaderOptions o) {
        return (*open_reader(SharedBytes::from_vector(b), o))->link_type();
    };
    const Bytes two = cat({section(false).idb(113).bytes(), section(true).idb(0).bytes(),
                           section(false).idb(105).epb(0, 0, {1}).bytes()});
    EXPECT_EQ(link_type(two, {.wide = true}), 105u);
    EXPECT_EQ(link_type(two, {}), 113u);
    EXPECT_EQ(link_type(section(false).epb(0, 0, {1}).bytes(), {.wide = true}), 1u);
}

std::string captures_dir() {
    const char* env = std::getenv("VEXLOR_CAPTURES");
    return env && *env ? env : VEXLOR_CAPTURES;
}

// What tshark 4.0 reads in real captures: its frames with an encapsulation
// (it lists custom blocks as frames too), the sum of their captured lengths,
// the first and last time (SPBs have none: 0), and the link types in the
// order they appear.  Every record's time and captured length in all the
// pcapng captures were compared with tshark's once; these numbers keep that
// check for the files a fixed reading gets wrong.
struct Time {
    std::uint32_t sec = 0;
    std::uint32_t usec = 0;
    friend bool operator==(const Time&, const Time&) = default;
    friend std::ostream& operator<<(std::ostream& os, const Time& t) {
        return os << t.sec << "." << t.usec;
    }
};
struct RealCase {
    const char* file;
    std::size_t packets;
    std::uint64_t caplen_sum;
    Time first;
    Time last;
    std::vector<std::uint32_t> seen;
};
void PrintTo(const RealCase& c, std::ostream* os) {
    *os << c.file;
}

constexpr Time kTestGen{1340954905, 298858}; // the generator's first packet
constexpr Time kTestGenLast{1340954905, 301858};

const RealCase kReal[] = {
    {"pcapng-test-generator/le-test202-sections-mixed-endianness.pcapng",
     8,
     1040,
     kTestGen,
     kTestGenLast,
     {1, 0}},
    {"pcapng-test-generator/be-test202-sections-mixed-endianness.pcapng",
     8,
     1040,
     kTestGen,
     kTestGenLast,
     {1, 0}},
    {"pcapng-test-generator/le-test005-idb-after-epb.pcapng", 4, 448, kTestGen, kTestGenLast, {1}},
    {"scapy/pcapng-be-obsolete-packet-blocks-named-pcap.pcap",
     200,
     38656,
     {1586191795, 10193},
     {1586191795, 488267},
     {101}},
    {"pcapplusplus/pcapng-11-interfaces-eth-and-null.pcapng",
     64,
     15954,
     {1439753725, 701607},
     {1439753728, 292345},
     {1, 0}},
    {"pcapplusplus/pcapng-6-interfaces-mixed-tsresol-eth-sll.pcapng",
     25,
     6656,
     {1103276405, 901593},
     {1717403202, 805000},
     {1, 113}},
};

class WideRealCapture : public ::testing::TestWithParam<RealCase> {};

TEST_P(WideRealCapture, ReadsWhatTsharkReads) {
    const RealCase& c = GetParam();
    auto bytes = read_input_bytes(captures_dir() + "/" + c.file);
    if (!bytes) {
        GTEST_SKIP() << "no real captures: " << bytes.error().message;
    }
    const WideDrained got = drain_with(std::move(*bytes), {.wide = true});
    const std::vector<Rec>& recs = got.drained.records;
    EXPECT_EQ(got.drained.error, std::nullopt);
    ASSERT_EQ(recs.size(), c.packets);
    EXPECT_EQ(got.skipped, 0u);
    EXPECT_EQ(got.seen, c.seen);
    std::uint64_t sum = 0;
    for (const Rec& r : recs) {
        sum += r.frame.size();
    }
    EXPECT_EQ(sum, c.caplen_sum);
    if (!recs.empty()) {
        EXPECT_EQ((Time{recs.front().ts_sec, recs.front().ts_usec}), c.first);
        EXPECT_EQ((Time{recs.back().ts_sec, recs.back().ts_usec}), c.last);
    }
}

INSTANTIATE_TEST_SUITE_P(Captures, WideRealCapture, ::testing::ValuesIn(kReal), [](const auto& i) {
    std::string name = i.param.file;
    std::replace_if(
        name.begin(), name.end(), [](unsigned char ch) { return !std::isalnum(ch); }, '_');
    return name;
});

} // namespace
} // namespace vexlor::test
