#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>

#include "archive/archive_reader.h"
#include "common/byte_order.h"
#include "drivers/archive_build.h"
#include "drivers/split_pipeline.h"
#include "output/split_writer.h"
#include "reading.h"

namespace vexlor {
namespace {

using namespace test;
using FlowTable = std::map<std::string, std::vector<int>>; // flow name -> record indices

// One capture record as the test wrote it, with the payload bytes the l7
// output should take from it (none for packets without a payload offset).
struct Record {
    std::uint32_t ts_sec;
    std::uint32_t ts_usec;
    Bytes frame;
    Bytes payload;
};

struct Capture {
    std::uint32_t link_type = 1;
    std::vector<Record> recs;

    Bytes bytes() const {
        PcapBuilder b{.link_type = link_type};
        for (const Record& r : recs) {
            b.packet(r.ts_sec, r.ts_usec, r.frame);
        }
        return b.bytes();
    }
};

Bytes text(const char* s) {
    return Bytes(s, s + std::strlen(s));
}
const Bytes kBroadcast(6, 0xFF);

// Ethernet: a TCP conversation (with a bare ACK and a retransmission), an
// IPv6 UDP exchange, ARP, and ICMP.
Capture ethernet_capture() {
    Bytes get = text("GET /"), ok = text("OK"), q = text("q");
    Bytes udp6 = ipv6(ip("2001:db8::1"), ip("2001:db8::2"), 17, udp(5353, 53, q));
    Bytes icmp4 = ipv4(ip("192.0.2.9"), ip("192.0.2.1"), 1, icmp_echo(text("ping")));
    // clang-format off
    return {1, {
        {1, 10, eth(mac(2), mac(1), kEtherIpv4, tcp4("10.0.0.1", "10.0.0.2", 1234, 80, get)), get},
        {1, 20, eth(mac(1), mac(2), kEtherIpv4, tcp4("10.0.0.2", "10.0.0.1", 80, 1234, ok)), ok},
        {2, 0, eth(mac(3), mac(1), kEtherIpv6, udp6), q},
        {2, 5, eth(kBroadcast, mac(4), kEtherArp, Bytes(28)), {}},
        {3, 0, eth(mac(2), mac(1), kEtherIpv4, tcp4("10.0.0.1", "10.0.0.2", 1234, 80, {})), {}},
        {3, 7, eth(mac(1), mac(5), kEtherIpv4, icmp4), {}},
        {4, 999999, eth(mac(2), mac(1), kEtherIpv4, tcp4("10.0.0.1", "10.0.0.2", 1234, 80, get)), get}}};
    // clang-format on
}

// 802.11 without radio header: data to and from an access point, a beacon,
// and a frame too short for the header.
Capture wifi_capture() {
    auto data = [](const Bytes& body) { return llc_snap(kEtherIpv4, body); };
    auto udp4 = [](const char* s, const char* d, std::uint16_t sp, std::uint16_t dp,
                   const Bytes& pl) { return ipv4(ip(s), ip(d), 17, udp(sp, dp, pl)); };
    const Bytes x = text("x"), yz = text("yz");
    // clang-format off
    return {105, {
        {1, 0, wifi(2, 0, mac(2), mac(1), mac(0xB1), data(udp4("10.1.0.1", "10.1.0.2", 1000, 2000, x))), x},
        {1, 1, wifi(2, 2, mac(1), mac(0xB1), mac(2), data(udp4("10.1.0.2", "10.1.0.1", 2000, 1000, yz))), yz},
        {1, 2, wifi(0, 0, kBroadcast, mac(0xB2), mac(0xB2), Bytes(12)), {}},
        {1, 3, Bytes(10, 0x08), {}}}};
    // clang-format on
}

// `packets` UDP packets from 10.0.0.1 to 10.0.0.2 port 53, packet i from
// port 10000 + i % flows, so that `flows` sessions are open side by side.
Capture many_capture(int packets, int flows, FlowTable* table = nullptr) {
    Capture c;
    for (int i = 0; i < packets; ++i) {
        Bytes pl(static_cast<std::size_t>(i % 50), static_cast<std::uint8_t>(i));
        auto sport = static_cast<std::uint16_t>(10000 + i % flows);
        c.recs.push_back({static_cast<std::uint32_t>(i / 1000),
                          static_cast<std::uint32_t>(i % 1000 * 1000),
                          udp_frame("10.0.0.2", sport, 53, pl), pl});
        if (table) {
            (*table)["17_10.0.0.1_10.0.0.2_" + std::to_string(sport) + "_53"].push_back(i);
        }
    }
    return c;
}

// The exact contents expected of an output directory: one file per flow (l7
// files only with payload), each built here independently of the writer.
std::map<std::string, Bytes> expected_files(const Capture& c, const FlowTable& flows, bool l7,
                                            const std::string& prefix = "capture") {
    std::map<std::string, Bytes> out;
    for (const auto& [name, indices] : flows) {
        PcapBuilder pcap{.link_type = c.link_type};
        Bytes payload;
        for (int i : indices) {
            const Record& r = c.recs[static_cast<std::size_t>(i)];
            pcap.packet(r.ts_sec, r.ts_usec, r.frame);
            payload.insert(payload.end(), r.payload.begin(), r.payload.end());
        }
        std::string base = prefix + "_" + sanitize_flow_name(name);
        if (!l7) {
            out[base + ".pcap"] = pcap.bytes();
        } else if (!payload.empty()) {
            out[base + ".l7"] = payload;
        }
    }
    return out;
}

void expect_ok(const Status& st) {
    EXPECT_TRUE(st) << st.error().message;
}

class SplitPipelineTest : public ::testing::Test {
protected:
    SplitOptions options(const Capture& c, std::string strategy = "session") {
        write_file(input, c.bytes());
        return {.input_path = input,
                .output_dir = out,
                .strategy = *parse_strategy(strategy),
                .writer_threads = threads};
    }

