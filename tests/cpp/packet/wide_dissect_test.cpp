#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>
#include <ostream>

#include "builders.h"
#include "common/byte_reader.h"
#include "packet/wide_dissect.h"
#include "parser/capture_reader.h"

namespace vexlor {

void PrintTo(const Dissection& d, std::ostream* os); // beside the basic decoding's tests

void PrintTo(const WideDissection& w, std::ostream* os) {
    PrintTo(w.base, os);
    const Encapsulation& e = w.encap;
    *os << " kinds " << e.kinds << " tunnels " << int(e.tunnels) << " tags " << int(e.vlan_count)
        << " labels " << int(e.mpls_count) << " ids " << e.pppoe_session.value_or(0) << '/'
        << e.gre_key.value_or(0) << '/' << e.vni.value_or(0) << '/' << e.teid.value_or(0) << '/'
        << e.erspan_session.value_or(0) << (e.tunnel_src ? " from outer" : "") << " fragment "
        << w.fragment.fragment << w.fragment.first << ' ' << w.fragment.id;
}

namespace {

using namespace vexlor::test;
using K = LayerKind;
using E = Encapsulation;
constexpr std::uint32_t kEth = kLinkEthernet;

// Inner packets go from 10.0.0.1 (or 2001:db8::1) to .2 and carry UDP from
// 1000 to 2000 with two bytes of data; outer ones go from 192.0.2.1 (or
// 2001:db8:ff::1) to .2.  Ethernet headers go from mac(2) to mac(1), inner
// ones from mac(4) to mac(3).
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
Bytes eth4(const Bytes& ip) {
    return ether(kEtherIpv4, ip);
}
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
Bytes tagged(int tags, const Bytes& packet) { // ids 1, 2, ... from the outside
    Bytes b = packet;
    for (int i = tags; i > 0; --i) {
        b = vlan(static_cast<std::uint16_t>(i), i == tags ? kEtherIpv4 : kEtherVlan, b);
    }
    return ether(kEtherVlan, b);
}
Bytes set(Bytes b, std::size_t i, std::uint8_t v) {
    b.at(i) = v;
    return b;
}
Bytes cut(Bytes b, std::size_t n) {
    b.resize(n);
    return b;
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

IpAddress a4(const char* t) {
    return IpAddress::v4(ip4(t).data());
}
IpAddress a6(const char* t) {
    return IpAddress::v6(ip6(t).data());
}
const IpInfo kOuter6{a6("2001:db8:ff::1"), a6("2001:db8:ff::2")};

// Expected results.  `macs` n: Ethernet addresses mac(n) and mac(n + 1),
// 0: none.  got4/got6 name where the inner IP header starts.
WideDissection got(IpInfo ip, std::optional<std::uint64_t> payload, std::uint8_t macs = 1, E e = {},
                   FragmentInfo f = {}) {
    WideDissection w{{}, e, f};
    if (macs != 0) {
        w.base.dst_mac = MacAddress{mac(macs)};
        w.base.src_mac = MacAddress{mac(macs + 1)};
    }
    w.base.ip = ip;
    w.base.payload_offset = payload;
    return w;
}
WideDissection got4(std::uint64_t at, E e = {}, std::uint8_t macs = 1) {
    return got({a4("10.0.0.1"), a4("10.0.0.2"), 17, 1000, 2000}, at + 28, macs, e);
}
WideDissection got6(std::uint64_t at, E e = {}, std::uint8_t macs = 1) {
    return got({a6("2001:db8::1"), a6("2001:db8::2"), 17, 1000, 2000}, at + 48, macs, e);
}
WideDissection outer(std::uint8_t proto, std::uint16_t sport = 0, std::uint16_t dport = 0,
                     E e = {}) {
    return got({a4("192.0.2.1"), a4("192.0.2.2"), proto, sport, dport}, 34 + (proto == 17) * 8, 1,
               e);
}
WideDissection no_ip(std::uint8_t macs, E e = {}) {
    WideDissection w = got({}, {}, macs, e);
    w.base.ip.reset();
    return w;
}
WideDissection with_bssid(WideDissection w, std::uint8_t bssid) {
    w.base.bssid = MacAddress{mac(bssid)};
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
    // Link types and tags
    {"Ethernet", kEth, eth4(in4()), got4(14)},
    {"OneTag", kEth, tagged(1, in4()), got4(18, via({K::Vlan}, tags(1, {1})))},
    // Priority bits in the outer tag are not part of the id.
    {"QinQ", kEth,
     set(ether(kEtherQinq, vlan(100, kEtherVlan, vlan(7, kEtherIpv6, in6()))), 14, 0xE0),
     got6(22, via({K::Vlan}, tags(2, {100, 7})))},
    {"Tag9100", kEth, ether(0x9100, vlan(300, kEtherIpv4, in4())),
     got4(18, via({K::Vlan}, tags(1, {300})))},
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
    {"WifiToDsIpInIp", kLinkIeee80211,
     wifi(2, 1, mac(0x11), mac(0x12), mac(0x13), llc_snap(kEtherIpv4, out4(4, in4()))),
     with_bssid(got4(52, tunnel({K::IpInIp}), 0x11), 0x11)},
    // A four-address header (30 bytes) behind 12 bytes of radiotap.
    {"RadiotapVxlan", kLinkRadiotap,
     radiotap(12, wifi(2, 3, mac(0x11), mac(0x12), mac(0x13),
                       llc_snap(kEtherIpv4, out4(17, udp(5, 4789, vxlan(1, inner_eth4())))))),
     got4(12 + 38 + 28 + 8 + 14, tunnel({K::Vxlan}, id(&E::vni, 1)), 3)},
    // Label stacks and PPPoE
    {"Mpls", kEth, ether(kEtherMpls, mpls({100, 200}, in4())),
     got4(22, via({K::Mpls}, labels({100, 200})))},
    {"MplsMulticast", kEth, ether(0x8848, mpls({0xFFFFF}, in6())),
     got6(18, via({K::Mpls}, labels({0xFFFFF})))},
    {"MplsPseudowire", kEth, ether(kEtherMpls, mpls({30}, cat({repeat(0, 4), inner_eth4()}))),
     got4(36, via({K::Mpls}, labels({30})), 3)},
    {"MplsNeitherIpNorWire", kEth, ether(kEtherMpls, mpls({30}, repeat(0x55, 30))),
     no_ip(1, via({K::Mpls}, labels({30})))},
    {"Pppoe", kEth, ether(kEtherPppoe, pppoe_session(0x1234, kPppIpv4, in4())),
     got4(22, via({K::Pppoe}, id(&E::pppoe_session, 0x1234)))},
    {"PppMpls", kLinkPpp, ppp(0x0281, mpls({5}, in4())), got4(8, via({K::Mpls}, labels({5})), 0)},
    // GRE
    {"Gre", kEth, over(47, gre(kEtherIpv4, in4())), got4(38, tunnel({K::Gre}))},
    {"GreAllFields", kEth, over(47, gre(kEtherIpv6, in6(), 0xDEADBEEF, true, true)),
     got6(50, tunnel({K::Gre}, id(&E::gre_key, 0xDEADBEEF)))},
    {"GreBridging", kEth, over(47, gre(kGreBridging, inner_eth4(), 9)),
     got4(56, tunnel({K::Gre}, id(&E::gre_key, 9)), 3)},
    {"GreMpls", kEth, over(47, gre(kEtherMpls, mpls({55}, in4()))),
     got4(42, tunnel({K::Gre, K::Mpls}, labels({55})))},
    {"GreOverIpv6", kEth, ether(kEtherIpv6, out6(47, gre(kEtherIpv4, in4()))),
     got4(58, via({K::Gre}, {}, 1, kOuter6))},
    {"GreUnknownType", kEth, over(47, gre(0x1234, in4())), outer(47)},
    {"Pptp", kEth, over(47, pptp_gre(77, ppp(kPppIpv4, in4()))),
     got4(50, tunnel({K::Gre}, id(&E::gre_key, 77)))},
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
    {"VxlanWithoutI", kEth, over_udp(5, 4789, set(vxlan(1, inner_eth4()), 0, 0)),
     outer(17, 5, 4789)},
    {"VxlanCutShort", kEth, cut(over_udp(5, 4789, vxlan(1, {})), 49), outer(17, 5, 4789)},
    {"Geneve", kEth, over_udp(5, 6081, geneve(0x123456, kGreBridging, inner_eth4(), 2)),
     got4(72, tunnel({K::Geneve}, id(&E::vni, 0x123456)), 3)},
    {"GeneveIp", kEth, over_udp(5, 6081, geneve(9, kEtherIpv6, in6())),
     got6(50, tunnel({K::Geneve}, id(&E::vni, 9)))},
    {"GeneveVersion1", kEth, over_udp(5, 6081, set(geneve(9, kEtherIpv6, in6()), 0, 0x40)),
     outer(17, 5, 6081)},
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
    {"Nested", kEth, nested(),
     got6(92, tunnel({K::Mpls, K::Gre, K::Vxlan}, labels({16}, id(&E::vni, 77)), 2), 3)},
    // Limits: eight tunnels, kMaxWideLayers headers in all.
    {"IpInIp100", kEth, ip_in_ip(100),
     got(outer(4).base.ip.value(), 14 + 9 * 20, 1, tunnel({K::IpInIp}, {}, 8))},
    {"Tags40", kEth, tagged(40, in4()),
     no_ip(1, via({K::Vlan}, tags(kMaxWideLayers - 1, {1, 2, 3, 4})))},
    // Fragments
    {"V4FirstFragment", kEth, eth4(ipv4_fragment(in4(), 0x4242, 0, true)),
     got(got4(0).base.ip.value(), 42, 1, {}, {true, true, 0x4242})},
    {"V4MiddleFragment", kEth, eth4(ipv4_fragment(in4(), 0x4242, 100, true)),
     later_fragment(got4(14), 17, 34, 0x4242)},
    {"V4LastFragment", kEth, eth4(ipv4_fragment(in4(udp(1, 2, {}), 1), 7, 3, false)),
     later_fragment(got4(14), 1, 34, 7)},
    {"V6FirstFragment", 101, in6(ipv6_fragment(17, 0, true, 0xABCDEF01, kUdp), 44),
     got(got6(0).base.ip.value(), 56, 0, {}, {true, true, 0xABCDEF01})},
    {"V6MiddleFragment", 101, in6(ipv6_fragment(17, 10, true, 3, kUdp), 44),
     later_fragment(got6(0, {}, 0), 17, 48, 3)},
    // The basic walk would take the data for more headers and give up.
    {"V6LastFragmentAfterHopByHop", 101,
     in6(ext_header(44, 0, ipv6_fragment(60, 10, false, 4, {0, 0xFF})), 0),
     later_fragment(got6(0, {}, 0), 60, 56, 4)},
    {"V6FragmentHeaderCutShort", 101, cut(in6(ipv6_fragment(17, 0, true, 3, kUdp), 44), 43),
     later_fragment(got6(0, {}, 0), 17, 43, 0)},
    {"LaterFragmentOfGre", kEth, eth4(ipv4_fragment(out4(47, gre(kEtherIpv4, in4())), 1, 9, false)),
     later_fragment(outer(47), 47, 34, 1)},
    // A first fragment is decoded through: what is said is of the innermost packet.
    {"FirstFragmentOfGre", kEth, eth4(ipv4_fragment(out4(47, gre(kEtherIpv4, in4())), 1, 0, true)),
     got4(38, tunnel({K::Gre}))},
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

// The frames the basic decoding understands alike, and every prefix of
// them: the wide decoding's base is its answer.
TEST(WideAgreement, PlainRowsAndTheirPrefixes) {
    int plain = 0;
    for (const Case& c : kCases) {
        const E& e = c.want.encap;
        const bool one_8100_tag =
            e.kinds == std::uint16_t(K::Vlan) && e.vlan_count == 1 && c.frame.at(12) == 0x81;
        const bool basic_link = c.link == kEth || c.link == kLinkIeee80211 ||
                                c.link == kLinkRadiotap || c.link == 101 || c.link == 228 ||
                                c.link == 229;
        if (!basic_link || c.want.fragment.fragment || (e.kinds != 0 && !one_8100_tag)) {
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

// Runs `each` on every frame of a real capture; false when the captures
// are not there.
bool for_each_frame(const std::string& file,
                    const std::function<void(const RawRecord&, const WideDissection&)>& each) {
    const char* env = std::getenv("VEXLOR_CAPTURES");
    auto bytes = read_input_bytes(std::string(env && *env ? env : VEXLOR_CAPTURES) + "/" + file);
    if (!bytes) {
        return false;
    }
    auto reader = open_reader(std::move(*bytes));
    if (!reader) {
        ADD_FAILURE() << file;
        return true;
    }
    for (auto rec = (*reader)->next_record(); rec && *rec; rec = (*reader)->next_record()) {
        WideDissection d;
        dissect_wide((*rec)->frame, (*rec)->link_type, d);
        each(**rec, d);
    }
    return true;
}

// Every frame of real captures of plain traffic: nothing but a tag is found,
// and the base is the basic decoding's answer.
TEST(WideAgreement, RealCapturesOfPlainTraffic) {
    for (const char* file :
         {"tcpdump/eth-tcp-mptcp-264pkts.pcap", "zeek/eth-vlan-ipv4-tcp-http.pcap",
          "pcapplusplus/eth-icmpv6-echo.pcap", "zeek/eth-ipv6-hbh-routing0-udp.pcap",
          "pcapplusplus/raw101-100pkts.pcap", "zeek/ieee80211-105-data-llc-ipv4-ipv6-dns.pcap",
          "aircrack-ng/radiotap-127-192frames.pcap"}) {
        int frames = 0;
        const bool found = for_each_frame(file, [&](const RawRecord& r, const WideDissection& d) {
            ++frames;
            EXPECT_FALSE(d.fragment.fragment) << file << " frame " << frames;
            EXPECT_EQ(d.encap.kinds & ~std::uint16_t(K::Vlan), 0) << file << " frame " << frames;
            EXPECT_EQ(d.base, dissect_frame(r.frame, r.link_type)) << file << " frame " << frames;
        });
        if (!found) {
            GTEST_SKIP() << "no real captures";
        }
        EXPECT_GT(frames, 0) << file;
    }
}

// Real captures of tunnels and tags: how many frames show each layer, as
// counted by tshark's display filters (vxlan, mpls, pppoes, gre,
// ip.proto==41, vlan, ipv6.fraghdr, ip.flags.mf==1 || ip.frag_offset>0).
// Their innermost addresses were compared with tshark's by hand.
TEST(WideRealCaptures, FindTheLayersTsharkFinds) {
    struct Count {
        const char* file;
        std::optional<K> kind; // none: fragments
        int frames, with_kind;
    };
    for (const Count& t : {Count{"tcpdump/eth-udp-vxlan.pcap", K::Vxlan, 10, 10},
                           {"pcapplusplus/eth-mpls.pcap", K::Mpls, 2, 2},
                           {"tcpdump/ppp9-mpls-traceroute.pcap", K::Mpls, 18, 9},
                           {"pcapplusplus/eth-pppoe-session.pcap", K::Pppoe, 2, 2},
                           {"pcapplusplus/pcapng-named-pcap-gre.pcapng", K::Gre, 7, 7},
                           {"tcpdump/pcap-be-us-eth-pptp-gre.pcap", K::Gre, 23, 1},
                           {"zeek/eth-ipv4-ipv6-in-ipv4-41.pcap", K::IpInIp, 1, 1},
                           {"zeek/eth-two-8100-tags-ipv4-udp.pcap", K::Vlan, 5, 5},
                           {"tcpdump/eth-qinq-8021ad.pcap", K::Vlan, 2, 2},
                           {"pcapplusplus/eth-ipv6-fragments.pcap", {}, 36, 36},
                           {"pcapplusplus/eth-ipv4-fragments.pcap", {}, 53, 50}}) {
        int frames = 0;
        int with_kind = 0;
        const bool found = for_each_frame(t.file, [&](const RawRecord&, const WideDissection& d) {
            ++frames;
            with_kind += t.kind ? d.encap.has(*t.kind) : d.fragment.fragment;
        });
        if (!found) {
            GTEST_SKIP() << "no real captures";
        }
        EXPECT_EQ(std::pair(frames, with_kind), std::pair(t.frames, t.with_kind)) << t.file;
    }
}

} // namespace
} // namespace vexlor
