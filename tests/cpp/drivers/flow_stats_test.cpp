#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <tuple>

#include "builders.h"
#include "common/byte_order.h"
#include "drivers/archive_build.h"
#include "drivers/flow_stats.h"
#include "flow/community_id.h"
#include "flow/fragments.h"

namespace vexlor {
namespace {

using namespace test;

// Published vectors for every path: TCP both ways, UDP, SCTP, ICMP with and
// without a counterpart type, ICMPv6 likewise, a protocol without ports; and
// one computed by hand for equal addresses, where the ports decide the order.
TEST(CommunityId, MatchesPublishedVectors) {
    const struct {
        const char *src, *dst;
        std::uint8_t proto;
        std::uint16_t sport, dport;
        const char* id;
    } cases[] = {
        // clang-format off
        {"128.232.110.120", "66.35.250.204", 6, 34855, 80, "1:LQU9qZlK+B5F3KDmev6m5PMibrg="},
        {"66.35.250.204", "128.232.110.120", 6, 80, 34855, "1:LQU9qZlK+B5F3KDmev6m5PMibrg="},
        {"192.168.1.52", "8.8.8.8", 17, 54585, 53, "1:d/FP5EW3wiY1vCndhwleRRKHowQ="},
        {"192.168.170.56", "192.168.170.8", 132, 80, 7, "1:jQgCxbku+pNGw8WPbEc/TS/uTpQ="},
        {"192.168.0.89", "192.168.0.1", 1, 8, 0, "1:X0snYXpgwiv9TZtqg64sgzUn6Dk="},
        {"192.168.0.1", "192.168.0.89", 1, 0, 20, "1:X0snYXpgwiv9TZtqg64sgzUn6Dk="},
        {"192.168.0.89", "192.168.0.1", 1, 20, 1, "1:tz/fHIDUHs19NkixVVoOZywde+I="},
        {"fe80::260:97ff:fe07:69ea", "fe80::200:86ff:fe05:80da", 58, 136, 0, "1:dGHyGvjMfljg6Bppwm3bg0LO8TY="},
        {"3ffe:507:0:1:200:86ff:fe05:80da", "3ffe:507:0:1:260:97ff:fe07:69ea", 58, 3, 0, "1:/OGBt9BN1ofenrmSPWYicpij2Vc="},
        {"10.1.12.1", "10.1.24.4", 46, 0, 0, "1:/nQI4Rh/TtY3mf0R2gJFBkVlgS4="},
        {"10.0.0.1", "10.0.0.1", 6, 9000, 80, "1:h7TinaUh4GjLw6QxFuNrAT0ci7Y="},
        {"10.0.0.1", "10.0.0.1", 6, 80, 9000, "1:h7TinaUh4GjLw6QxFuNrAT0ci7Y="},
        // clang-format on
    };
    for (const auto& c : cases) {
        EXPECT_EQ(community_id({addr(c.src), addr(c.dst), c.proto, c.sport, c.dport}), c.id)
            << c.src << " " << c.dst;
    }
}

// An Ethernet/IPv4/TCP frame with the given flags.
Bytes tcp_frame(const char* src, const char* dst, std::uint16_t sport, std::uint16_t dport,
                std::uint8_t flags, std::size_t payload) {
    return ip_frame(tcp4(src, dst, sport, dport, repeat(0xAB, payload), flags));
}
// What a flow's statistics and byte rows hold is checked through the tool's
// tables against an independent reading (tests/python/test_dataset_tables.py);
// here, the masking of a tunnelled packet, which those captures do not have.
TEST(FlowStats, MasksTheInnermostHeaderOfATunnel) {
    const Bytes inner = tcp_frame("192.168.0.1", "192.168.0.2", 1111, 2222, 0x02, 4);
    const Bytes outer =
        eth(mac(9), mac(8), kEtherIpv4,
            ipv4(ip("10.9.9.1"), ip("10.9.9.2"), 17, udp(5555, 4789, vxlan(7, inner))));
    Bytes frame = outer;
    const Packet p = from_pcap_record(0, 0, static_cast<std::uint32_t>(outer.size()),
                                      SharedBytes::from_vector(outer), kLinkEthernet, Decode::Wide);
    mask_frame(frame, p, kLinkEthernet, kMaskMac | kMaskIp | kMaskPort);
    const std::size_t at = outer.size() - inner.size();
    Bytes masked = inner; // MACs, addresses and ports zeroed
    for (std::size_t i = 0; i < 12; ++i) {
        masked.at(i) = masked.at(26 + i) = 0;
    }
    EXPECT_EQ(Bytes(frame.begin() + at, frame.end()), masked);
    EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 12), Bytes(12, 0));
}

