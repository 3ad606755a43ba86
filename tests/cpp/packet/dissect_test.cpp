#include "packet/packet.h"

#include "builders.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace vexlor {

// Readable failure output: addresses and offsets instead of raw object bytes.
void PrintTo(const Dissection& d, std::ostream* os) {
    auto mac = [&](const char* label, const std::optional<MacAddress>& m) {
        if (!m) {
            return;
        }
        char text[18];
        const auto& b = m->bytes;
        std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", b[0], b[1], b[2], b[3],
                      b[4], b[5]);
        *os << label << text << ' ';
    };
    auto ip = [&](const IpAddress& a) {
        char text[INET6_ADDRSTRLEN];
        inet_ntop(a.is_v4() ? AF_INET : AF_INET6, a.bytes.data(), text, sizeof text);
        return std::string(text);
    };
    *os << "{ ";
    mac("dst=", d.dst_mac);
    mac("src=", d.src_mac);
    mac("bssid=", d.bssid);
    if (d.ip) {
        *os << "ip=" << ip(d.ip->src_ip) << '.' << d.ip->src_port << " > " << ip(d.ip->dst_ip)
            << '.' << d.ip->dst_port << " proto " << int(d.ip->protocol) << ' ';
    }
    if (d.payload_offset) {
        *os << "payload@" << *d.payload_offset << ' ';
    }
    *os << '}';
}

namespace {

using namespace vexlor::test;
using Mac = std::array<std::uint8_t, 6>;

constexpr std::uint32_t kLinkRawIp = 101;

// ---- frames: one fixed pair of addresses per layer keeps the rows short ----

Bytes v4pkt(std::uint8_t proto, const Bytes& payload, std::uint8_t ihl = 5) {
    return ipv4(ip4("10.0.0.1"), ip4("10.0.0.2"), proto, payload, ihl);
}
Bytes v6pkt(std::uint8_t next, const Bytes& payload) {
    return ipv6(ip6("2001:db8::1"), ip6("2001:db8::2"), next, payload);
}
Bytes ether(std::uint16_t type, const Bytes& payload) { return eth(mac(1), mac(2), type, payload); }
Bytes wifi_data(std::uint8_t flags, const Bytes& body) {
    return wifi(2, flags, mac(0x11), mac(0x12), mac(0x13), body);
}
Bytes snap_udp() { return llc_snap(kEtherIpv4, v4pkt(17, udp(1000, 2000, {1, 2}))); }
Bytes cut(Bytes b, std::size_t n) {
    b.resize(n);
    return b;
}
Bytes set(Bytes b, std::size_t i, std::uint8_t v) {
    b.at(i) = v;
    return b;
}
// IPv6 behind extension headers given as (kind, length byte), outermost
// first; the innermost names `last`.
Bytes v6_ext(const std::vector<std::pair<std::uint8_t, std::uint8_t>>& headers, std::uint8_t last,
             const Bytes& payload) {
    Bytes body = payload;
    std::uint8_t next = last;
    for (auto it = headers.rbegin(); it != headers.rend(); ++it) {
        body = ext_header(next, it->second, body);
        next = it->first;
    }
    return v6pkt(next, body);
}
// `count` hop-by-hop headers of 8 bytes.
Bytes v6_chain(int count, std::uint8_t last, const Bytes& payload) {
    return v6_ext(std::vector<std::pair<std::uint8_t, std::uint8_t>>(count, {0, 0}), last, payload);
}

// ---- expected results ----

MacAddress to_mac(Mac m) { return MacAddress{m}; }
Dissection macs(Mac dst, Mac src, std::optional<Mac> bssid = std::nullopt) {
    Dissection d;
    d.dst_mac = to_mac(dst);
    d.src_mac = to_mac(src);
    if (bssid) {
        d.bssid = to_mac(*bssid);
    }
    return d;
}
Dissection eth_macs() { return macs(mac(1), mac(2)); }
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

struct Case {
    std::string name;
    std::uint32_t link;
    Bytes frame;
    Dissection want;
};
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }
std::string case_name(const testing::TestParamInfo<Case>& info) { return info.param.name; }

class DissectTable : public testing::TestWithParam<Case> {};

TEST_P(DissectTable, Decodes) {
    EXPECT_EQ(dissect_frame(GetParam().frame, GetParam().link), GetParam().want);
}

