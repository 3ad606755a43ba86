// Frame decoding, basic (dissect_frame, and from_pcap_record on a packet's
// own bytes) and wide (dissect_wide: link types, tags, tunnels, fragments),
// over tables of built frames and every prefix of them, and over real
// captures against what tshark finds in them.
#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>

#include "common/byte_reader.h"
#include "packet/wide_dissect.h"
#include "reading.h"

namespace vexlor {

namespace {

using namespace vexlor::test;
using K = LayerKind;
using E = Encapsulation;
constexpr std::uint32_t kEth = kLinkEthernet, kWifi = kLinkIeee80211, kRtap = kLinkRadiotap;
constexpr std::uint32_t kRaw = 101;

// Inner packets go from 10.0.0.1 (or 2001:db8::1) to .2, by default with UDP
// from 1000 to 2000 and two bytes of data; outer ones go from 192.0.2.1 (or
// 2001:db8:ff::1) to .2.  Ethernet headers go from mac(2) to mac(1), inner
// ones from mac(4) to mac(3).
const Bytes kUdp = udp(1000, 2000, {7, 7});
Bytes in4(const Bytes& l4 = kUdp, std::uint8_t proto = 17, std::uint8_t ihl = 5) {
    return ipv4(ip("10.0.0.1"), ip("10.0.0.2"), proto, l4, ihl);
}
Bytes in6(const Bytes& l4 = kUdp, std::uint8_t next = 17) {
    return ipv6(ip("2001:db8::1"), ip("2001:db8::2"), next, l4);
}
Bytes out4(std::uint8_t proto, const Bytes& payload) {
    return ipv4(ip("192.0.2.1"), ip("192.0.2.2"), proto, payload);
}
Bytes out6(std::uint8_t next, const Bytes& payload) {
    return ipv6(ip("2001:db8:ff::1"), ip("2001:db8:ff::2"), next, payload);
}
Bytes ether(std::uint16_t type, const Bytes& payload) {
    return eth(mac(1), mac(2), type, payload);
}
Bytes eth4(const Bytes& ip) {
    return ether(kEtherIpv4, ip);
}

// ---- the basic decoding -----------------------------------------------------

Bytes tagged(int tags, const Bytes& packet) { // ids 1, 2, ... from the outside
    Bytes b = packet;
    for (int i = tags; i > 0; --i) {
        b = vlan(static_cast<std::uint16_t>(i), i == tags ? kEtherIpv4 : kEtherVlan, b);
    }
    return ether(kEtherVlan, b);
}
Bytes wifi_data(std::uint8_t flags, const Bytes& body) {
    return wifi(2, flags, mac(0x11), mac(0x12), mac(0x13), body);
}
Bytes snap_udp() {
    return llc_snap(kEtherIpv4, in4(udp(1000, 2000, {1, 2})));
}
// `count` hop-by-hop headers of 8 bytes in front of `last`.
Bytes v6_chain(int count, std::uint8_t last, Bytes payload) {
    for (int i = 0; i < count; ++i) {
        payload = ext_header(i == 0 ? last : 0, 0, payload);
    }
    return in6(payload, count > 0 ? 0 : last);
}

// Expected results: the IP fields, where the payload starts, and Ethernet
// addresses mac(n) and mac(n + 1) (0: none); or 802.11 addresses named by the
// last byte of mac(n).
IpInfo v4(std::uint8_t proto, std::uint16_t sport = 0, std::uint16_t dport = 0) {
    return ip_info("10.0.0.1", "10.0.0.2", proto, sport, dport);
}
IpInfo v6(std::uint8_t proto, std::uint16_t sport = 0, std::uint16_t dport = 0) {
    return ip_info("2001:db8::1", "2001:db8::2", proto, sport, dport);
}
Dissection base(std::optional<IpInfo> ip, std::optional<std::uint64_t> payload = {},
                std::uint8_t macs = 1) {
    Dissection d{.ip = ip, .payload_offset = payload};
    if (macs != 0) {
        d.dst_mac = mac_address(macs);
        d.src_mac = mac_address(macs + 1);
    }
    return d;
}
Dissection macs(std::uint8_t dst, std::uint8_t src, std::uint8_t bssid = 0,
                std::optional<IpInfo> ip = {}, std::optional<std::uint64_t> payload = {}) {
    Dissection d{mac_address(src), mac_address(dst), {}, ip, payload};
    if (bssid != 0) {
        d.bssid = mac_address(bssid);
    }
    return d;
}
const Dissection kNothing{}, kEthMacs = base({});
const IpInfo kSnapUdp = v4(17, 1000, 2000);
// Authentication (sized in 8-byte units like the rest) and destination
// options headers in front of UDP.
const Bytes kAhDstOpts = ext_header(60, 1, ext_header(17, 2, udp(5, 6, {})));

// A frame of a link type and what either decoding makes of it.
template <class Want> struct Case {
    const char* name;
    std::uint32_t link;
    Bytes frame;
    Want want;
};
template <class Want> void PrintTo(const Case<Want>& c, std::ostream* os) {
    *os << c.name;
}

class DissectTable : public testing::TestWithParam<Case<Dissection>> {};

// Packets are dissected in place by a second instantiation of the same
// steps.  Bytes after the payload start are never read: cutting there
// changes nothing.  (A TCP data offset below the minimum puts the payload
// start inside the TCP header, which must be captured whole to be read.)
TEST_P(DissectTable, Decodes) {
    const auto& c = GetParam();
    EXPECT_EQ(dissect_frame(c.frame, c.link), c.want);
    const Packet p = from_pcap_record(1, 2, 3, SharedBytes::from_vector(c.frame), c.link);
    EXPECT_EQ((Dissection{p.src_mac, p.dst_mac, p.bssid, p.ip, p.payload_offset}), c.want);
    const std::size_t from = c.want.payload_offset.value_or(c.frame.size() + 1);
    for (std::size_t len = from; len < c.frame.size() && c.name != std::string("TcpDataOffset2");
         ++len) {
        EXPECT_EQ(dissect_frame(ByteSpan(c.frame.data(), len), c.link), c.want) << "prefix " << len;
    }
}

// clang-format off
const Case<Dissection> kCases[] = {
    // Ethernet
    {"Thirteen", kEth, cut(eth4(in4({}, 6)), 13), kNothing},
    {"Arp", kEth, ether(kEtherArp, repeat(0, 28)), kEthMacs},
    // Padding counts as payload: IP lengths are not consulted.
    {"Padded", kEth, cat({eth4(in4(tcp(1234, 80, {}), 6)), repeat(0, 6)}), base(v4(6, 1234, 80), 54)},
    {"IcmpEcho", kEth, eth4(in4(icmp_echo({1, 2}), 1)), base(v4(1))},
    {"Vlan", kEth, tagged(1, in4(udp(53, 99, {5}))), base(v4(17, 53, 99), 46)},
    {"VlanIn17Bytes", kEth, cut(tagged(1, in4({})), 17), kEthMacs},
    {"StackedVlan", kEth, tagged(2, in4({})), kEthMacs},
    // The version nibble decides, not the EtherType.
    {"Nibble6", kEth, ether(kEtherIpv4, in6(udp(1, 2, {}), 17)), base(v6(17, 1, 2), 62)},
    {"NibbleNeither", kEth, ether(kEtherIpv4, set(in4({}), 0, 0x55)), kEthMacs},
    {"HeaderLength4", kEth, eth4(in4(tcp(1, 2, {}), 6, 4)), kEthMacs},
    {"HeaderPastCapture", kEth, ether(kEtherIpv4, set(in4(tcp(1, 2, {}), 6), 0, 0x4F)), kEthMacs},
    {"Ipv4Options", kEth, eth4(in4(udp(1, 2, {9}), 17, 6)), base(v4(17, 1, 2), 14 + 24 + 8)},
    {"TcpCutAt10", kEth, eth4(in4(cut(tcp(1234, 80, {}), 10), 6)), base(v4(6, 1234, 80))},
    {"UdpCutAt2", kEth, eth4(in4(cut(udp(53, 99, {}), 2), 17)), base(v4(17), 34)},
    {"UdpCutAt4", kEth, eth4(in4(cut(udp(53, 99, {}), 4), 17)), base(v4(17, 53, 99), 38)},
    {"Gre", kEth, eth4(in4(repeat(0, 4), 47)), base(v4(47), 34)},
    {"TcpDataOffset2", kEth, eth4(in4(tcp(1, 2, {7}, 2), 6)), base(v4(6, 1, 2), 14 + 20 + 8)},
    {"DataOffsetPastCapture", kEth, eth4(in4(set(tcp(1, 2, {}), 12, 0xF0), 6)), base(v4(6, 1, 2), 54)},
    // A later fragment: its first bytes are taken for ports all the same.
    {"LaterFragment", kEth, ether(kEtherIpv4, set(in4({0, 1, 0, 2, 9}, 17), 7, 0x10)), base(v4(17, 1, 2), 39)},
    // IPv6 extension headers
    {"Udp6", kRaw, in6(udp(53, 99, {1}), 17), base(v6(17, 53, 99), 48, 0)},
    {"EveryExtensionKind", kRaw,
     in6(ext_header(43, 0, ext_header(44, 0, ext_header(51, 0, kAhDstOpts))), 0),
     base(v6(17, 5, 6), 40 + 8 + 8 + 8 + 16 + 24 + 8, 0)},
    {"FirstHeaderCutOff", kRaw, cut(in6(ext_header(6, 0, {}), 0), 41), kNothing},
    {"EspAfterHopByHop", kRaw, in6(ext_header(50, 0, repeat(0, 16)), 0), base(v6(50), {}, 0)},
    {"Icmpv6", kRaw, in6(icmp_echo({}), 58), base(v6(58), {}, 0)},
    // The hop-by-hop header declares 16 bytes of which 10 were captured.
    {"DeclaredHeaderPastCapture", kRaw, cut(in6(ext_header(6, 1, tcp(1, 2, {})), 0), 50), base(v6(6), 50, 0)},
    // At most eight extension headers are walked.
    {"EightHeadersThenTcp", kRaw, v6_chain(8, 6, tcp(1, 2, {})), base(v6(6, 1, 2), 124, 0)},
    {"NineHeaders", kRaw, v6_chain(9, 6, tcp(1, 2, {})), base(v6(0), 104, 0)},
    {"SevenHeadersThenNoNext", kRaw, v6_chain(7, 59, {}), base(v6(59), {}, 0)},
    {"EightHeadersThenNoNext", kRaw, v6_chain(8, 59, {}), base(v6(59), 104, 0)},
    // 802.11: which address is the BSS depends on the DS bits.
    {"DataNoDs", kWifi, wifi_data(0, snap_udp()), macs(0x11, 0x12, 0x13, kSnapUdp, 60)},
    {"DataFromDs", kWifi, wifi_data(2, snap_udp()), macs(0x11, 0x12, 0x12, kSnapUdp, 60)},
    {"DataToDs", kWifi, wifi_data(1, snap_udp()), macs(0x11, 0x12, 0x11, kSnapUdp, 60)},
    {"DataBothDs", kWifi, wifi_data(3, snap_udp()), macs(0x11, 0x12, 0, kSnapUdp, 66)},
    {"Beacon", kWifi, wifi(0, 0, mac(0xFF), mac(0x12), mac(0x13), {}), macs(0xFF, 0x12, 0x13)},
    {"Control", kWifi, wifi(1, 0, mac(0x11), mac(0x12), mac(0x13), {}), macs(0x11, 0x12)},
    // The two-byte QoS control field is not skipped.
    {"Qos", kWifi, set(wifi_data(1, cat({{0, 0}, snap_udp()})), 0, 0x88), macs(0x11, 0x12, 0x11)},
    {"SnapArp", kWifi, wifi_data(0, llc_snap(kEtherArp, repeat(0, 28))), macs(0x11, 0x12, 0x13)},
    {"SnapCutShort", kWifi, cut(wifi_data(0, snap_udp()), 31), macs(0x11, 0x12, 0x13)},
    {"Header23", kWifi, cut(wifi_data(0, {}), 23), kNothing},
    {"Radiotap", kRtap, radiotap(36, wifi_data(2, snap_udp())), macs(0x11, 0x12, 0x12, kSnapUdp, 36 + 60)},
    {"RadiotapVersion1", kRtap, set(radiotap(8, wifi_data(0, snap_udp())), 0, 1), kNothing},
    {"RadiotapLength2", kRtap, set(radiotap(8, wifi_data(0, snap_udp())), 2, 2), kNothing},
    {"RadiotapPastFrame", kRtap, set(radiotap(8, wifi_data(0, {})), 3, 1), kNothing},
    {"RadiotapThenShortWifi", kRtap, radiotap(8, cut(wifi_data(0, {}), 23)), kNothing},
    // Every other link type is read as raw IP: a cooked-capture header
    // starts with a zero packet type, which is no IP version, and neither is
    // the 02 of an Ethernet frame under a network field with upper bits set.
    {"Raw", kRaw, in4(tcp(1, 2, {3}), 6), base(v4(6, 1, 2), 40, 0)},
    {"Cooked113", 113, cat({repeat(0, 16), in4(tcp(1, 2, {}), 6)}), kNothing},
    {"EthernetWithUpperBits", 0x00010001, eth4(in4(udp(1, 2, {}))), kNothing},
};
// clang-format on
INSTANTIATE_TEST_SUITE_P(Frames, DissectTable, testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- the wide decoding ------------------------------------------------------

Bytes over(std::uint8_t proto, const Bytes& payload) {
    return eth4(out4(proto, payload));
}
Bytes over_udp(std::uint16_t sport, std::uint16_t dport, const Bytes& payload) {
    return over(17, udp(sport, dport, payload));
}
Bytes inner_eth(std::uint16_t type, const Bytes& payload) {
    return eth(mac(3), mac(4), type, payload);
}
Bytes inner_eth4() {
    return inner_eth(kEtherIpv4, in4());
}
Bytes ip_in_ip(int depth) {
    Bytes b = in4();
    for (int i = 0; i < depth; ++i) {
        b = out4(4, b);
    }
    return eth4(b);
}
Bytes nested() { // MPLS, then GRE, then VXLAN from 192.0.2.9
    const Bytes vx = set(out4(17, udp(5, 4789, vxlan(77, inner_eth(kEtherIpv6, in6())))), 15, 9);
    return ether(kEtherMpls, mpls({16}, out4(47, gre(kEtherIpv4, vx))));
}
const IpInfo kOuter6{addr("2001:db8:ff::1"), addr("2001:db8:ff::2")};

// Expected results, as above; got4/got6 name where the inner IP header starts.
WideDissection got(std::optional<IpInfo> ip, std::optional<std::uint64_t> payload,
                   std::uint8_t macs = 1, E e = {}, FragmentInfo f = {}) {
    return {base(ip, payload, macs), e, f};
}
WideDissection got4(std::uint64_t at, E e = {}, std::uint8_t macs = 1) {
    return got(v4(17, 1000, 2000), at + 28, macs, e);
}
WideDissection got6(std::uint64_t at, E e = {}, std::uint8_t macs = 1) {
    return got(v6(17, 1000, 2000), at + 48, macs, e);
}
WideDissection outer(std::uint8_t proto, std::uint16_t sport = 0, std::uint16_t dport = 0,
                     E e = {}) {
    return got(ip_info("192.0.2.1", "192.0.2.2", proto, sport, dport), 34 + (proto == 17) * 8, 1,
               e);
}
WideDissection with_bssid(WideDissection w, std::uint8_t bssid) {
    w.base.bssid = mac_address(bssid);
    return w;
}
WideDissection later_fragment(WideDissection w, std::uint8_t proto, std::uint64_t payload,
                              std::uint32_t id) {
    w.base.ip->protocol = proto;
    w.base.ip->src_port = w.base.ip->dst_port = 0;
    w.base.payload_offset = payload;
    w.fragment = {true, false, id};
    return w;
}

template <class T> E id(std::optional<T> E::*field, std::uint32_t v, E e = {}) {
    e.*field = static_cast<T>(v);
    return e;
}
E tags(int count, std::initializer_list<std::uint16_t> ids) {
    E e;
    e.vlan_count = static_cast<std::uint8_t>(count);
    std::copy(ids.begin(), ids.end(), e.vlan_ids.begin());
    return e;
}
E labels(std::initializer_list<std::uint32_t> stack, E e = {}) {
    e.mpls_count = static_cast<std::uint8_t>(stack.size());
    std::copy(stack.begin(), stack.end(), e.mpls_labels.begin());
    return e;
}
// The layers passed; `outer_ip` names the outermost IP header when the
// innermost is another.
E via(std::initializer_list<K> kinds, E e = {}, int tunnels = 0,
      std::optional<IpInfo> outer_ip = {}) {
    for (K k : kinds) {
        e.kinds |= static_cast<std::uint16_t>(k);
    }
    e.tunnels = static_cast<std::uint8_t>(tunnels);
    if (outer_ip) {
        e.tunnel_src = outer_ip->src_ip;
        e.tunnel_dst = outer_ip->dst_ip;
    }
    return e;
}
E tunnel(std::initializer_list<K> kinds, E e = {}, int tunnels = 1) {
    return via(kinds, e, tunnels, outer(0).base.ip);
}

// clang-format off
const Case<WideDissection> kWideCases[] = {
    // Link types and tags
    {"Ethernet", kEth, eth4(in4()), got4(14)},
    {"OneTag", kEth, tagged(1, in4()), got4(18, via({K::Vlan}, tags(1, {1})))},
    // Priority bits in the outer tag are not part of the id.
    {"QinQ", kEth,
     set(ether(kEtherQinq, vlan(100, kEtherVlan, vlan(7, kEtherIpv6, in6()))), 14, 0xE0),
     got6(22, via({K::Vlan}, tags(2, {100, 7})))},
    {"Tag9100", kEth, ether(0x9100, vlan(300, kEtherIpv4, in4())), got4(18, via({K::Vlan}, tags(1, {300})))},
    {"SixTags", kEth, tagged(6, in4()), got4(38, via({K::Vlan}, tags(6, {1, 2, 3, 4})))},
    {"Cooked", kLinkLinuxCooked, sll(kEtherIpv4, in4()), got4(16, {}, 0)},
    {"Cooked2", kLinkLinuxCooked2, sll2(kEtherIpv6, in6()), got6(20, {}, 0)},
    {"NullLittleEndian", kLinkNull, loopback(2, in4()), got4(4, {}, 0)},
    {"NullBigEndianV6", kLinkNull, loopback(30, in6(), true), got6(4, {}, 0)},
    {"NullUnknownFamily", kLinkNull, loopback(7, in4()), {}},
    {"NullEtherType", kLinkNull, loopback(0x0008000F, in4()), got4(4, {}, 0)},
    {"Loop", kLinkLoop, loopback(24, in6(), true), got6(4, {}, 0)},
    {"LoopLittleEndian", kLinkLoop, loopback(2, in4()), {}},
    {"Raw228", 228, in4(), got4(0, {}, 0)},
    {"Raw229", 229, in6(), got6(0, {}, 0)},
    {"Ppp", kLinkPpp, ppp(kPppIpv4, in4()), got4(4, {}, 0)},
    {"PppCompressed", kLinkPpp, ppp(kPppIpv6, in6(), false, true), got6(1, {}, 0)},
    {"Wifi", kLinkIeee80211,
     wifi(2, 0, mac(0x11), mac(0x12), mac(0x13), llc_snap(kEtherIpv4, in4())),
     with_bssid(got4(32, {}, 0x11), 0x13)},
    // QoS data (subtype 8): a QoS control field, with the order flag an HT
    // control field too; a protected body is not read.
    {"WifiQos", kLinkIeee80211,
     wifi(0x22, 0, mac(0x11), mac(0x12), mac(0x13), cat({{0, 0}, llc_snap(kEtherIpv4, in4())})),
     with_bssid(got4(34, {}, 0x11), 0x13)},
    {"WifiQosHtControl", kLinkRadiotap,
     radiotap(8, wifi(0x22, 0x82, mac(0x11), mac(0x12), mac(0x13), cat({Bytes(6, 0), llc_snap(kEtherIpv6, in6())}))),
     with_bssid(got6(8 + 38, {}, 0x11), 0x12)},
    {"WifiQosProtected", kLinkIeee80211,
     wifi(0x22, 0x40, mac(0x11), mac(0x12), mac(0x13), cat({{0, 0}, llc_snap(kEtherIpv4, in4())})),
     with_bssid(got({}, {}, 0x11), 0x13)},
    {"WifiToDsIpInIp", kLinkIeee80211,
     wifi(2, 1, mac(0x11), mac(0x12), mac(0x13), llc_snap(kEtherIpv4, out4(4, in4()))),
     with_bssid(got4(52, tunnel({K::IpInIp}), 0x11), 0x11)},
    // A four-address header (30 bytes) behind 12 bytes of radiotap.
    {"RadiotapVxlan", kLinkRadiotap,
     radiotap(12, wifi(2, 3, mac(0x11), mac(0x12), mac(0x13),
                       llc_snap(kEtherIpv4, out4(17, udp(5, 4789, vxlan(1, inner_eth4())))))),
     got4(12 + 38 + 28 + 8 + 14, tunnel({K::Vxlan}, id(&E::vni, 1)), 3)},
    // Label stacks and PPPoE
    {"Mpls", kEth, ether(kEtherMpls, mpls({100, 200}, in4())), got4(22, via({K::Mpls}, labels({100, 200})))},
    {"MplsMulticast", kEth, ether(0x8848, mpls({0xFFFFF}, in6())), got6(18, via({K::Mpls}, labels({0xFFFFF})))},
    {"MplsPseudowire", kEth, ether(kEtherMpls, mpls({30}, cat({repeat(0, 4), inner_eth4()}))),
     got4(36, via({K::Mpls}, labels({30})), 3)},
    {"MplsNeitherIpNorWire", kEth, ether(kEtherMpls, mpls({30}, repeat(0x55, 30))),
     got({}, {}, 1, via({K::Mpls}, labels({30})))},
    {"Pppoe", kEth, ether(kEtherPppoe, pppoe_session(0x1234, kPppIpv4, in4())),
     got4(22, via({K::Pppoe}, id(&E::pppoe_session, 0x1234)))},
    {"PppMpls", kLinkPpp, ppp(0x0281, mpls({5}, in4())), got4(8, via({K::Mpls}, labels({5})), 0)},
    // GRE
    {"Gre", kEth, over(47, gre(kEtherIpv4, in4())), got4(38, tunnel({K::Gre}))},
    {"GreAllFields", kEth, over(47, gre(kEtherIpv6, in6(), 0xDEADBEEF, true, true)),
     got6(50, tunnel({K::Gre}, id(&E::gre_key, 0xDEADBEEF)))},
    {"GreBridging", kEth, over(47, gre(kGreBridging, inner_eth4(), 9)),
     got4(56, tunnel({K::Gre}, id(&E::gre_key, 9)), 3)},
    {"GreMpls", kEth, over(47, gre(kEtherMpls, mpls({55}, in4()))), got4(42, tunnel({K::Gre, K::Mpls}, labels({55})))},
    {"GreOverIpv6", kEth, ether(kEtherIpv6, out6(47, gre(kEtherIpv4, in4()))), got4(58, via({K::Gre}, {}, 1, kOuter6))},
    {"GreUnknownType", kEth, over(47, gre(0x1234, in4())), outer(47)},
    {"Pptp", kEth, over(47, pptp_gre(77, ppp(kPppIpv4, in4()))), got4(50, tunnel({K::Gre}, id(&E::gre_key, 77)))},
    {"PptpAckCompressed", kEth,
     over(47, pptp_gre(78, ppp(kPppIpv6, in6(), false, true), false, true)),
     got6(47, tunnel({K::Gre}, id(&E::gre_key, 78)))},
    {"Erspan2", kEth, over(47, gre(kGreErspan2, erspan2(0x3AB, inner_eth4()), {}, false, true)),
     got4(64, tunnel({K::Gre, K::Erspan}, id(&E::erspan_session, 0x3AB)), 3)},
    {"Erspan3", kEth, over(47, gre(kGreErspan3, erspan3(12, inner_eth(kEtherIpv6, in6())))),
     got6(64, tunnel({K::Gre, K::Erspan}, id(&E::erspan_session, 12)), 3)},
    {"Erspan3Platform", kEth, over(47, gre(kGreErspan3, erspan3(1023, inner_eth4(), true))),
     got4(72, tunnel({K::Gre, K::Erspan}, id(&E::erspan_session, 1023)), 3)},
    // The GRE header was passed; the ERSPAN one is of a version not read.
    {"Erspan2Version2", kEth, over(47, gre(kGreErspan2, set(erspan2(1, inner_eth4()), 0, 0x20))),
     outer(47, 0, 0, via({K::Gre}, {}, 1))},
    // UDP tunnels, and UDP packets on their ports that are none.
    {"Vxlan", kEth, over_udp(5, 4789, vxlan(0xABCDEF, inner_eth4())),
     got4(64, tunnel({K::Vxlan}, id(&E::vni, 0xABCDEF)), 3)},
    {"VxlanWithoutI", kEth, over_udp(5, 4789, set(vxlan(1, inner_eth4()), 0, 0)), outer(17, 5, 4789)},
    {"VxlanCutShort", kEth, cut(over_udp(5, 4789, vxlan(1, {})), 49), outer(17, 5, 4789)},
    {"Geneve", kEth, over_udp(5, 6081, geneve(0x123456, kGreBridging, inner_eth4(), 2)),
     got4(72, tunnel({K::Geneve}, id(&E::vni, 0x123456)), 3)},
    {"GeneveIp", kEth, over_udp(5, 6081, geneve(9, kEtherIpv6, in6())), got6(50, tunnel({K::Geneve}, id(&E::vni, 9)))},
    {"GeneveVersion1", kEth, over_udp(5, 6081, set(geneve(9, kEtherIpv6, in6()), 0, 0x40)), outer(17, 5, 6081)},
    {"Gtpu", kEth, over_udp(2152, 2152, gtpu(0x01020304, in4())),
     got4(50, tunnel({K::Gtpu}, id(&E::teid, 0x01020304)))},
    {"GtpuExtensionsFromPort", kEth, over_udp(2152, 40000, gtpu(5, in6(), {1, 3}, true)),
     got6(70, tunnel({K::Gtpu}, id(&E::teid, 5)))},
    {"GtpuNotIp", kEth, over_udp(9, 2152, gtpu(5, repeat(0, 20))), outer(17, 9, 2152)},
    // IP in IP
    {"Ip4in4", kEth, over(4, in4()), got4(34, tunnel({K::IpInIp}))},
    {"Ip6in4", kEth, over(41, in6()), got6(34, tunnel({K::IpInIp}))},
    {"Ip4in6", 101, out6(4, in4()), got4(40, via({K::IpInIp}, {}, 1, kOuter6), 0)},
    {"Ip6in6", 101, out6(41, in6()), got6(40, via({K::IpInIp}, {}, 1, kOuter6), 0)},
    {"InnerIpCutShort", kEth, cut(over(4, in4()), 34 + 19), outer(4)},
    {"Nested", kEth, nested(), got6(92, tunnel({K::Mpls, K::Gre, K::Vxlan}, labels({16}, id(&E::vni, 77)), 2), 3)},
    // Limits: eight tunnels, kMaxWideLayers headers in all.
    {"IpInIp100", kEth, ip_in_ip(100), got(outer(4).base.ip, 14 + 9 * 20, 1, tunnel({K::IpInIp}, {}, 8))},
    {"Tags40", kEth, tagged(40, in4()), got({}, {}, 1, via({K::Vlan}, tags(kMaxWideLayers - 1, {1, 2, 3, 4})))},
    // Fragments
    {"V4FirstFragment", kEth, eth4(ipv4_fragment(in4(), 0x4242, 0, true)),
     got(got4(0).base.ip, 42, 1, {}, {true, true, 0x4242})},
    {"V4MiddleFragment", kEth, eth4(ipv4_fragment(in4(), 0x4242, 100, true)), later_fragment(got4(14), 17, 34, 0x4242)},
    {"V4LastFragment", kEth, eth4(ipv4_fragment(in4(udp(1, 2, {}), 1), 7, 3, false)),
     later_fragment(got4(14), 1, 34, 7)},
    {"V6FirstFragment", 101, in6(ipv6_fragment(17, 0, true, 0xABCDEF01, kUdp), 44),
     got(got6(0).base.ip, 56, 0, {}, {true, true, 0xABCDEF01})},
    {"V6MiddleFragment", 101, in6(ipv6_fragment(17, 10, true, 3, kUdp), 44), later_fragment(got6(0, {}, 0), 17, 48, 3)},
    // The basic walk would take the data for more headers and give up.
    {"V6LastFragmentAfterHopByHop", 101,
     in6(ext_header(44, 0, ipv6_fragment(60, 10, false, 4, {0, 0xFF})), 0),
     later_fragment(got6(0, {}, 0), 60, 56, 4)},
    {"V6FragmentHeaderCutShort", 101, cut(in6(ipv6_fragment(17, 0, true, 3, kUdp), 44), 43),
     later_fragment(got6(0, {}, 0), 17, 43, 0)},
    // IPv6 authentication headers are sized in 4-byte units here (24 bytes
    // for the usual 12-byte check value), and ESP has a payload as in IPv4.
    {"V6AuthenticationHeader", 101, in6(cat({{17, 4}, Bytes(22, 0), kUdp}), 51), got(v6(17, 1000, 2000), 40 + 24 + 8, 0)},
    {"V6Esp", 101, in6(repeat(0x55, 16), 50), got(v6(50), 40, 0)},
    {"LaterFragmentOfGre", kEth, eth4(ipv4_fragment(out4(47, gre(kEtherIpv4, in4())), 1, 9, false)),
     later_fragment(outer(47), 47, 34, 1)},
    // A first fragment is decoded through: what is said is of the innermost packet.
    // ...and the fragment is the outer datagram's, known by its key.
    {"FirstFragmentOfGre", kEth, eth4(ipv4_fragment(out4(47, gre(kEtherIpv4, in4())), 1, 0, true)),
     got(got4(0).base.ip, 38 + 28, 1, tunnel({K::Gre}), {true, true, 1, datagram_key(*outer(47).base.ip, 1)})},
};
// clang-format on

class WideTable : public testing::TestWithParam<Case<WideDissection>> {};

// Every layer cut at every byte: each prefix is a buffer of its own size, so
// that a read past it is a sanitizer's report, and what is found lies in it.
// (That the two decodings agree on the frames both understand alike is the
// dissection fuzz target's.)
TEST_P(WideTable, Decodes) {
    WideDissection got;
    got.encap.tunnels = 99; // whatever the object held before is overwritten
    dissect_wide(GetParam().frame, GetParam().link, got);
    // What was found; where headers stand and end is the masking's and the
    // payload's, tested with them.
    const auto found = [](const WideDissection& d) {
        return std::tie(d.base, d.encap, d.fragment);
    };
    EXPECT_EQ(found(got), found(GetParam().want));
    for (std::size_t len = 0; len < GetParam().frame.size(); ++len) {
        const Bytes prefix = cut(GetParam().frame, len);
        dissect_wide(prefix, GetParam().link, got);
        EXPECT_LE(got.base.payload_offset.value_or(0), len) << "prefix " << len;
    }
}

INSTANTIATE_TEST_SUITE_P(Frames, WideTable, testing::ValuesIn(kWideCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Every frame of real captures of plain traffic: nothing but a tag is found,
// and the base is the basic decoding's answer.  In captures of tunnels and
// tags, as many frames show each layer as tshark's display filters count
// (vxlan, mpls, pppoes, gre, ip.proto==41, vlan, ipv6.fraghdr,
// ip.flags.mf==1 || ip.frag_offset>0); their innermost addresses were
// compared with tshark's by hand.
TEST(WideRealCaptures, AgreeAndFindTheLayersTsharkFinds) {
    SKIP_WITHOUT_CAPTURES();
    for (const char* file :
         {"tcpdump/eth-tcp-mptcp-264pkts.pcap", "zeek/eth-vlan-ipv4-tcp-http.pcap",
          "pcapplusplus/eth-icmpv6-echo.pcap", "zeek/eth-ipv6-hbh-routing0-udp.pcap",
          "pcapplusplus/raw101-100pkts.pcap", "zeek/ieee80211-105-data-llc-ipv4-ipv6-dns.pcap",
          "aircrack-ng/radiotap-127-192frames.pcap"}) {
        const Reading r = reading(capture_bytes(file));
        EXPECT_FALSE(r.records.empty()) << file;
        int qos = 0; // 802.11 QoS data frames, which only the wide decoding reads
        for (const Rec& rec : r.records) {
            WideDissection d;
            dissect_wide(rec.frame, rec.link_type, d);
            EXPECT_FALSE(d.fragment.fragment) << file;
            EXPECT_EQ(d.encap.kinds & ~std::uint16_t(K::Vlan), 0) << file;
            Dissection want = dissect_frame(rec.frame, rec.link_type);
            if (!want.ip && d.base.ip && rec.link_type == kLinkIeee80211 &&
                (rec.frame[0] & 0x8C) == 0x88) {
                ++qos;
                want.ip = d.base.ip;
                want.payload_offset = d.base.payload_offset;
            }
            EXPECT_EQ(d.base, want) << file;
        }
        EXPECT_EQ(qos > 0, std::string_view(file).starts_with("zeek/ieee80211")) << file;
    }
    const struct {
        const char* file;
        std::optional<K> kind; // none: fragments
        int frames, with_kind;
    } counts[] = {{"tcpdump/eth-udp-vxlan.pcap", K::Vxlan, 10, 10},
                  {"pcapplusplus/eth-mpls.pcap", K::Mpls, 2, 2},
                  {"tcpdump/ppp9-mpls-traceroute.pcap", K::Mpls, 18, 9},
                  {"pcapplusplus/eth-pppoe-session.pcap", K::Pppoe, 2, 2},
                  {"pcapplusplus/pcapng-named-pcap-gre.pcapng", K::Gre, 7, 7},
                  {"tcpdump/pcap-be-us-eth-pptp-gre.pcap", K::Gre, 23, 1},
                  {"zeek/eth-ipv4-ipv6-in-ipv4-41.pcap", K::IpInIp, 1, 1},
                  {"zeek/eth-two-8100-tags-ipv4-udp.pcap", K::Vlan, 5, 5},
                  {"tcpdump/eth-qinq-8021ad.pcap", K::Vlan, 2, 2},
                  {"pcapplusplus/eth-ipv6-fragments.pcap", {}, 36, 36},
                  {"pcapplusplus/eth-ipv4-fragments.pcap", {}, 53, 50}};
    for (const auto& t : counts) {
        int frames = 0, with_kind = 0;
        for (const Rec& rec : reading(capture_bytes(t.file)).records) {
            WideDissection d;
            dissect_wide(rec.frame, rec.link_type, d);
            ++frames;
            with_kind += t.kind ? d.encap.has(*t.kind) : d.fragment.fragment;
        }
        EXPECT_EQ(std::pair(frames, with_kind), std::pair(t.frames, t.with_kind)) << t.file;
    }
}

} // namespace
} // namespace vexlor