// A tunnel's outer datagram in two fragments: the first is decoded through
// to the packet inside, the later one joins that packet's flow; masking
// finds the later one's own header, the outer one, and zeroes it.
TEST(FlowStats, LaterFragmentsOfATunnelJoinItsInnerFlow) {
    const Bytes inner = ipv4(ip("192.168.0.1"), ip("192.168.0.2"), 17, udp(1111, 2222, sample(40)));
    const Bytes outer = ipv4(ip("10.9.9.1"), ip("10.9.9.2"), 47, gre(kEtherIpv4, inner));
    const Bytes first = cut(ipv4_fragment(outer, 5, 0, true), 20 + 32);
    const Bytes later = cat({cut(ipv4_fragment(outer, 5, 4, false), 20), sample(30, 9)});
    FragmentTracker tracker;
    std::vector<Packet> packets;
    for (const Bytes& packet : {first, later}) {
        const Bytes f = eth(mac(2), mac(1), kEtherIpv4, packet);
        packets.push_back(from_pcap_record(0, 0, static_cast<std::uint32_t>(f.size()),
                                           SharedBytes::from_vector(f), kLinkEthernet,
                                           Decode::Wide));
        EXPECT_TRUE(tracker.place(packets.back()));
    }
    EXPECT_EQ(packets[1].ip, packets[0].ip);
    EXPECT_EQ(std::tie(packets[1].ip->src_port, packets[1].ip->protocol),
              std::make_tuple(std::uint16_t{1111}, std::uint8_t{17}));
    Bytes masked(packets[1].bytes().begin(), packets[1].bytes().end());
    mask_frame(masked, packets[1], kLinkEthernet, kMaskIp);
    EXPECT_EQ(Bytes(masked.begin() + 26, masked.begin() + 34), Bytes(8, 0));

    // The inner packet's payload is what the fragments carry of it: the
    // outer lengths end it, not the frames' trailer or padding, nor the
    // inner length, which runs past the first fragment.
    const auto sized = [](Bytes packet) {
        packet.at(2) = static_cast<std::uint8_t>(packet.size() >> 8);
        packet.at(3) = static_cast<std::uint8_t>(packet.size());
        return packet;
    };
    const Bytes head = sized(cut(ipv4_fragment(outer, 6, 0, true), 20 + 64));
    const Bytes tail = sized(cat(
        {cut(ipv4_fragment(outer, 6, 8, false), 20), Bytes(outer.begin() + 20 + 64, outer.end())}));
    FragmentTracker whole;
    const FlowFeatures features;
    FlowStats stats(features);
    for (Bytes f : {cat({eth(mac(2), mac(1), kEtherIpv4, head), Bytes(4, 0xEE)}),
                    eth(mac(2), mac(1), kEtherIpv4, tail)}) {
        f.resize(std::max<std::size_t>(f.size(), 60), 0xEE);
        Packet p = from_pcap_record(0, 0, static_cast<std::uint32_t>(f.size()),
                                    SharedBytes::from_vector(f), kLinkEthernet, Decode::Wide);
        EXPECT_TRUE(whole.place(p));
        stats.add(p, kLinkEthernet);
    }
    EXPECT_EQ(stats.record().payload[0], 40u);
}

