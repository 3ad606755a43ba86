#include "common/byte_reader.h"
#include "common/ip_text.h"
#include "packet/wide_dissect.h"
#include "parser/capture_reader.h"

#include "builders.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <ostream>

namespace vexlor {

void PrintTo(const Dissection& d, std::ostream* os); // beside the basic decoding's tests

void PrintTo(const WideDissection& w, std::ostream* os) {
    PrintTo(w.base, os);
    const Encapsulation& e = w.encap;
    *os << " kinds " << std::hex << e.kinds << std::dec << " tunnels " << int(e.tunnels) << " tags "
        << int(e.vlan_count) << " labels " << int(e.mpls_count);
    const auto show = [os](const char* name, auto id) {
        if (id) {
            *os << ' ' << name << ' ' << std::uint32_t(*id);
        }
    };
    show("pppoe", e.pppoe_session);
    show("key", e.gre_key);
    show("vni", e.vni);
    show("teid", e.teid);
    show("erspan", e.erspan_session);
    if (e.tunnel_src) {
        *os << " from " << format_ip(*e.tunnel_src) << " > " << format_ip(*e.tunnel_dst);
    }
    if (w.fragment.fragment) {
        *os << (w.fragment.first ? " first" : " later") << " fragment " << w.fragment.id;
    }
}

namespace {

using namespace vexlor::test;
using K = LayerKind;

constexpr std::uint32_t kEth = kLinkEthernet;

// Outer packets go between 192.0.2.1 and .2 (or 2001:db8:ff::1 and ::2),
// inner ones between 10.0.0.1 and .2 (or 2001:db8::1 and ::2) and carry
// UDP from 1000 to 2000 with two bytes of data.
const Bytes kUdp = udp(1000, 2000, {7, 7});
Bytes in4(const Bytes& l4 = kUdp, std::uint8_t proto = 17) {
    return ipv4(ip4("10.0.0.1"), ip4("10.0.0.2"), proto, l4);
}
Bytes in6(const Bytes& l4 = kUdp, std::uint8_t next = 17) {
    return ipv6(ip6("2001:db8::1"), ip6("2001:db8::2"), next, l4);
}
Bytes out4(std::uint8_t proto, const Bytes& payload) {
    return ipv4(ip4("192.0.2.1"), ip4("192.0.2.2"), proto, payload);
}
Bytes out6(std::uint8_t next, const Bytes& payload) {
    return ipv6(ip6("2001:db8:ff::1"), ip6("2001:db8:ff::2"), next, payload);
}
Bytes ether(std::uint16_t type, const Bytes& payload) {
    return eth(mac(1), mac(2), type, payload);
}
Bytes inner_eth(std::uint16_t type, const Bytes& payload) {
    return eth(mac(3), mac(4), type, payload);
}
Bytes tagged(int tags, const Bytes& packet) {
    Bytes b = packet;
    for (int i = tags; i > 0; --i) {
        b = vlan(static_cast<std::uint16_t>(i), i == tags ? kEtherIpv4 : kEtherVlan, b);
    }
    return ether(kEtherVlan, b);
}
Bytes udp_to(std::uint16_t sport, std::uint16_t dport, const Bytes& payload) {
    return ether(kEtherIpv4, out4(17, udp(sport, dport, payload)));
}
Bytes set(Bytes b, std::size_t i, std::uint8_t v) {
    b.at(i) = v;
    return b;
}
Bytes cut(Bytes b, std::size_t n) {
    b.resize(n);
    return b;
}

IpAddress a4(const char* t) {
    return IpAddress::v4(ip4(t).data());
}
IpAddress a6(const char* t) {
    return IpAddress::v6(ip6(t).data());
}
const IpInfo kIn4{a4("10.0.0.1"), a4("10.0.0.2"), 17, 1000, 2000};
const IpInfo kIn6{a6("2001:db8::1"), a6("2001:db8::2"), 17, 1000, 2000};
IpInfo outer4(std::uint8_t proto, std::uint16_t sport = 0, std::uint16_t dport = 0) {
    return {a4("192.0.2.1"), a4("192.0.2.2"), proto, sport, dport};
}

// Expected results: the IP fields and payload start, link addresses by the
// last byte of mac(n) (0: none), then the layers.
WideDissection want(IpInfo ip, std::optional<std::uint64_t> payload, std::uint8_t dst_mac = 0,
                    std::uint8_t src_mac = 0, Encapsulation e = {}, FragmentInfo f = {}) {
    WideDissection w{{}, e, f};
    if (dst_mac != 0) {
        w.base.dst_mac = MacAddress{mac(dst_mac)};
        w.base.src_mac = MacAddress{mac(src_mac)};
    }
    w.base.ip = ip;
    w.base.payload_offset = payload;
    return w;
}
WideDissection macs_only(std::uint8_t dst, std::uint8_t src, Encapsulation e = {}) {
    WideDissection w = want({}, {}, dst, src, e);
    w.base.ip.reset();
    return w;
}
WideDissection with_bssid(WideDissection w, std::uint8_t bssid) {
    w.base.bssid = MacAddress{mac(bssid)};
    return w;
}
using E = Encapsulation;
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
// Layers passed; `outer` names the outermost IP header when the innermost is another.
Encapsulation via(std::initializer_list<K> kinds, Encapsulation e = {}, int tunnels = 0,
                  std::optional<IpInfo> outer = {}) {
    for (K k : kinds) {
        e.kinds |= static_cast<std::uint16_t>(k);
    }
    e.tunnels = static_cast<std::uint8_t>(tunnels);
    if (outer) {
        e.tunnel_src = outer->src_ip;
        e.tunnel_dst = outer->dst_ip;
    }
    return e;
}
Encapsulation tunnel(std::initializer_list<K> kinds, Encapsulation e = {}, int tunnels = 1) {
    return via(kinds, e, tunnels, outer4(0));
}
// 14 Ethernet, 20 outer IPv4, 8 outer UDP; 20 inner IPv4 and 8 UDP.
constexpr std::uint64_t kUdpTunnel = 14 + 20 + 8;
constexpr std::uint64_t kIn4Payload = 28;
constexpr std::uint64_t kIn6Payload = 48;

Bytes ip_in_ip(int depth) {
    Bytes b = in4();
    for (int i = 0; i < depth; ++i) {
        b = out4(4, b);
    }
    return ether(kEtherIpv4, b);
}
Bytes nested() { // MPLS, then GRE, then VXLAN
    Bytes vx = out4(17, udp(5, 4789, vxlan(77, inner_eth(kEtherIpv6, in6()))));
    vx.at(15) = 9; // a distinct middle address: 192.0.2.9 > 192.0.2.2
    return ether(kEtherMpls, mpls({16}, out4(47, gre(kEtherIpv4, vx))));
}

struct Case {
    const char* name;
    std::uint32_t link;
    Bytes frame;
    WideDissection want;
};
void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

const Case kCases[] = {
    // Link types
    {"Ethernet", kEth, ether(kEtherIpv4, in4()), want(kIn4, 42, 1, 2)},
    {"OneTag", kEth, tagged(1, in4()), want(kIn4, 46, 1, 2, via({K::Vlan}, tags(1, {1})))},
    // Priority bits in the outer tag are not part of the id.
    {"QinQ", kEth,
     set(ether(kEtherQinq, vlan(100, kEtherVlan, vlan(7, kEtherIpv6, in6()))), 14, 0xE0),
     want(kIn6, 14 + 8 + kIn6Payload, 1, 2, via({K::Vlan}, tags(2, {100, 7})))},
    {"Tag9100", kEth, ether(0x9100, vlan(300, kEtherIpv4, in4())),
     want(kIn4, 46, 1, 2, via({K::Vlan}, tags(1, {300})))},
    {"SixTags", kEth, tagged(6, in4()),
     want(kIn4, 14 + 24 + 28, 1, 2, via({K::Vlan}, tags(6, {1, 2, 3, 4})))},
    {"Cooked", kLinkLinuxCooked, sll(kEtherIpv4, in4()), want(kIn4, 16 + kIn4Payload)},
    {"CookedArp", kLinkLinuxCooked, sll(kEtherArp, repeat(0, 28)), {}},
    {"Cooked2", kLinkLinuxCooked2, sll2(kEtherIpv6, in6()), want(kIn6, 20 + kIn6Payload)},
    {"NullLittleEndian", kLinkNull, loopback(2, in4()), want(kIn4, 4 + kIn4Payload)},
    {"NullBigEndianV6", kLinkNull, loopback(30, in6(), true), want(kIn6, 4 + kIn6Payload)},
    {"NullUnknownFamily", kLinkNull, loopback(7, in4()), {}},
    {"NullEtherType", kLinkNull, loopback(0x0008000F, in4()), want(kIn4, 4 + kIn4Payload)},
    {"Loop", kLinkLoop, loopback(24, in6(), true), want(kIn6, 4 + kIn6Payload)},
    {"LoopLittleEndian", kLinkLoop, loopback(2, in4()), {}},
    {"Raw228", 228, in4(), want(kIn4, kIn4Payload)},
    {"Raw229", 229, in6(), want(kIn6, kIn6Payload)},
    {"Raw12", 12, in6(), want(kIn6, kIn6Payload)},
    {"Ppp", kLinkPpp, ppp(kPppIpv4, in4()), want(kIn4, 4 + kIn4Payload)},
    {"PppCompressed", kLinkPpp, ppp(kPppIpv6, in6(), false, true), want(kIn6, 1 + kIn6Payload)},
    {"PppLcp", kLinkPpp, ppp(0xC021, in4()), {}},
    {"Wifi", kLinkIeee80211,
     wifi(2, 0, mac(0x11), mac(0x12), mac(0x13), llc_snap(kEtherIpv4, in4())),
     with_bssid(want(kIn4, 32 + kIn4Payload, 0x11, 0x12), 0x13)},
    {"WifiToDsIpInIp", kLinkIeee80211,
     wifi(2, 1, mac(0x11), mac(0x12), mac(0x13), llc_snap(kEtherIpv4, out4(4, in4()))),
     with_bssid(want(kIn4, 52 + kIn4Payload, 0x11, 0x12, tunnel({K::IpInIp})), 0x11)},
    // A four-address header (30 bytes) behind 12 bytes of radiotap.
    {"RadiotapVxlan", kLinkRadiotap,
     radiotap(12, wifi(2, 3, mac(0x11), mac(0x12), mac(0x13),
                       llc_snap(kEtherIpv4,
                                out4(17, udp(5, 4789, vxlan(1, inner_eth(kEtherIpv4, in4()))))))),
     want(kIn4, 12 + 38 + 28 + 8 + 14 + kIn4Payload, 3, 4, tunnel({K::Vxlan}, id(&E::vni, 1)))},
    // Label stacks and PPPoE
    {"Mpls", kEth, ether(kEtherMpls, mpls({100, 200}, in4())),
     want(kIn4, 22 + kIn4Payload, 1, 2, via({K::Mpls}, labels({100, 200})))},
    {"MplsMulticastV6", kEth, ether(0x8848, mpls({0xFFFFF}, in6())),
     want(kIn6, 18 + kIn6Payload, 1, 2, via({K::Mpls}, labels({0xFFFFF})))},
    {"MplsPseudowire", kEth,
     ether(kEtherMpls, mpls({30}, cat({repeat(0, 4), inner_eth(kEtherIpv4, in4())}))),
     want(kIn4, 22 + 14 + kIn4Payload, 3, 4, via({K::Mpls}, labels({30})))},
    {"MplsNeitherIpNorWire", kEth, ether(kEtherMpls, mpls({30}, repeat(0x55, 30))),
     macs_only(1, 2, via({K::Mpls}, labels({30})))},
    {"Pppoe", kEth, ether(kEtherPppoe, pppoe_session(0x1234, kPppIpv4, in4())),
     want(kIn4, 22 + kIn4Payload, 1, 2, via({K::Pppoe}, id(&E::pppoe_session, 0x1234)))},
    {"PppoeWrongVersion", kEth,
     set(ether(kEtherPppoe, pppoe_session(1, kPppIpv6, in6())), 14, 0x21), macs_only(1, 2)},
    {"PppMpls", kLinkPpp, ppp(0x0281, mpls({5}, in4())),
     want(kIn4, 8 + kIn4Payload, 0, 0, via({K::Mpls}, labels({5})))},
    // GRE
    {"Gre", kEth, ether(kEtherIpv4, out4(47, gre(kEtherIpv4, in4()))),
     want(kIn4, 38 + kIn4Payload, 1, 2, tunnel({K::Gre}))},
    {"GreAllFields", kEth,
     ether(kEtherIpv4, out4(47, gre(kEtherIpv6, in6(), 0xDEADBEEF, true, true))),
     want(kIn6, 50 + kIn6Payload, 1, 2, tunnel({K::Gre}, id(&E::gre_key, 0xDEADBEEF)))},
    {"GreBridging", kEth,
     ether(kEtherIpv4, out4(47, gre(kGreBridging, inner_eth(kEtherIpv4, in4()), 9))),
     want(kIn4, 42 + 14 + kIn4Payload, 3, 4, tunnel({K::Gre}, id(&E::gre_key, 9)))},
    {"GreMpls", kEth, ether(kEtherIpv4, out4(47, gre(kEtherMpls, mpls({55}, in4())))),
     want(kIn4, 42 + kIn4Payload, 1, 2, tunnel({K::Gre, K::Mpls}, labels({55})))},
    {"GreOverIpv6", kEth, ether(kEtherIpv6, out6(47, gre(kEtherIpv4, in4()))),
     want(kIn4, 58 + kIn4Payload, 1, 2,
          via({K::Gre}, {}, 1, IpInfo{a6("2001:db8:ff::1"), a6("2001:db8:ff::2")}))},
    {"GreUnknownType", kEth, ether(kEtherIpv4, out4(47, gre(0x1234, in4()))),
     want(outer4(47), 34, 1, 2)},
    {"GreRouting", kEth, ether(kEtherIpv4, out4(47, set(gre(kEtherIpv4, in4()), 0, 0x40))),
     want(outer4(47), 34, 1, 2)},
    {"Pptp", kEth, ether(kEtherIpv4, out4(47, pptp_gre(77, ppp(kPppIpv4, in4())))),
     want(kIn4, 34 + 12 + 4 + kIn4Payload, 1, 2, tunnel({K::Gre}, id(&E::gre_key, 77)))},
    {"PptpAckCompressed", kEth,
     ether(kEtherIpv4, out4(47, pptp_gre(78, ppp(kPppIpv6, in6(), false, true), false, true))),
     want(kIn6, 34 + 12 + 1 + kIn6Payload, 1, 2, tunnel({K::Gre}, id(&E::gre_key, 78)))},
    {"Erspan2", kEth,
     ether(kEtherIpv4, out4(47, gre(kGreErspan2, erspan2(0x3AB, inner_eth(kEtherIpv4, in4())), {},
                                    false, true))),
     want(kIn4, 42 + 8 + 14 + kIn4Payload, 3, 4,
          tunnel({K::Gre, K::Erspan}, id(&E::erspan_session, 0x3AB)))},
    {"Erspan3", kEth,
     ether(kEtherIpv4, out4(47, gre(kGreErspan3, erspan3(12, inner_eth(kEtherIpv6, in6()))))),
     want(kIn6, 38 + 12 + 14 + kIn6Payload, 3, 4,
          tunnel({K::Gre, K::Erspan}, id(&E::erspan_session, 12)))},
    {"Erspan3Platform", kEth,
     ether(kEtherIpv4,
           out4(47, gre(kGreErspan3, erspan3(1023, inner_eth(kEtherIpv4, in4()), true)))),
     want(kIn4, 38 + 20 + 14 + kIn4Payload, 3, 4,
          tunnel({K::Gre, K::Erspan}, id(&E::erspan_session, 1023)))},
    // The GRE header was passed; the ERSPAN one is of a version not read.
    {"Erspan2Version2", kEth,
     ether(kEtherIpv4,
           out4(47, gre(kGreErspan2, set(erspan2(1, inner_eth(kEtherIpv4, in4())), 0, 0x20)))),
     want(outer4(47), 34, 1, 2, via({K::Gre}, {}, 1))},
    // UDP tunnels
    {"Vxlan", kEth, udp_to(5, 4789, vxlan(0xABCDEF, inner_eth(kEtherIpv4, in4()))),
     want(kIn4, kUdpTunnel + 8 + 14 + kIn4Payload, 3, 4,
          tunnel({K::Vxlan}, id(&E::vni, 0xABCDEF)))},
    {"VxlanWithoutI", kEth, udp_to(5, 4789, set(vxlan(1, inner_eth(kEtherIpv4, in4())), 0, 0)),
     want(outer4(17, 5, 4789), kUdpTunnel, 1, 2)},
    {"VxlanCutShort", kEth, cut(udp_to(5, 4789, vxlan(1, {})), kUdpTunnel + 7),
     want(outer4(17, 5, 4789), kUdpTunnel, 1, 2)},
    {"Geneve", kEth,
     udp_to(5, 6081, geneve(0x123456, kGreBridging, inner_eth(kEtherIpv4, in4()), 2)),
     want(kIn4, kUdpTunnel + 16 + 14 + kIn4Payload, 3, 4,
          tunnel({K::Geneve}, id(&E::vni, 0x123456)))},
    {"GeneveIp", kEth, udp_to(5, 6081, geneve(9, kEtherIpv6, in6())),
     want(kIn6, kUdpTunnel + 8 + kIn6Payload, 1, 2, tunnel({K::Geneve}, id(&E::vni, 9)))},
    {"GeneveVersion1", kEth, udp_to(5, 6081, set(geneve(9, kEtherIpv6, in6()), 0, 0x40)),
     want(outer4(17, 5, 6081), kUdpTunnel, 1, 2)},
    {"GeneveArp", kEth, udp_to(5, 6081, geneve(9, kEtherArp, repeat(0, 28))),
     want(outer4(17, 5, 6081), kUdpTunnel, 1, 2)},
    {"Gtpu", kEth, udp_to(2152, 2152, gtpu(0x01020304, in4())),
     want(kIn4, kUdpTunnel + 8 + kIn4Payload, 1, 2, tunnel({K::Gtpu}, id(&E::teid, 0x01020304)))},
    {"GtpuExtensionsFromPort", kEth, udp_to(2152, 40000, gtpu(5, in6(), {1, 3}, true)),
     want(kIn6, kUdpTunnel + 12 + 16 + kIn6Payload, 1, 2, tunnel({K::Gtpu}, id(&E::teid, 5)))},
    {"GtpuEcho", kEth, udp_to(9, 2152, set(gtpu(5, in4()), 1, 1)),
     want(outer4(17, 9, 2152), kUdpTunnel, 1, 2)},
    {"GtpuNotIp", kEth, udp_to(9, 2152, gtpu(5, repeat(0, 20))),
     want(outer4(17, 9, 2152), kUdpTunnel, 1, 2)},
    {"GtpuExtensionLength0", kEth, udp_to(9, 2152, set(gtpu(5, in4(), {1}), 12, 0)),
     want(outer4(17, 9, 2152), kUdpTunnel, 1, 2)},
    // IP in IP
    {"Ip4in4", kEth, ether(kEtherIpv4, out4(4, in4())),
     want(kIn4, 34 + kIn4Payload, 1, 2, tunnel({K::IpInIp}))},
    {"Ip6in4", kEth, ether(kEtherIpv4, out4(41, in6())),
     want(kIn6, 34 + kIn6Payload, 1, 2, tunnel({K::IpInIp}))},
    {"Ip4in6", 101, out6(4, in4()),
     want(kIn4, 40 + kIn4Payload, 0, 0,
          via({K::IpInIp}, {}, 1, IpInfo{a6("2001:db8:ff::1"), a6("2001:db8:ff::2")}))},
    {"Ip6in6", 101, out6(41, in6()),
     want(kIn6, 40 + kIn6Payload, 0, 0,
          via({K::IpInIp}, {}, 1, IpInfo{a6("2001:db8:ff::1"), a6("2001:db8:ff::2")}))},
    {"InnerIpCutShort", kEth, cut(ether(kEtherIpv4, out4(4, in4())), 34 + 19),
     want(outer4(4), 34, 1, 2)},
    {"Nested", kEth, nested(),
     want(kIn6, 18 + 24 + 28 + 8 + 14 + kIn6Payload, 3, 4,
          tunnel({K::Mpls, K::Gre, K::Vxlan}, labels({16}, id(&E::vni, 77)), 2))},
    // Limits: eight tunnels, kMaxWideLayers headers.
    {"IpInIp100", kEth, ip_in_ip(100),
     want(outer4(4), 14 + 9 * 20, 1, 2, tunnel({K::IpInIp}, {}, 8))},
    {"Tags40", kEth, tagged(40, in4()),
     macs_only(1, 2, via({K::Vlan}, tags(kMaxWideLayers - 1, {1, 2, 3, 4})))},
    // Fragments
    {"V4FirstFragment", kEth, ether(kEtherIpv4, ipv4_fragment(in4(), 0x4242, 0, true)),
     want(kIn4, 42, 1, 2, {}, {true, true, 0x4242})},
    {"V4MiddleFragment", kEth, ether(kEtherIpv4, ipv4_fragment(in4(), 0x4242, 100, true)),
     want({kIn4.src_ip, kIn4.dst_ip, 17}, 34, 1, 2, {}, {true, false, 0x4242})},
    {"V4LastFragment", kEth, ether(kEtherIpv4, ipv4_fragment(in4(udp(1, 2, {}), 1), 7, 3, false)),
     want({kIn4.src_ip, kIn4.dst_ip, 1}, 34, 1, 2, {}, {true, false, 7})},
    {"V6FirstFragment", 101, in6(ipv6_fragment(17, 0, true, 0xABCDEF01, kUdp), 44),
     want(kIn6, 56, 0, 0, {}, {true, true, 0xABCDEF01})},
    {"V6MiddleFragment", 101, in6(ipv6_fragment(17, 10, true, 3, kUdp), 44),
     want({kIn6.src_ip, kIn6.dst_ip, 17}, 48, 0, 0, {}, {true, false, 3})},
    // The basic walk would take the data for more headers and give up.
    {"V6LastFragmentAfterHopByHop", 101,
     in6(ext_header(44, 0, ipv6_fragment(60, 10, false, 4, {0, 0xFF})), 0),
     want({kIn6.src_ip, kIn6.dst_ip, 60}, 56, 0, 0, {}, {true, false, 4})},
    {"V6FragmentHeaderCutShort", 101, cut(in6(ipv6_fragment(17, 0, true, 3, kUdp), 44), 43),
     want({kIn6.src_ip, kIn6.dst_ip, 17}, 43, 0, 0, {}, {true, false, 0})},
    {"LaterFragmentOfGre", kEth,
     ether(kEtherIpv4, ipv4_fragment(out4(47, gre(kEtherIpv4, in4())), 1, 9, false)),
     want(outer4(47), 34, 1, 2, {}, {true, false, 1})},
    // A first fragment is decoded through: what is said is of the innermost packet.
    {"FirstFragmentOfGre", kEth,
     ether(kEtherIpv4, ipv4_fragment(out4(47, gre(kEtherIpv4, in4())), 1, 0, true)),
     want(kIn4, 38 + kIn4Payload, 1, 2, tunnel({K::Gre}))},
};

class WideTable : public testing::TestWithParam<Case> {};

TEST_P(WideTable, Decodes) {
    WideDissection got;
    got.encap.tunnels = 99; // whatever the object held before is overwritten
    dissect_wide(GetParam().frame, GetParam().link, got);
    EXPECT_EQ(got, GetParam().want);
}

// Every prefix, in a heap block of exactly its length for the address
// sanitizer.  A cut frame never says more than the whole one: each layer it
// reports is one the whole frame has, and once the innermost payload start
// is captured the IP fields are the whole frame's.
TEST_P(WideTable, EveryPrefixSaysLessOrTheSame) {
    const Case& c = GetParam();
    const WideDissection& whole = c.want;
    for (std::size_t len = 0; len <= c.frame.size(); ++len) {
        auto copy = std::make_unique<std::uint8_t[]>(len);
        std::copy_n(c.frame.begin(), len, copy.get());
        WideDissection d;
        dissect_wide({copy.get(), len}, c.link, d);
        SCOPED_TRACE(testing::Message() << "prefix " << len);
        EXPECT_LE(d.base.payload_offset.value_or(0), len);
        const Encapsulation& e = d.encap;
        EXPECT_EQ(e.kinds & ~whole.encap.kinds, 0);
        EXPECT_LE(e.tunnels, whole.encap.tunnels);
        EXPECT_LE(e.vlan_count, whole.encap.vlan_count);
        EXPECT_LE(e.mpls_count, whole.encap.mpls_count);
        for (const auto& [part, all] : {std::pair{e.gre_key, whole.encap.gre_key},
                                        {e.vni, whole.encap.vni},
                                        {e.teid, whole.encap.teid}}) {
            EXPECT_TRUE(!part || part == all);
        }
        if (d.base.ip && whole.base.ip && d.base.ip->src_port != 0 &&
            d.base.ip->src_ip == whole.base.ip->src_ip) {
            EXPECT_EQ(d.base.ip, whole.base.ip); // ports only where the whole frame has them
        }
        if (whole.base.payload_offset && len >= *whole.base.payload_offset) {
            EXPECT_EQ(d.base, whole.base);
            EXPECT_EQ(d.fragment, whole.fragment);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Frames, WideTable, testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The frames the basic decoding understands in full, and every prefix of
// them: the wide decoding's base is its answer.
bool is_plain(const Case& c) {
    const Encapsulation& e = c.want.encap;
    const bool one_8100_tag =
        e.kinds == std::uint16_t(K::Vlan) && e.vlan_count == 1 && c.frame.at(12) == 0x81;
    const bool basic_link = c.link == kEth || c.link == kLinkIeee80211 || c.link == kLinkRadiotap ||
                            c.link == 101 || c.link == 12 || c.link == 228 || c.link == 229;
    return basic_link && !c.want.fragment.fragment && (e.kinds == 0 || one_8100_tag);
}

TEST(WideAgreement, PlainRowsAndTheirPrefixes) {
    int plain = 0;
    for (const Case& c : kCases) {
        if (!is_plain(c)) {
            continue;
        }
        ++plain;
        for (std::size_t len = 0; len <= c.frame.size(); ++len) {
            const ByteSpan frame(c.frame.data(), len);
            WideDissection d;
            dissect_wide(frame, c.link, d);
            EXPECT_EQ(d.base, dissect_frame(frame, c.link)) << c.name << " prefix " << len;
        }
    }
    EXPECT_GE(plain, 10);
}

std::string captures_dir() {
    const char* env = std::getenv("VEXLOR_CAPTURES");
    return env && *env ? env : VEXLOR_CAPTURES;
}

// Every frame of real captures of plain traffic: nothing wide is found, and
// the base is the basic decoding's answer.
TEST(WideAgreement, RealCapturesOfPlainTraffic) {
    const char* const files[] = {
        "tcpdump/eth-tcp-mptcp-264pkts.pcap",     "zeek/eth-vlan-ipv4-tcp-http.pcap",
        "pcapplusplus/eth-icmpv6-echo.pcap",      "zeek/eth-ipv6-hbh-routing0-udp.pcap",
        "pcapplusplus/raw101-100pkts.pcap",       "zeek/ieee80211-105-data-llc-ipv4-ipv6-dns.pcap",
        "aircrack-ng/radiotap-127-192frames.pcap"};
    for (const char* file : files) {
        auto bytes = read_input_bytes(captures_dir() + "/" + file);
        if (!bytes) {
            GTEST_SKIP() << "no real captures at " << captures_dir();
        }
        auto reader = open_reader(std::move(*bytes));
        ASSERT_TRUE(reader) << file;
        int frames = 0;
        for (auto rec = (*reader)->next_record(); rec && *rec; rec = (*reader)->next_record()) {
            const RawRecord& r = **rec;
            WideDissection d;
            dissect_wide(r.frame, r.link_type, d);
            ++frames;
            EXPECT_FALSE(d.fragment.fragment) << file << " frame " << frames;
            EXPECT_EQ(d.encap.kinds & ~std::uint16_t(K::Vlan), 0) << file << " frame " << frames;
            EXPECT_EQ(d.base, dissect_frame(r.frame, r.link_type)) << file << " frame " << frames;
        }
        EXPECT_GT(frames, 0) << file;
    }
}

// Real captures of tunnels and tags: how many frames show each layer, as
// counted by tshark's display filters (vxlan, mpls, pppoes, gre,
// ip.proto==41, vlan, ipv6.fraghdr, ip.flags.mf==1 || ip.frag_offset>0).
// Their innermost addresses were compared with tshark's by hand.
struct RealTunnels {
    const char* file;
    std::optional<K> kind; // none: fragments
    int frames;
    int with_kind;
};
const RealTunnels kRealTunnels[] = {
    {"tcpdump/eth-udp-vxlan.pcap", K::Vxlan, 10, 10},
    {"pcapplusplus/eth-mpls.pcap", K::Mpls, 2, 2},
    {"tcpdump/ppp9-mpls-traceroute.pcap", K::Mpls, 18, 9},
    {"pcapplusplus/eth-pppoe-session.pcap", K::Pppoe, 2, 2},
    {"pcapplusplus/pcapng-named-pcap-gre.pcapng", K::Gre, 7, 7},
    {"tcpdump/pcap-be-us-eth-pptp-gre.pcap", K::Gre, 23, 1},
    {"zeek/eth-ipv4-ipv6-in-ipv4-41.pcap", K::IpInIp, 1, 1},
    {"zeek/eth-two-8100-tags-ipv4-udp.pcap", K::Vlan, 5, 5},
    {"tcpdump/eth-qinq-8021ad.pcap", K::Vlan, 2, 2},
    {"pcapplusplus/eth-ipv6-fragments.pcap", {}, 36, 36},
    {"pcapplusplus/eth-ipv4-fragments.pcap", {}, 53, 50},
};

TEST(WideRealCaptures, FindTheLayersTsharkFinds) {
    for (const RealTunnels& t : kRealTunnels) {
        auto bytes = read_input_bytes(captures_dir() + "/" + t.file);
        if (!bytes) {
            GTEST_SKIP() << "no real captures at " << captures_dir();
        }
        auto reader = open_reader(std::move(*bytes));
        ASSERT_TRUE(reader) << t.file;
        int frames = 0;
        int with_kind = 0;
        for (auto rec = (*reader)->next_record(); rec && *rec; rec = (*reader)->next_record()) {
            WideDissection d;
            dissect_wide((*rec)->frame, (*rec)->link_type, d);
            ++frames;
            with_kind += t.kind ? d.encap.has(*t.kind) : d.fragment.fragment;
        }
        EXPECT_EQ(std::pair(frames, with_kind), std::pair(t.frames, t.with_kind)) << t.file;
    }
}

} // namespace
} // namespace vexlor