    // The files a split of `capture` writes into `dir`, with what its decoding
    // counted.
    std::vector<std::string> split(const Bytes& capture, Decode decode, const std::string& dir,
                                   DecodeCounts* counts = nullptr,
                                   FlowBoundaryOptions boundaries = {}) {
        write_file(input, capture);
        expect_ok(run_split({.input_path = input,
                             .output_dir = tmp / dir,
                             .boundaries = boundaries,
                             .decode = decode,
                             .counts = counts}));
        return dir_names(tmp / dir);
    }

    TempDir tmp;
    unsigned threads = 0; // writer threads of options()
    std::string input = tmp / "capture.pcap";
    std::string out = tmp / "out";
};

struct StrategyCase {
    const char* strategy;
    bool wifi;
    FlowTable flows;
};
class SplitStrategies
    : public SplitPipelineTest,
      public ::testing::WithParamInterface<std::tuple<StrategyCase, bool, unsigned, Decode>> {};

// How each strategy names its flows is the strategies' own business; here the
// pipeline routes every packet (to two files, for host and mac) and writes the
// bytes, the same with either decoding.
TEST_P(SplitStrategies, WritesEveryFlowByteForByte) {
    auto [sc, l7, writers, decode] = GetParam();
    threads = writers;
    Capture c = sc.wifi ? wifi_capture() : ethernet_capture();
    SplitOptions o = options(c, sc.strategy);
    o.output_type = l7 ? OutputType::L7 : OutputType::Pcap;
    o.decode = decode;
    expect_ok(run_split(o));
    expect_dir(out, expected_files(c, sc.flows, l7));
}

const std::vector<int> kAll = {0, 1, 2, 3, 4, 5, 6};
const std::vector<int> kTcp = {0, 1, 4, 6};

// clang-format off
const StrategyCase kStrategies[] = {
    {"session", false, {{"6_10.0.0.1_10.0.0.2_1234_80", kTcp}, {"17_2001:db8::1_2001:db8::2_5353_53", {2}},
                        {"no_session", {3}}, {"1_192.0.2.1_192.0.2.9_0_0", {5}}}},
    {"flow", false, {{"6_10.0.0.1_10.0.0.2_1234_80", {0, 4, 6}}, {"6_10.0.0.2_10.0.0.1_80_1234", {1}},
                     {"17_2001:db8::1_2001:db8::2_5353_53", {2}}, {"no_flow", {3}}, {"1_192.0.2.9_192.0.2.1_0_0", {5}}}},
    {"host", false, {{"10.0.0.1", kTcp}, {"10.0.0.2", kTcp}, {"2001:db8::1", {2}}, {"2001:db8::2", {2}},
                     {"no_host", {3}}, {"192.0.2.9", {5}}, {"192.0.2.1", {5}}}},
    {"hostpair", false, {{"10.0.0.1_10.0.0.2", kTcp}, {"2001:db8::1_2001:db8::2", {2}}, {"no_hostpair", {3}},
                         {"192.0.2.1_192.0.2.9", {5}}}},
    {"mac", false, {{"020000000001", {0, 1, 2, 4, 5, 6}}, {"020000000002", kTcp}, {"020000000003", {2}},
                    {"020000000004", {3}}, {"ffffffffffff", {3}}, {"020000000005", {5}}}},
    {"bssid", false, {{"no_bssid", kAll}}},
    {"bssid", true, {{"0200000000b1", {0, 1}}, {"0200000000b2", {2}}, {"no_bssid", {3}}}},
    {"nosplit", false, {{"all", kAll}}}};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Table, SplitStrategies,
                         ::testing::Combine(::testing::ValuesIn(kStrategies), ::testing::Bool(),
                                            ::testing::Values(0u, 2u),
                                            ::testing::Values(Decode::Basic, Decode::Wide)),
                         [](const auto& info) {
                             const StrategyCase& sc = std::get<0>(info.param);
                             return std::string(sc.strategy) + (sc.wifi ? "_wifi" : "") +
                                    (std::get<1>(info.param) ? "_l7" : "_pcap") + "_" +
                                    std::to_string(std::get<2>(info.param)) +
                                    (std::get<3>(info.param) == Decode::Wide ? "_wide" : "");
                         });

// Filters drop packets before classification; with nothing left, only the
// (nested) output directory is created.
TEST_F(SplitPipelineTest, FiltersDropPacketsBeforeClassification) {
    Capture c = ethernet_capture();
    SplitOptions o = options(c);
    o.port_filters = {80};
    expect_ok(run_split(o));
    expect_dir(out, expected_files(c, {{"6_10.0.0.1_10.0.0.2_1234_80", kTcp}}, false));
    o.ip_filters = {"192.0.2.77"};
    o.output_dir = tmp / "a/b";
    expect_ok(run_split(o));
    EXPECT_TRUE(std::filesystem::is_directory(o.output_dir));
    EXPECT_TRUE(dir_names(o.output_dir).empty());
}

// A classic pcap whose last record is cut off: every packet before it is
// written, then the reader's error ends the run with temporary files only; a
// build of an archive leaves its temporary file.  Asked to, a failed run
// removes them; so does a cancelled one, with the error "interrupted".
TEST_F(SplitPipelineTest, AFailedRunLeavesOnlyTemporaryFiles) {
    FlowTable flows;
    Capture c = many_capture(5000, 3, &flows);
    threads = 2;
    SplitOptions o = options(c);
    PcapBuilder tail{.out = c.bytes()};
    const std::string cut_off = incl_len_error(100, tail.out.size() + 16);
    write_file(input, tail.record(9, 9, 100, 100, Bytes(10, 0xAB)).bytes());
    expect_error(run_split(o), ErrorKind::Runtime, cut_off);
    std::map<std::string, Bytes> want;
    for (auto& [name, bytes] : expected_files(c, flows, false)) {
        want["." + name + ".tmp"] = bytes;
    }
    expect_dir(out, want);
    std::atomic<bool> cancel{false};
    ArchiveBuildOptions archive{.input_path = input, .output_path = tmp / "a.vexlor"};
    expect_error(build_archive(archive), ErrorKind::Runtime, cut_off);
    EXPECT_TRUE(std::filesystem::exists(tmp / "a.vexlor.tmp"));
    std::filesystem::remove_all(out);
    o.control = archive.control = {.cancel = &cancel, .remove_on_failure = true};
    for (bool cancelled : {false, true}) {
        cancel = cancelled;
        const std::string error = cancelled ? "interrupted" : cut_off;
        expect_error(run_split(o), ErrorKind::Runtime, error);
        EXPECT_TRUE(dir_names(out).empty());
        expect_error(build_archive(archive), ErrorKind::Runtime, error);
        EXPECT_EQ(dir_names(tmp.path()), (std::vector<std::string>{"capture.pcap", "out"}));
    }
}

// Creating the file fails while the producer still has most of the capture
// to send: the call fails cleanly and the producer winds down on its own.
// Renaming it at close fails: the OS's reason, and the whole file left at
// its temporary name.
TEST_F(SplitPipelineTest, OutputFailuresEndTheRunWithARuntimeError) {
    FlowTable flows;
    const Capture c = many_capture(20000, 1, &flows);
    SplitOptions o = options(c, "nosplit");
    std::filesystem::create_directories(out + "/.capture_all.pcap.tmp");
    expect_error(run_split(o), ErrorKind::Runtime, "Is a directory (os error 21)");
    EXPECT_EQ(dir_names(out), std::vector<std::string>{".capture_all.pcap.tmp"});
    std::filesystem::remove_all(out);
    std::filesystem::create_directories(out + "/capture_all.pcap/x");
    Status st = run_split(o);
    ASSERT_FALSE(st);
    EXPECT_EQ(st.error().kind, ErrorKind::Runtime);
    EXPECT_NE(st.error().message.find(" (os error "), std::string::npos) << st.error().message;
    EXPECT_EQ(file_bytes(out + "/.capture_all.pcap.tmp"),
              expected_files(c, {{"all", flows.begin()->second}}, false).begin()->second);
}

// With few descriptors allowed, the writer closes its least recently written
// files to make room, and reopens them for appending when their flows return,
// whichever thread wrote them last.
TEST_F(SplitPipelineTest, RunningOutOfDescriptorsClosesOldFiles) {
    FlowTable flows;
    Capture c = many_capture(3000, 200, &flows);
    for (unsigned writers : {0u, 1u, 2u, 4u}) {
        threads = writers;
        SplitOptions o = options(c);
        o.output_dir = out + std::to_string(writers);
        int rc = child_status([&] {
            rlimit lim{32, 32};
            if (::setrlimit(RLIMIT_NOFILE, &lim) != 0) {
                return 2;
            }
            Status st = run_split(o);
            if (!st) {
                std::fprintf(stderr, "split failed: %s\n", st.error().message.c_str());
            }
            return st ? 0 : 1;
        });
        ASSERT_EQ(rc, 0) << writers;
        expect_dir(o.output_dir, expected_files(c, flows, false));
    }
}

// Flow boundaries through a split that keeps one file open and an archive.
// Two keys interleave so that every packet takes the other key's file away:
// A at 0 and 5, B at 6, A at 100 (idle), B at 101 (its state gone, numbered
// on from the files held, its own closed), A at 102 (RST) and 103 (SYN).
TEST_F(SplitPipelineTest, BoundariesNumberFlowsOnFromTheFilesHeld) {
    using Flows = std::vector<std::tuple<std::uint16_t, std::uint64_t, std::uint32_t>>;
    const std::string a = "6_10.0.0.1_10.0.0.2_1_80", b = "6_10.0.0.1_10.0.0.2_2_80";
    // clang-format off
    const std::tuple<std::uint32_t, std::uint16_t, std::uint8_t> packets[] = { // second, port, flags
        {0, 1, 0x02}, {5, 1, 0x10}, {6, 2, 0x02}, {100, 1, 0x10}, {101, 2, 0x10}, {102, 1, 0x04}, {103, 1, 0x02}};
    const struct {
        FlowBoundaryOptions options;
        FlowTable files;
        Flows flows; // the archive's in id order: source port, first second, packets
    } cases[] = {
        {{50'000'000}, {{a, {0, 1}}, {b, {2}}, {a + "-2", {3, 5, 6}}, {b + "-2", {4}}},
         {{1, 0, 2}, {2, 6, 1}, {1, 100, 3}, {2, 101, 1}}},
        {{50'000'000, true}, {{a, {0, 1}}, {b, {2}}, {a + "-2", {3, 5}}, {b + "-2", {4}}, {a + "-3", {6}}},
         {{1, 0, 2}, {2, 6, 1}, {1, 100, 2}, {2, 101, 1}, {1, 103, 1}}}};
    // clang-format on
    Capture c;
    for (auto [sec, sport, flags] : packets) {
        c.recs.push_back(
            {sec, 0, ip_frame(tcp4("10.0.0.1", "10.0.0.2", sport, 80, {'x'}, flags)), {'x'}});
    }
    for (const auto& e : cases) {
        SplitOptions o = options(c);
        o.output_dir = out + std::to_string(e.flows.size());
        o.boundaries = e.options;
        o.max_sessions = 1;
        o.buffer_bytes = 0;
        expect_ok(run_split(o));
        expect_dir(o.output_dir, expected_files(c, e.files, false));
        const std::string archive = tmp / "c.vexlor";
        expect_ok(
            build_archive({.input_path = input, .output_path = archive, .boundaries = e.options}));
        auto reader = ArchiveReader::open(archive);
        ASSERT_TRUE(reader);
        Flows flows;
        for (const FlowEntry& f : (*reader)->flows()) {
            flows.emplace_back(f.src_port, f.start_ts / 1000000, f.packet_count);
        }
        EXPECT_EQ(flows, e.flows);
    }
}

// ---- what only the wide decoding does -----------------------------------------------------------

// A ping through VXLAN: request and reply go from different outer ports, but
// the flow is the inner one; the decapsulated packets are counted.
TEST_F(SplitPipelineTest, WideDecodingKeysTunnelledPacketsByTheInnermostHeaders) {
    auto wrapped = [](std::uint16_t outer_sport, const Bytes& inner) {
        return ip_frame(ipv4(ip("192.0.2.1"), ip("192.0.2.2"), 17,
                             udp(outer_sport, 4789, vxlan(42, ip_frame(inner)))));
    };
    const Bytes c = PcapBuilder{}
                        .packet(1, 0, wrapped(50000, tcp4("10.0.0.1", "10.0.0.2", 1234, 80)))
                        .packet(2, 0, wrapped(50001, tcp4("10.0.0.2", "10.0.0.1", 80, 1234)))
                        .bytes();
    DecodeCounts counts;
    EXPECT_EQ(split(c, Decode::Wide, "wide", &counts),
              std::vector<std::string>{"capture_6_10_0_0_1_10_0_0_2_1234_80.pcap"});
    EXPECT_EQ(counts.decapsulated, 2u);
    EXPECT_EQ(counts.without_ip, 0u);
    EXPECT_EQ(split(c, Decode::Basic, "basic").size(), 2u);
}

// Fragments of one UDP datagram join its flow; a later fragment whose first
// fragment never came keeps ports 0 and is counted, not hidden.
TEST_F(SplitPipelineTest, WideDecodingKeepsFragmentsWithTheirDatagram) {
    const auto fragment = [](const Bytes& data, std::uint16_t id, std::uint16_t offset, bool more) {
        return ipv4_fragment(ipv4(ip("10.0.0.1"), ip("10.0.0.2"), 17, data), id, offset, more);
    };
    const Bytes first = fragment(udp(2049, 700, repeat(1, 16)), 7, 0, true);
    const Bytes middle = fragment(repeat(2, 16), 7, 3, true);
    const Bytes last = fragment(repeat(3, 8), 7, 5, false);
    PcapBuilder b;
    b.packet(1, 0, ip_frame(first))
        .packet(1, 1, ip_frame(middle))
        .packet(1, 2, ip_frame(last))
        .packet(2, 0, ip_frame(fragment(repeat(4, 8), 9, 5, false)));
    DecodeCounts counts;
    EXPECT_EQ(split(b.bytes(), Decode::Wide, "wide", &counts),
              (std::vector<std::string>{"capture_17_10_0_0_1_10_0_0_2_0_0.pcap",
                                        "capture_17_10_0_0_1_10_0_0_2_2049_700.pcap"}));
    EXPECT_EQ(counts.unmatched_fragments, 1u);
    EXPECT_EQ(file_bytes(tmp / "wide/capture_17_10_0_0_1_10_0_0_2_2049_700.pcap").size(),
              24u + 3 * 16 + 3 * 14 + first.size() + middle.size() + last.size());
}

// Interfaces of two link types in one pcapng: the frames of the second type
// go to files of their own, whose header names that type.  The basic decoding
// keeps the module's behaviour: one header, the first interface's type.
TEST_F(SplitPipelineTest, WideDecodingWritesEachLinkTypeUnderItsOwnHeader) {
    PcapngBuilder b;
    b.shb().idb(1).idb(113);
    b.epb(0, 1, ip_frame(tcp4("10.0.0.1", "10.0.0.2", 1, 2)));
    b.epb(1, 2, sll(kEtherIpv4, tcp4("10.0.0.3", "10.0.0.4", 3, 4)));
    ASSERT_EQ(split(b.bytes(), Decode::Wide, "wide"),
              (std::vector<std::string>{"capture_6_10_0_0_1_10_0_0_2_1_2.pcap",
                                        "capture_lt113_6_10_0_0_3_10_0_0_4_3_4.pcap"}));
    const auto link_type = [&](const std::string& file) {
        return load_le<std::uint32_t>(file_bytes(tmp / file).data() + 20);
    };
    EXPECT_EQ(link_type("wide/capture_lt113_6_10_0_0_3_10_0_0_4_3_4.pcap"), 113u);
    const auto basic = split(b.bytes(), Decode::Basic, "basic");
    ASSERT_EQ(basic.size(), 2u);
    EXPECT_EQ(link_type("basic/" + basic[1]), 1u);

    // A flow's packets of both types, each within the timeout of the one
    // before: one flow, in the file of each type, numbered as one.
    PcapngBuilder one;
    one.shb().idb(1).idb(113);
    for (std::uint32_t t : {0, 1, 2, 4}) {
        const Bytes segment = tcp4("10.0.0.1", "10.0.0.2", 1, 2);
        one.epb(t % 2, std::uint64_t{t} * 6'000'000,
                t % 2 ? sll(kEtherIpv4, segment) : ip_frame(segment));
    }
    EXPECT_EQ(split(one.bytes(), Decode::Wide, "idle", nullptr, {.idle_timeout_us = 10'000'000}),
              (std::vector<std::string>{"capture_6_10_0_0_1_10_0_0_2_1_2-2.pcap",
                                        "capture_6_10_0_0_1_10_0_0_2_1_2.pcap",
                                        "capture_lt113_6_10_0_0_1_10_0_0_2_1_2.pcap"}));
}

TEST(OutputPrefix, IsTheFileStem) {
    const std::pair<const char*, const char*> cases[] = {// clang-format off
        {"a.b.pcapng", "a.b"}, {"trace", "trace"}, {"-", "-"}, {"/", "unknown"}, {"", "unknown"},
        {"dir/", "dir"}, {"./x.pcap/.", "x"}, {"dir/.hidden.pcap", ".hidden"}, {".hidden", ".hidden"},
        {"a.", "a"}, {"...", ".."}, {"x/..", "unknown"}, {"..", "unknown"}, {".", "unknown"}};
    // clang-format on
    for (const auto& [path, prefix] : cases) {
        EXPECT_EQ(output_prefix(path), prefix) << path;
    }
}

} // namespace
} // namespace vexlor