// Ports and the checksums over addresses and ports: masked with them, they
// are zeroed (the IPv4 header's, then the transport's), and only they, behind
// IPv6 extension headers too and for SCTP, whose ports flows do not keep.  A
// later fragment has no transport header to mask.
TEST(FlowStats, MasksPortsAndChecksumsWithTheirFields) {
    const Bytes v4 = ip("10.0.0.1"), v6 = ip("2001:db8::1");
    const auto frame = [](std::uint16_t type, const Bytes& packet) {
        return eth(mac(2), mac(1), type, packet);
    };
    const Bytes fragment = ipv4_fragment(ipv4(v4, v4, 17, udp(1, 2, sample(20))), 7, 8, false);
    // Ports that differ in every byte, so that a byte left unmasked shows.
    const Bytes sctp = cat({be({{0x0F1C, 2}, {0x0F1D, 2}, {7, 4}, {0, 4}}), sample(16)});
    const Bytes hop_by_hop_tcp = ext_header(6, 0, tcp(0x15B3, 0x0116, sample(9)));
    using Case = std::tuple<Bytes, std::vector<std::size_t>, std::vector<std::size_t>>;
    for (const auto& [plain, sums, ports] : {
             // frame, checksum offsets, port offsets
             Case{frame(kEtherIpv4, ipv4(v4, v4, 6, tcp(0x1234, 0x5678, sample(9)))),
                  {24, 25, 50, 51},
                  {34, 35, 36, 37}},
             Case{frame(kEtherIpv4, ipv4(v4, v4, 17, udp(0x1234, 0x5678, sample(9)))),
                  {24, 25, 40, 41},
                  {34, 35, 36, 37}},
             Case{frame(kEtherIpv6, ipv6(v6, v6, 58, Bytes{128, 0, 0, 0, 0, 1, 0, 1})),
                  {56, 57},
                  {}},
             Case{frame(kEtherIpv6, ipv6(v6, v6, 0, hop_by_hop_tcp)), {78, 79}, {62, 63, 64, 65}},
             Case{frame(kEtherIpv4, ipv4(v4, v4, 132, sctp)),
                  {24, 25, 42, 43, 44, 45},
                  {34, 35, 36, 37}},
             Case{frame(kEtherIpv4, fragment), {24, 25}, {}},
         }) {
        Bytes filled = plain;
        for (std::size_t at : sums) {
            filled.at(at) = 0xAB;
        }
        const Packet p =
            from_pcap_record(0, 0, static_cast<std::uint32_t>(filled.size()),
                             SharedBytes::from_vector(filled), kLinkEthernet, Decode::Wide);
        Bytes fields = filled, all = filled, addresses = filled;
        mask_frame(fields, p, kLinkEthernet, kMaskIp | kMaskPort);
        mask_frame(all, p, kLinkEthernet, kMaskIp | kMaskPort | kMaskChecksum);
        mask_frame(addresses, p, kLinkEthernet, kMaskIp);
        for (std::size_t at : sums) {
            EXPECT_EQ(fields.at(at), 0xAB) << at;
            fields.at(at) = addresses.at(at) = 0;
        }
        for (std::size_t at : ports) {
            EXPECT_EQ(addresses.at(at), filled.at(at)) << at;
            EXPECT_EQ(fields.at(at), 0) << at;
            addresses.at(at) = 0;
        }
        EXPECT_EQ(all, fields);
        EXPECT_EQ(addresses, fields);
    }
}