// Every prefix of every row, each in a heap block of exactly its length so
// that the address sanitizer sees any read past the captured bytes.
TEST_P(DissectTable, EveryPrefixStaysInsideTheCapture) {
    const Bytes& frame = GetParam().frame;
    for (std::size_t len = 0; len <= frame.size(); ++len) {
        auto copy = std::make_unique<std::uint8_t[]>(len);
        std::copy_n(frame.begin(), len, copy.get());
        const Dissection d = dissect_frame({copy.get(), len}, GetParam().link);
        SCOPED_TRACE(testing::Message() << "prefix " << len);
        EXPECT_LE(d.payload_offset.value_or(0), len);
        EXPECT_TRUE(d.ip || !d.payload_offset);
        EXPECT_EQ(d.src_mac.has_value(), d.dst_mac.has_value());
        EXPECT_TRUE(d.src_mac || !d.bssid);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Ethernet, DissectTable,
    testing::Values(
        Case{"Thirteen", 1, cut(ether(kEtherIpv4, {}), 13), kNothing},
        Case{"Arp", 1, ether(kEtherArp, repeat(0, 28)), eth_macs()},
        // Padding counts as payload: IP lengths are not consulted.
        Case{"TcpPaddedTo60", 1,
             cat({ether(kEtherIpv4, v4pkt(6, tcp(1234, 80, {}))), repeat(0, 6)}),
             with(eth_macs(), v4(6, 1234, 80), 54)},
        Case{"IcmpEcho", 1, ether(kEtherIpv4, v4pkt(1, icmp_echo({1, 2}))),
             with(eth_macs(), v4(1))},
        Case{"VlanUdp", 1, ether(kEtherVlan, vlan(7, kEtherIpv4, v4pkt(17, udp(53, 99, {5})))),
             with(eth_macs(), v4(17, 53, 99), 18 + 20 + 8)},
        Case{"VlanIn17Bytes", 1, cut(ether(kEtherVlan, vlan(7, kEtherIpv4, v4pkt(17, {}))), 17),
             eth_macs()},
        Case{"StackedVlan", 1,
             ether(kEtherVlan, vlan(7, kEtherVlan, vlan(8, kEtherIpv4, v4pkt(17, udp(1, 2, {}))))),
             eth_macs()},
        Case{"Ipv4TypeNibble6", 1, ether(kEtherIpv4, v6pkt(17, udp(1, 2, {}))),
             with(eth_macs(), v6(17, 1, 2), 14 + 48)},
        Case{"NibbleNeither", 1, ether(kEtherIpv4, set(v4pkt(17, {}), 0, 0x55)), eth_macs()},
        Case{"HeaderLength4", 1, ether(kEtherIpv4, v4pkt(6, tcp(1, 2, {}), 4)), eth_macs()},
        Case{"HeaderLongerThanCapture", 1, ether(kEtherIpv4, set(v4pkt(6, tcp(1, 2, {})), 0, 0x4F)),
             eth_macs()},
        Case{"Ipv4Options", 1, ether(kEtherIpv4, v4pkt(17, udp(1, 2, {9}), 6)),
             with(eth_macs(), v4(17, 1, 2), 14 + 24 + 8)},
        Case{"TcpCutAt10", 1, ether(kEtherIpv4, v4pkt(6, cut(tcp(1234, 80, {}), 10))),
             with(eth_macs(), v4(6, 1234, 80))},
        Case{"UdpCutAt2", 1, ether(kEtherIpv4, v4pkt(17, cut(udp(53, 99, {}), 2))),
             with(eth_macs(), v4(17), 34)},
        Case{"UdpCutAt4", 1, ether(kEtherIpv4, v4pkt(17, cut(udp(53, 99, {}), 4))),
             with(eth_macs(), v4(17, 53, 99), 38)},
        Case{"Gre", 1, ether(kEtherIpv4, v4pkt(47, repeat(0, 4))), with(eth_macs(), v4(47), 34)},
        Case{"TcpOptions", 1, ether(kEtherIpv4, v4pkt(6, tcp(1, 2, {7}, 8))),
             with(eth_macs(), v4(6, 1, 2), 14 + 20 + 32)},
        Case{"TcpDataOffset2", 1, ether(kEtherIpv4, v4pkt(6, tcp(1, 2, {7}, 2))),
             with(eth_macs(), v4(6, 1, 2), 14 + 20 + 8)},
        Case{"TcpDataOffsetPastCapture", 1,
             ether(kEtherIpv4, v4pkt(6, set(tcp(1, 2, {}), 12, 0xF0))),
             with(eth_macs(), v4(6, 1, 2), 54)},
        // A later fragment: its first bytes are taken for ports all the same.
        Case{"LaterFragment", 1,
             ether(kEtherIpv4, set(v4pkt(17, {0x12, 0x34, 0x56, 0x78, 9, 9}), 7, 0x10)),
             with(eth_macs(), v4(17, 0x1234, 0x5678), 40)}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    Ipv6, DissectTable,
    testing::Values(
        Case{"Udp", kLinkRawIp, v6pkt(17, udp(53, 99, {1})), with({}, v6(17, 53, 99), 48)},
        Case{"HopByHopThenTcp", kLinkRawIp, v6pkt(0, ext_header(6, 0, tcp(1234, 80, {1}))),
             with({}, v6(6, 1234, 80), 48 + 20)},
        // The authentication header is sized in 8-byte units like the rest.
        Case{"EveryExtensionKind", kLinkRawIp,
             v6_ext({{0, 0}, {43, 0}, {44, 0}, {51, 1}, {60, 2}}, 17, udp(5, 6, {})),
             with({}, v6(17, 5, 6), 40 + 8 + 8 + 8 + 16 + 24 + 8)},
        Case{"FirstHeaderCutOff", kLinkRawIp, cut(v6pkt(0, ext_header(6, 0, {})), 41), kNothing},
        Case{"SecondHeaderMissing", kLinkRawIp, v6pkt(0, ext_header(60, 0, {})), kNothing},
        Case{"NoNextHeader", kLinkRawIp, v6pkt(59, repeat(0, 8)), with({}, v6(59))},
        Case{"EspAfterHopByHop", kLinkRawIp, v6pkt(0, ext_header(50, 0, repeat(0, 16))),
             with({}, v6(50))},
        Case{"Icmpv6", kLinkRawIp, v6pkt(58, icmp_echo({})), with({}, v6(58))},
        Case{"TcpCutAt2", kLinkRawIp, v6pkt(6, cut(tcp(1, 2, {}), 2)), with({}, v6(6), 40)},
        // The hop-by-hop header declares 16 bytes of which 10 were captured.
        Case{"DeclaredHeaderPastCapture", kLinkRawIp,
             cut(v6pkt(0, ext_header(6, 1, tcp(1, 2, {}))), 50), with({}, v6(6), 50)},
        Case{"EightHeadersThenTcp", kLinkRawIp, v6_chain(8, 6, tcp(1, 2, {})),
             with({}, v6(6, 1, 2), 104 + 20)},
        Case{"NineHeaders", kLinkRawIp, v6_chain(9, 6, tcp(1, 2, {})), with({}, v6(0), 104)},
        Case{"SevenHeadersThenNoNext", kLinkRawIp, v6_chain(7, 59, {}), with({}, v6(59))},
        Case{"EightHeadersThenNoNext", kLinkRawIp, v6_chain(8, 59, {}), with({}, v6(59), 104)}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    Wifi, DissectTable,
    testing::Values(
        Case{"DataNoDs", 105, wifi_data(0, snap_udp()),
             with(macs(mac(0x11), mac(0x12), mac(0x13)), v4(17, 1000, 2000), 24 + 8 + 28)},
        Case{"DataFromDs", 105, wifi_data(2, snap_udp()),
             with(macs(mac(0x11), mac(0x12), mac(0x12)), v4(17, 1000, 2000), 24 + 8 + 28)},
        Case{"DataToDs", 105, wifi_data(1, snap_udp()),
             with(macs(mac(0x11), mac(0x12), mac(0x11)), v4(17, 1000, 2000), 24 + 8 + 28)},
        Case{"DataBothDs", 105, wifi_data(3, snap_udp()),
             with(macs(mac(0x11), mac(0x12)), v4(17, 1000, 2000), 30 + 8 + 28)},
        Case{"Ipv6OverSnap", 105, wifi_data(0, llc_snap(kEtherIpv6, v6pkt(58, {}))),
             with(macs(mac(0x11), mac(0x12), mac(0x13)), v6(58))},
        Case{"Beacon", 105, wifi(0, 0, mac(0xFF), mac(0x12), mac(0x13), repeat(0, 12)),
             macs(mac(0xFF), mac(0x12), mac(0x13))},
        Case{"Control", 105, wifi(1, 0, mac(0x11), mac(0x12), mac(0x13), {}),
             macs(mac(0x11), mac(0x12))},
        // The two-byte QoS control field is not skipped.
        Case{"QosData", 105, set(wifi_data(1, cat({{0, 0}, snap_udp()})), 0, 0x88),
             macs(mac(0x11), mac(0x12), mac(0x11))},
        Case{"Protected", 105, wifi_data(0x41, repeat(0x5A, 40)),
             macs(mac(0x11), mac(0x12), mac(0x11))},
        Case{"SnapArp", 105, wifi_data(0, llc_snap(kEtherArp, repeat(0, 28))),
             macs(mac(0x11), mac(0x12), mac(0x13))},
        Case{"SnapCutShort", 105, cut(wifi_data(0, snap_udp()), 31),
             macs(mac(0x11), mac(0x12), mac(0x13))},
        Case{"Header23", 105, cut(wifi_data(0, {}), 23), kNothing},
        Case{"Radiotap", 127, radiotap(8, wifi_data(0, snap_udp())),
             with(macs(mac(0x11), mac(0x12), mac(0x13)), v4(17, 1000, 2000), 8 + 60)},
        Case{"RadiotapLong", 127, radiotap(36, wifi_data(2, snap_udp())),
             with(macs(mac(0x11), mac(0x12), mac(0x12)), v4(17, 1000, 2000), 36 + 60)},
        Case{"RadiotapVersion1", 127, set(radiotap(8, wifi_data(0, snap_udp())), 0, 1), kNothing},
        Case{"RadiotapLength2", 127, set(radiotap(8, wifi_data(0, snap_udp())), 2, 2), kNothing},
        Case{"RadiotapPastFrame", 127, set(radiotap(8, wifi_data(0, {})), 3, 1), kNothing},
        Case{"RadiotapThenShortWifi", 127, radiotap(8, cut(wifi_data(0, {}), 23)), kNothing}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    LinkType, DissectTable,
    testing::Values(
        Case{"Raw101", kLinkRawIp, v4pkt(6, tcp(1, 2, {3})), with({}, v4(6, 1, 2), 40)},
        // A cooked-capture header starts with a zero packet type: no IP version.
        Case{"Type113", 113, cat({repeat(0, 16), v4pkt(6, tcp(1, 2, {}))}), kNothing},
        Case{"Type113StartingWithIp", 113, v4pkt(17, udp(1, 2, {})), with({}, v4(17, 1, 2), 28)},
        // An Ethernet frame under a network field with an upper bit set is
        // read as raw IP; its first byte (02) is no IP version.
        Case{"EthernetWithUpperBits", 0x00010001, ether(kEtherIpv4, v4pkt(17, udp(1, 2, {}))),
             kNothing},
        Case{"EmptyEthernet", 1, {}, kNothing}, Case{"EmptyWifi", 105, {}, kNothing},
        Case{"EmptyRadiotap", 127, {}, kNothing}, Case{"EmptyRaw", kLinkRawIp, {}, kNothing}),
    case_name);

// The same IP packet read raw and behind Ethernet: equal IP fields, payload
// offsets 14 apart.
TEST(Dissect, RawAndEthernetAgreeOnIp) {
    const Bytes packets[] = {v4pkt(6, tcp(1, 2, {3})), v4pkt(17, udp(1, 2, {})),
                             v4pkt(1, icmp_echo({})), v4pkt(47, {}),
                             v6pkt(0, ext_header(6, 0, tcp(1, 2, {})))};
    for (const Bytes& ip : packets) {
        const Dissection raw = dissect_frame(ip, kLinkRawIp);
        const std::uint16_t type = ip[0] >> 4 == 4 ? kEtherIpv4 : kEtherIpv6;
        const Dissection framed = dissect_frame(ether(type, ip), kLinkEthernet);
        ASSERT_TRUE(raw.ip);
        EXPECT_EQ(raw.ip, framed.ip);
        EXPECT_EQ(raw.payload_offset.has_value(), framed.payload_offset.has_value());
        if (raw.payload_offset) {
            EXPECT_EQ(*framed.payload_offset, *raw.payload_offset + 14);
        }
    }
}

// Well-formed frames: whatever follows the payload start is never read, so a
// capture cut anywhere at or after it dissects exactly like the whole frame.
TEST(Dissect, BytesAfterThePayloadAreNeverRead) {
    const std::pair<std::uint32_t, Bytes> frames[] = {
        {1, ether(kEtherIpv4, v4pkt(6, tcp(1, 2, repeat(7, 10), 8)))},
        {1, ether(kEtherVlan, vlan(7, kEtherIpv6, v6pkt(0, ext_header(17, 1, udp(1, 2, {5, 5})))))},
        {127, radiotap(12, wifi_data(3, snap_udp()))},
        {kLinkRawIp, v6_chain(8, 6, tcp(1, 2, {1, 2, 3}))},
    };
    for (const auto& [link, frame] : frames) {
        const Dissection whole = dissect_frame(frame, link);
        ASSERT_TRUE(whole.payload_offset);
        for (std::size_t len = *whole.payload_offset; len <= frame.size(); ++len) {
            EXPECT_EQ(dissect_frame(std::span(frame).first(len), link), whole) << "prefix " << len;
        }
    }
}

} // namespace
} // namespace vexlor
