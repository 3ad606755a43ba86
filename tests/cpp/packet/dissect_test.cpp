#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <ostream>
#include <tuple>

#include "builders.h"
#include "common/ip_text.h"
#include "packet/packet.h"

namespace vexlor {

// Readable failure output: addresses and offsets instead of raw object bytes.
void PrintTo(const Dissection& d, std::ostream* os) {
    for (const auto& m : {d.dst_mac, d.src_mac, d.bssid}) {
        *os << (m ? std::to_string(m->bytes[5]) : "-") << ' '; // the builders vary the last byte
    }
    if (d.ip) {
        *os << format_ip(d.ip->src_ip) << '.' << d.ip->src_port << " > " << format_ip(d.ip->dst_ip)
            << '.' << d.ip->dst_port << " proto " << int(d.ip->protocol);
    }
    *os << " payload@" << (d.payload_offset ? std::to_string(*d.payload_offset) : "-");
}

namespace {

using namespace vexlor::test;

constexpr std::uint32_t kEth = kLinkEthernet;
constexpr std::uint32_t kWifi = kLinkIeee80211;
constexpr std::uint32_t kRtap = kLinkRadiotap;
constexpr std::uint32_t kRaw = 101;

// Frames: one fixed pair of addresses per layer keeps the rows short.
Bytes v4pkt(std::uint8_t proto, const Bytes& payload, std::uint8_t ihl = 5) {
    return ipv4(ip4("10.0.0.1"), ip4("10.0.0.2"), proto, payload, ihl);
}
Bytes v6pkt(std::uint8_t next, const Bytes& payload) {
    return ipv6(ip6("2001:db8::1"), ip6("2001:db8::2"), next, payload);
}
Bytes ether(std::uint16_t type, const Bytes& payload) {
    return eth(mac(1), mac(2), type, payload);
}
Bytes eth4(std::uint8_t proto, const Bytes& payload, std::uint8_t ihl = 5) {
    return ether(kEtherIpv4, v4pkt(proto, payload, ihl));
}
Bytes eth_vlan(std::uint16_t inner, const Bytes& payload) {
    return ether(kEtherVlan, vlan(7, inner, payload));
}
Bytes wifi_data(std::uint8_t flags, const Bytes& body) {
    return wifi(2, flags, mac(0x11), mac(0x12), mac(0x13), body);
}
Bytes snap_udp() {
    return llc_snap(kEtherIpv4, v4pkt(17, udp(1000, 2000, {1, 2})));
}
Bytes cut(Bytes b, std::size_t n) {
    b.resize(n);
    return b;
}
Bytes set(Bytes b, std::size_t i, std::uint8_t v) {
    b.at(i) = v;
    return b;
}
// `count` hop-by-hop headers of 8 bytes in front of `last`.
Bytes v6_chain(int count, std::uint8_t last, Bytes payload) {
    for (int i = 0; i < count; ++i) {
        payload = ext_header(i == 0 ? last : 0, 0, payload);
    }
    return v6pkt(count > 0 ? 0 : last, payload);
}

// Expected results: addresses named by the last byte of mac(n) (0: none),
// then IP fields and the payload start.
Dissection macs(std::uint8_t dst, std::uint8_t src, std::uint8_t bssid = 0) {
    Dissection d;
    d.dst_mac = MacAddress{mac(dst)};
    d.src_mac = MacAddress{mac(src)};
    if (bssid != 0) {
        d.bssid = MacAddress{mac(bssid)};
    }
    return d;
}
IpInfo v4(std::uint8_t proto, std::uint16_t sport = 0, std::uint16_t dport = 0) {
    return {IpAddress::v4(ip4("10.0.0.1").data()), IpAddress::v4(ip4("10.0.0.2").data()), proto,
            sport, dport};
}
IpInfo v6(std::uint8_t proto, std::uint16_t sport = 0, std::uint16_t dport = 0) {
    return {IpAddress::v6(ip6("2001:db8::1").data()), IpAddress::v6(ip6("2001:db8::2").data()),
            proto, sport, dport};
}
Dissection with(Dissection d, IpInfo ip, std::optional<std::uint64_t> payload = std::nullopt) {
    d.ip = ip;
    d.payload_offset = payload;
    return d;
}
const Dissection kNothing{};
const Dissection kEthMacs = macs(1, 2);
Dissection on_eth(IpInfo ip, std::optional<std::uint64_t> payload = std::nullopt) {
    return with(kEthMacs, ip, payload);
}
Dissection raw(IpInfo ip, std::optional<std::uint64_t> payload = std::nullopt) {
    return with({}, ip, payload);
}
const IpInfo kSnapUdp = v4(17, 1000, 2000);
// Authentication (sized in 8-byte units like the rest) and destination
// options headers in front of UDP.
const Bytes kAhDstOpts = ext_header(60, 1, ext_header(17, 2, udp(5, 6, {})));

struct Case {
    const char* name;
    std::uint32_t link;
    Bytes frame;
    Dissection want;
};
void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

class DissectTable : public testing::TestWithParam<Case> {};

TEST_P(DissectTable, Decodes) {
    const Case& c = GetParam();
    EXPECT_EQ(dissect_frame(c.frame, c.link), c.want);
    // Packets are dissected in place by a second instantiation of the same steps.
    const Packet p = from_pcap_record(1, 2, 3, SharedBytes::from_vector(c.frame), c.link);
    EXPECT_EQ((Dissection{p.src_mac, p.dst_mac, p.bssid, p.ip, p.payload_offset}), c.want);
}

// Every prefix of every row, each in a heap block of exactly its length so
// that the address sanitizer sees any read past the captured bytes.  Bytes
// after the payload start are never read: cutting there changes nothing.
TEST_P(DissectTable, EveryPrefixStaysInsideTheCapture) {
    const Case& c = GetParam();
    const Dissection whole = dissect_frame(c.frame, c.link);
    for (std::size_t len = 0; len <= c.frame.size(); ++len) {
        auto copy = std::make_unique<std::uint8_t[]>(len);
        std::copy_n(c.frame.begin(), len, copy.get());
        const Dissection d = dissect_frame({copy.get(), len}, c.link);
        SCOPED_TRACE(testing::Message() << "prefix " << len);
        EXPECT_LE(d.payload_offset.value_or(0), len);
        EXPECT_TRUE(d.ip || !d.payload_offset);
        EXPECT_EQ(d.src_mac.has_value(), d.dst_mac.has_value());
        EXPECT_TRUE(d.src_mac || !d.bssid);
        // (A TCP data offset below the minimum puts the payload start inside
        // the TCP header, which must be captured whole to be read at all.)
        if (whole.payload_offset && len >= *whole.payload_offset &&
            std::string_view(c.name) != "TcpDataOffset2") {
            EXPECT_EQ(d, whole);
        }
    }
}

const Case kCases[] = {
    // Ethernet
    {"Thirteen", kEth, cut(eth4(6, {}), 13), kNothing},
    {"Arp", kEth, ether(kEtherArp, repeat(0, 28)), kEthMacs},
    // Padding counts as payload: IP lengths are not consulted.
    {"Padded", kEth, cat({eth4(6, tcp(1234, 80, {})), repeat(0, 6)}), on_eth(v4(6, 1234, 80), 54)},
    {"IcmpEcho", kEth, eth4(1, icmp_echo({1, 2})), on_eth(v4(1))},
    {"Vlan", kEth, eth_vlan(kEtherIpv4, v4pkt(17, udp(53, 99, {5}))), on_eth(v4(17, 53, 99), 46)},
    {"VlanIn17Bytes", kEth, cut(eth_vlan(kEtherIpv4, v4pkt(17, {})), 17), kEthMacs},
    {"StackedVlan", kEth, eth_vlan(kEtherVlan, vlan(8, kEtherIpv4, v4pkt(17, {}))), kEthMacs},
    // The version nibble decides, not the EtherType.
    {"Nibble6", kEth, ether(kEtherIpv4, v6pkt(17, udp(1, 2, {}))), on_eth(v6(17, 1, 2), 62)},
    {"NibbleNeither", kEth, ether(kEtherIpv4, set(v4pkt(17, {}), 0, 0x55)), kEthMacs},
    {"HeaderLength4", kEth, eth4(6, tcp(1, 2, {}), 4), kEthMacs},
    {"HeaderPastCapture", kEth, ether(kEtherIpv4, set(v4pkt(6, tcp(1, 2, {})), 0, 0x4F)), kEthMacs},
    {"Ipv4Options", kEth, eth4(17, udp(1, 2, {9}), 6), on_eth(v4(17, 1, 2), 14 + 24 + 8)},
    {"TcpCutAt10", kEth, eth4(6, cut(tcp(1234, 80, {}), 10)), on_eth(v4(6, 1234, 80))},
    {"UdpCutAt2", kEth, eth4(17, cut(udp(53, 99, {}), 2)), on_eth(v4(17), 34)},
    {"UdpCutAt4", kEth, eth4(17, cut(udp(53, 99, {}), 4)), on_eth(v4(17, 53, 99), 38)},
    {"Gre", kEth, eth4(47, repeat(0, 4)), on_eth(v4(47), 34)},
    {"TcpDataOffset2", kEth, eth4(6, tcp(1, 2, {7}, 2)), on_eth(v4(6, 1, 2), 14 + 20 + 8)},
    {"DataOffsetPastCapture", kEth, eth4(6, set(tcp(1, 2, {}), 12, 0xF0)), on_eth(v4(6, 1, 2), 54)},
    // A later fragment: its first bytes are taken for ports all the same.
    {"LaterFragment", kEth, ether(kEtherIpv4, set(v4pkt(17, {0, 1, 0, 2, 9}), 7, 0x10)),
     on_eth(v4(17, 1, 2), 39)},
    // IPv6 extension headers
    {"Udp6", kRaw, v6pkt(17, udp(53, 99, {1})), raw(v6(17, 53, 99), 48)},
    {"EveryExtensionKind", kRaw,
     v6pkt(0, ext_header(43, 0, ext_header(44, 0, ext_header(51, 0, kAhDstOpts)))),
     raw(v6(17, 5, 6), 40 + 8 + 8 + 8 + 16 + 24 + 8)},
    {"FirstHeaderCutOff", kRaw, cut(v6pkt(0, ext_header(6, 0, {})), 41), kNothing},
    {"EspAfterHopByHop", kRaw, v6pkt(0, ext_header(50, 0, repeat(0, 16))), raw(v6(50))},
    {"Icmpv6", kRaw, v6pkt(58, icmp_echo({})), raw(v6(58))},
    // The hop-by-hop header declares 16 bytes of which 10 were captured.
    {"DeclaredHeaderPastCapture", kRaw, cut(v6pkt(0, ext_header(6, 1, tcp(1, 2, {}))), 50),
     raw(v6(6), 50)},
    // At most eight extension headers are walked.
    {"EightHeadersThenTcp", kRaw, v6_chain(8, 6, tcp(1, 2, {})), raw(v6(6, 1, 2), 124)},
    {"NineHeaders", kRaw, v6_chain(9, 6, tcp(1, 2, {})), raw(v6(0), 104)},
    {"SevenHeadersThenNoNext", kRaw, v6_chain(7, 59, {}), raw(v6(59))},
    {"EightHeadersThenNoNext", kRaw, v6_chain(8, 59, {}), raw(v6(59), 104)},
    // 802.11: which address is the BSS depends on the DS bits.
    {"DataNoDs", kWifi, wifi_data(0, snap_udp()), with(macs(0x11, 0x12, 0x13), kSnapUdp, 60)},
    {"DataFromDs", kWifi, wifi_data(2, snap_udp()), with(macs(0x11, 0x12, 0x12), kSnapUdp, 60)},
    {"DataToDs", kWifi, wifi_data(1, snap_udp()), with(macs(0x11, 0x12, 0x11), kSnapUdp, 60)},
    {"DataBothDs", kWifi, wifi_data(3, snap_udp()), with(macs(0x11, 0x12), kSnapUdp, 66)},
    {"Beacon", kWifi, wifi(0, 0, mac(0xFF), mac(0x12), mac(0x13), {}), macs(0xFF, 0x12, 0x13)},
    {"Control", kWifi, wifi(1, 0, mac(0x11), mac(0x12), mac(0x13), {}), macs(0x11, 0x12)},
    // The two-byte QoS control field is not skipped.
    {"Qos", kWifi, set(wifi_data(1, cat({{0, 0}, snap_udp()})), 0, 0x88), macs(0x11, 0x12, 0x11)},
    {"SnapArp", kWifi, wifi_data(0, llc_snap(kEtherArp, repeat(0, 28))), macs(0x11, 0x12, 0x13)},
    {"SnapCutShort", kWifi, cut(wifi_data(0, snap_udp()), 31), macs(0x11, 0x12, 0x13)},
    {"Header23", kWifi, cut(wifi_data(0, {}), 23), kNothing},
    {"Radiotap", kRtap, radiotap(36, wifi_data(2, snap_udp())),
     with(macs(0x11, 0x12, 0x12), kSnapUdp, 36 + 60)},
    {"RadiotapVersion1", kRtap, set(radiotap(8, wifi_data(0, snap_udp())), 0, 1), kNothing},
    {"RadiotapLength2", kRtap, set(radiotap(8, wifi_data(0, snap_udp())), 2, 2), kNothing},
    {"RadiotapPastFrame", kRtap, set(radiotap(8, wifi_data(0, {})), 3, 1), kNothing},
    {"RadiotapThenShortWifi", kRtap, radiotap(8, cut(wifi_data(0, {}), 23)), kNothing},
    // Every other link type is read as raw IP: a cooked-capture header
    // starts with a zero packet type, which is no IP version, and neither is
    // the 02 of an Ethernet frame under a network field with upper bits set.
    {"Raw", kRaw, v4pkt(6, tcp(1, 2, {3})), raw(v4(6, 1, 2), 40)},
    {"Cooked113", 113, cat({repeat(0, 16), v4pkt(6, tcp(1, 2, {}))}), kNothing},
    {"EthernetWithUpperBits", 0x00010001, eth4(17, udp(1, 2, {})), kNothing},
};
INSTANTIATE_TEST_SUITE_P(Frames, DissectTable, testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FromPcapRecord, KeepsTheRecordFieldsAndSharesTheBytes) {
    SharedBytes data = SharedBytes::from_vector(repeat(0, 20));
    const std::uint8_t* storage = data.data();
    // Lengths and timestamps are taken as given, not checked against each other.
    const Packet p = from_pcap_record(0xFFFFFFFF, 1500000, 3, std::move(data), kEth);
    EXPECT_EQ(std::tuple(p.ts_sec, p.ts_usec, p.orig_len, p.caplen),
              std::tuple(0xFFFFFFFFu, 1500000u, 3u, 20u));
    EXPECT_EQ(p.data.data(), storage); // moved in, not copied
}

} // namespace
} // namespace vexlor