// Every place a frame names a host is zeroed with its field, and nothing
// else: all four 802.11 addresses (radiotap too; CTS names one station), what
// a frame cut off inside its IP header or its ports holds of them, and the
// packet an ICMP error quotes.
TEST(FlowStats, MasksEveryPlaceAFrameNamesAHost) {
    const Bytes a = ip("10.0.0.1"), b = ip("10.0.0.2");
    const Bytes body = llc_snap(kEtherIpv4, ipv4(a, b, 17, udp(1, 2, sample(4))));
    const auto span = [](std::size_t from, std::size_t n) {
        std::vector<std::size_t> v(n);
        std::iota(v.begin(), v.end(), from);
        return v;
    };
    const auto join = [](std::initializer_list<std::vector<std::size_t>> parts) {
        std::vector<std::size_t> v;
        for (const auto& p : parts) {
            v.insert(v.end(), p.begin(), p.end());
        }
        return v;
    };
    const Bytes quoted = ipv4(a, b, 17, udp(0x1234, 0x5678, sample(4)));
    const Bytes icmp_error = cat({{3, 3, 0, 0, 0, 0, 0, 0}, quoted});
    const Bytes eth_tcp = eth(mac(2), mac(1), kEtherIpv4, ipv4(a, b, 6, tcp(0x1234, 0x5678, {})));
    const Bytes v6 = ip("2001:db8::1"), w6 = ip("2001:db8::2");
    // An ICMPv6 error quoting a packet whose UDP header follows a hop-by-hop header.
    const Bytes icmp6_error =
        cat({{1, 4, 0, 0, 0, 0, 0, 0},
             ipv6(v6, w6, 0, ext_header(17, 0, udp(0x1234, 0x5678, sample(4))))});
    // Addresses without zero bytes: the zeroed places are filled in first.
    const Bytes m1{2, 1, 1, 1, 1, 1}, m2{2, 2, 2, 2, 2, 2};
    const Bytes to_itself = eth(m1, m1, kEtherIpv4, ipv4(a, b, 17, udp(1, 2, cat({m1, m1}))));
    const Bytes inner = eth(m2, m1, kEtherIpv4, ipv4(a, b, 17, udp(1, 2, cat({m2, m1}))));
    const Bytes tunnelled =
        eth(mac(9), mac(8), kEtherIpv4, ipv4(a, b, 17, udp(5555, 4789, vxlan(7, inner))));
    // frame, link type, mask, the offsets it zeroes
    using Case = std::tuple<Bytes, std::uint32_t, std::uint8_t, std::vector<std::size_t>>;
    for (const auto& [plain, link, mask, zeroed] : {
             Case{wifi(2, 2, mac(1), mac(2), mac(3), body), kLinkIeee80211, kMaskMac, span(4, 18)},
             Case{wifi(2, 3, mac(1), mac(2), mac(3), body), kLinkIeee80211, kMaskMac,
                  join({span(4, 18), span(24, 6)})},
             Case{radiotap(8, wifi(0, 0, mac(1), mac(2), mac(3), {})), kLinkRadiotap, kMaskMac,
                  span(12, 18)},
             Case{cat({{0xC4, 0, 0, 0}, mac(1)}), kLinkIeee80211, kMaskMac, span(4, 6)},
             // Ethernet headers where they stand, not a payload that holds
             // their addresses (a host's to itself, or a tunnel's inner one).
             Case{to_itself, kLinkEthernet, kMaskMac, span(0, 12)},
             Case{tunnelled, kLinkEthernet, kMaskMac, join({span(0, 12), span(50, 12)})},
             Case{cut(eth_tcp, 30), kLinkEthernet, kMaskIp | kMaskChecksum, span(24, 6)},
             Case{cut(eth_tcp, 36), kLinkEthernet, kMaskPort, span(34, 2)},
             Case{eth(mac(2), mac(1), kEtherIpv4, ipv4(b, a, 1, icmp_error)), kLinkEthernet,
                  kMaskIp | kMaskPort | kMaskChecksum,
                  join({span(24, 10), span(36, 2), span(52, 10), span(62, 4), span(68, 2)})},
             Case{eth(mac(2), mac(1), kEtherIpv6, ipv6(w6, v6, 58, icmp6_error)), kLinkEthernet,
                  kMaskIp | kMaskPort | kMaskChecksum,
                  join({span(22, 32), span(56, 2), span(70, 32), span(110, 4), span(116, 2)})},
         }) {
        Bytes filled = plain;
        for (std::size_t at : zeroed) {
            filled.at(at) = filled.at(at) == 0 ? 0xAB : filled.at(at);
        }
        const Packet p = from_pcap_record(0, 0, static_cast<std::uint32_t>(filled.size()),
                                          SharedBytes::from_vector(filled), link, Decode::Wide);
        Bytes masked = filled, want = filled;
        mask_frame(masked, p, link, mask);
        for (std::size_t at : zeroed) {
            want.at(at) = 0;
        }
        EXPECT_EQ(masked, want) << link << " " << plain.size();
    }
}

// A flow's payload is the application's bytes: not what follows the IP
// packet (an Ethernet frame padded to 60 bytes, a trailer), not SCTP's
// common header; but to the frame's end where the IPv4 total length is 0
// (segmentation offload), and behind IPv6 authentication headers and ESP.
TEST(FlowStats, PayloadIsTheApplicationsBytes) {
    const Bytes v4 = ip("10.0.0.1"), other = ip("10.0.0.2"), v6 = ip("2001:db8::1");
    const auto padded = [](Bytes frame) {
        frame.resize(std::max<std::size_t>(frame.size(), 60), 0xEE);
        return frame;
    };
    const auto frame = [](std::uint16_t type, const Bytes& packet) {
        return eth(mac(2), mac(1), type, packet);
    };
    Bytes offloaded = frame(kEtherIpv4, ipv4(v4, other, 6, tcp(1, 2, Bytes{'t', 'c', 'p'})));
    offloaded.at(16) = offloaded.at(17) = 0;
    const Bytes sctp = cat({be({{80, 2}, {7, 2}, {1, 4}, {0xABCD, 4}}), Bytes{'s', 'c'}});
    const Bytes ah = cat({{17, 4}, Bytes(22, 0xAA), udp(1, 2, Bytes{'a', 'h'})});
    using Case = std::tuple<std::vector<Bytes>, Bytes>; // frames of one flow, payload
    for (const auto& [frames, payload] : {
             Case{{padded(frame(kEtherIpv4, ipv4(v4, other, 17, udp(1, 2, Bytes{'q'})))),
                   padded(frame(kEtherIpv4, ipv4(other, v4, 17, udp(2, 1, Bytes{'r'})))),
                   cat({frame(kEtherIpv4, ipv4(v4, other, 17, udp(1, 2, Bytes{'s'}))),
                        Bytes{1, 2, 3, 4}})},
                  Bytes{'q', 'r', 's'}},
             Case{{offloaded}, Bytes{'t', 'c', 'p'}},
             Case{{padded(frame(kEtherIpv4, ipv4(v4, other, 132, sctp)))}, Bytes{'s', 'c'}},
             Case{{frame(kEtherIpv6, ipv6(v6, v6, 51, ah))}, Bytes{'a', 'h'}},
             Case{{frame(kEtherIpv6, ipv6(v6, v6, 50, Bytes{'e', 's', 'p'}))},
                  Bytes{'e', 's', 'p'}},
             Case{{cut(frame(kEtherIpv4, ipv4(v4, other, 6, tcp(1, 2, Bytes{'x'}))), 36)}, {}},
             Case{{cut(frame(kEtherIpv4, ipv4(v4, other, 17, udp(1, 2, Bytes{'x'}))), 37)}, {}},
         }) {
        FlowFeatures features;
        features.row_bytes = 8;
        features.payload = true;
        FlowStats stats(features);
        for (const Bytes& f : frames) {
            stats.add(from_pcap_record(0, 0, static_cast<std::uint32_t>(f.size()),
                                       SharedBytes::from_vector(f), kLinkEthernet, Decode::Wide),
                      kLinkEthernet);
        }
        const FlowRecord& r = stats.record();
        Bytes row = payload;
        row.resize(8, 0);
        EXPECT_EQ(r.payload[0] + r.payload[1], payload.size()) << frames.size();
        EXPECT_EQ(r.row, row);
    }
}

// Flows keep no SCTP ports, but the table shows the first packet's, and its
// Community ID is the published one, computed with them.
TEST(FlowStats, SctpFlowsTakeTheFirstPacketsPorts) {
    const Bytes sctp = cat({be({{80, 2}, {7, 2}, {1, 4}, {0, 4}}), sample(16)});
    const Bytes f =
        eth(mac(2), mac(1), kEtherIpv4, ipv4(ip("192.168.170.56"), ip("192.168.170.8"), 132, sctp));
    FlowFeatures features;
    FlowStats stats(features);
    stats.add(from_pcap_record(0, 0, static_cast<std::uint32_t>(f.size()),
                               SharedBytes::from_vector(f), kLinkEthernet, Decode::Wide),
              kLinkEthernet);
    const FlowRecord& r = stats.record();
    EXPECT_EQ(std::tie(r.src_port, r.dst_port, r.packets[0]),
              std::make_tuple(std::uint16_t{80}, std::uint16_t{7}, std::uint64_t{1}));
    EXPECT_EQ(flow_community_id(r), "1:jQgCxbku+pNGw8WPbEc/TS/uTpQ=");
}

// An archive's flows are read a chunk at a time, on helper threads or not, and
// byte rows read only the packets they need: none of it shows in the records,
// in their order, nor in where a damaged list or a failing sink ends the run.
TEST(FlowStats, ArchiveFlowsAreTheSameWhateverReadsThem) {
    TempDir dir;
    const std::string input = dir / "in.pcap", archive = dir / "a.vexlor";
    PcapBuilder pcap;
    // A few chunks of flows; the host 10.0.0.2 has more packets than are
    // gathered at once.
    constexpr int kFlows = 700;
    for (std::uint32_t round = 0; round < 6; ++round) {
        for (std::uint16_t i = 0; i < kFlows; ++i) {
            const char* a = i % 2 ? "10.0.0.1" : "10.0.0.3";
            const Bytes f = round % 3 == 1
                                ? tcp_frame("10.0.0.2", a, 80, 1000 + i, 0x12, i % 50)
                                : tcp_frame(a, "10.0.0.2", 1000 + i, 80, 0x10, round * 7);
            pcap.packet(100 + round, i, f);
        }
    }
    write_file(input, pcap.bytes());
    ASSERT_TRUE(build_archive({.input_path = input, .output_path = archive}));

    auto fields = [](const FlowRecord& r) {
        return std::tuple(r.id, r.key, r.src_port, r.packets[0], r.packets[1], r.bytes[0],
                          r.bytes[1], r.payload[0], r.payload[1], r.tcp_flags, r.first_us,
                          r.last_us, r.sizes, r.dirs, r.gaps, r.row, r.start_us);
    };
    using Fields = decltype(fields(FlowRecord{}));
    auto run = [&](const std::string& path, FlowFeatures features, unsigned threads,
                   std::size_t fail_at = SIZE_MAX, std::vector<std::string> ips = {}) {
        const FlowStatsOptions opt{
            .input_path = path, .ip_filters = ips, .features = features, .threads = threads};
        std::vector<Fields> got;
        Status st = run_flow_stats(opt, [&](const FlowRecord& r) -> Status {
            if (got.size() == fail_at) {
                return runtime_error("sink full");
            }
            got.push_back(fields(r));
            return {};
        });
        return std::pair(got, st ? std::string() : st.error().message);
    };

    const FlowFeatures table{.first_n = 2},
        // The first packet and part of the second.
        rows{.first_n = 0, .row_bytes = 70, .mask = kMaskIp | kMaskPort},
        light{.first_n = 0, .row_bytes = 70, .mask = kMaskIp | kMaskPort, .directions = false},
        // Five packets: more than are gathered at first.
        slots{.first_n = 0, .row_bytes = 40, .row_packets = 5};

    const auto [want, ok] = run(archive, table, 0);
    ASSERT_EQ(want.size(), std::size_t(kFlows));
    EXPECT_EQ(ok, "");
    EXPECT_EQ(std::get<4>(want[5]), 2u); // two packets the other way
    for (unsigned threads : {0u, 1u, 3u}) {
        EXPECT_EQ(run(archive, table, threads), std::pair(want, std::string()));
    }
    for (const FlowFeatures& features : {rows, slots}) {
        FlowFeatures counting = features;
        counting.directions = false;
        const auto [with_rows, ok_rows] = run(archive, features, 0);
        for (unsigned threads : {0u, 3u}) {
            auto [counted, ok_light] = run(archive, counting, threads);
            ASSERT_EQ(counted.size(), with_rows.size());
            for (std::size_t i = 0; i < counted.size(); ++i) {
                Fields full = with_rows[i];
                // Counted one way only, from the flow entry, without payload and
                // flags.
                std::get<3>(full) += std::get<4>(full);
                std::get<4>(full) = 0;
                std::get<5>(full) += std::get<6>(full);
                std::get<6>(full) = 0;
                std::get<7>(full) = std::get<8>(full) = 0;
                std::get<9>(full) = 0;
                // Of the times, only the first packet's is kept.
                std::get<10>(full) = std::get<10>(counted[i]);
                std::get<11>(full) = std::get<11>(counted[i]);
                ASSERT_EQ(counted[i], full) << "flow " << i + 1 << ", " << threads << " threads";
            }
        }
    }
    // A failing sink ends the run with its failure, wherever the threads are;
    // so does flow 400's list pointed past the end, with the reader's words.
    // The flows before are handed over.
    Bytes bytes = file_bytes(archive);
    const auto table_at = load_le<std::uint64_t>(bytes.data() + bytes.size() - 128 + 48);
    store_le<std::uint64_t>(bytes.data() + table_at + 399 * 96 + 56, bytes.size());
    write_file(dir / "damaged.vexlor", bytes);
    using Ending = std::tuple<std::string, std::size_t, std::size_t, std::string>;
    for (unsigned threads : {0u, 1u, 3u}) {
        for (const auto& [path, fail_at, handed, message] :
             {Ending{archive, 300, 300, "sink full"},
              Ending{dir / "damaged.vexlor", SIZE_MAX, 399, "Offset list extends beyond file"}}) {
            const auto [some, failed] = run(path, table, threads, fail_at);
            EXPECT_EQ(some, std::vector<Fields>(want.begin(), want.begin() + handed));
            EXPECT_EQ(failed, message);
        }
    }

    // Filtered, every packet is looked into: a host's flow holds packets of
    // both its peers.
    const std::string hosts = dir / "hosts.vexlor";
    ASSERT_TRUE(build_archive(
        {.input_path = input, .output_path = hosts, .strategy = SplitStrategy::Host}));
    for (const FlowFeatures& features : {table, light}) {
        for (const auto& [ips, want_counts] :
             {std::pair{std::vector<std::string>{}, std::vector<std::uint64_t>{2100, 4200, 2100}},
              {{"10.0.0.3"}, {2100, 2100}}}) {
            const auto [flows, failed] = run(hosts, features, 0, SIZE_MAX, ips);
            std::vector<std::uint64_t> counts;
            for (const Fields& f : flows) {
                counts.push_back(std::get<3>(f) + std::get<4>(f));
            }
            EXPECT_EQ(std::pair(counts, failed), std::pair(want_counts, std::string()));
        }
    }
}

// Under host and mac a packet is stored in the flows of both its ends: an
// archive's flow is named after the end all its packets share, as a table of
// the capture names it, even where every packet has both ends (a and b), and
// a later flow of the same end, after an idle timeout, is "-2".
TEST(FlowStats, ArchiveFlowsOfBothEndsKeepTheirNames) {
    TempDir dir;
    const std::string input = dir / "in.pcap", archive = dir / "a.vexlor";
    PcapBuilder pcap;
    const auto frame = [](std::uint8_t from, std::uint8_t to) {
        const std::string src = "10.0.0." + std::to_string(from),
                          dst = "10.0.0." + std::to_string(to);
        return eth(mac(to), mac(from), kEtherIpv4,
                   ipv4(ip(src.c_str()), ip(dst.c_str()), 17, udp(1000 + from, 53, {})));
    };
    for (std::uint32_t i : {0, 1, 2, 3, 4, 5, 100, 101}) {
        pcap.packet(i, 0, i % 2 ? frame(2, 1) : frame(1, 2)); // a, b
        pcap.packet(i, 1, frame(3, 4));                       // c, d
        pcap.packet(i, 2, frame(5, 4));                       // e, d
    }
    write_file(input, pcap.bytes());
    const FlowBoundaryOptions idle{.idle_timeout_us = 10'000'000};
    for (SplitStrategy strategy : {SplitStrategy::Host, SplitStrategy::Mac}) {
        auto names = [&](const std::string& path, FlowFeatures features) {
            std::vector<std::pair<std::string, std::uint64_t>> got;
            EXPECT_TRUE(run_flow_stats({.input_path = path,
                                        .strategy = strategy,
                                        .boundaries = idle,
                                        .features = features},
                                       [&](const FlowRecord& r) -> Status {
                                           got.emplace_back(r.key, r.packets[0] + r.packets[1]);
                                           return {};
                                       }));
            std::ranges::sort(got);
            return got;
        };
        ASSERT_TRUE(build_archive({.input_path = input,
                                   .output_path = archive,
                                   .strategy = strategy,
                                   .boundaries = idle}));
        const auto want = names(input, {});
        ASSERT_EQ(want.size(), 10u);
        EXPECT_EQ(names(archive, {}), want);
        // Byte rows alone read a flow's first packet only.
        EXPECT_EQ(names(archive, {.first_n = 0, .row_bytes = 8, .directions = false}), want);
    }
    // What the order of the flows cannot tell, the tool's archives record:
    // which end each flow is for.  Here 1 -> 2, then after the timeout
    // 3 -> 1: the flows of 1, 2, 3 and "1-2".
    write_file(input, PcapBuilder{}.packet(0, 0, frame(1, 2)).packet(100, 0, frame(3, 1)).bytes());
    for (SplitStrategy strategy : {SplitStrategy::Host, SplitStrategy::Mac}) {
        RunControl sides;
        sides.record_host_side = true;
        ASSERT_TRUE(build_archive({.input_path = input,
                                   .output_path = archive,
                                   .strategy = strategy,
                                   .boundaries = idle,
                                   .control = sides}));
        auto keys = [&](const std::string& path, FlowBoundaryOptions boundaries) {
            std::vector<std::string> got;
            EXPECT_TRUE(
                run_flow_stats({.input_path = path, .strategy = strategy, .boundaries = boundaries},
                               [&](const FlowRecord& r) -> Status {
                                   got.push_back(r.key);
                                   return {};
                               }));
            return got;
        };
        const auto want = keys(input, idle);
        ASSERT_EQ(want.size(), 4u);
        EXPECT_TRUE(want[3].ends_with("1-2")) << want[3];
        EXPECT_EQ(keys(archive, {}), want);
    }
}

} // namespace
} // namespace vexlor
