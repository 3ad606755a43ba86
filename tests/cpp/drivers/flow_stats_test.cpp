#include <gtest/gtest.h>

#include <string>

#include "builders.h"
#include "drivers/flow_stats.h"
#include "flow/community_id.h"

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
        {"128.232.110.120", "66.35.250.204", 6, 34855, 80, "1:LQU9qZlK+B5F3KDmev6m5PMibrg="},
        {"66.35.250.204", "128.232.110.120", 6, 80, 34855, "1:LQU9qZlK+B5F3KDmev6m5PMibrg="},
        {"192.168.1.52", "8.8.8.8", 17, 54585, 53, "1:d/FP5EW3wiY1vCndhwleRRKHowQ="},
        {"192.168.170.56", "192.168.170.8", 132, 80, 7, "1:jQgCxbku+pNGw8WPbEc/TS/uTpQ="},
        {"192.168.0.89", "192.168.0.1", 1, 8, 0, "1:X0snYXpgwiv9TZtqg64sgzUn6Dk="},
        {"192.168.0.1", "192.168.0.89", 1, 0, 20, "1:X0snYXpgwiv9TZtqg64sgzUn6Dk="},
        {"192.168.0.89", "192.168.0.1", 1, 20, 1, "1:tz/fHIDUHs19NkixVVoOZywde+I="},
        {"fe80::260:97ff:fe07:69ea", "fe80::200:86ff:fe05:80da", 58, 136, 0,
         "1:dGHyGvjMfljg6Bppwm3bg0LO8TY="},
        {"3ffe:507:0:1:200:86ff:fe05:80da", "3ffe:507:0:1:260:97ff:fe07:69ea", 58, 3, 0,
         "1:/OGBt9BN1ofenrmSPWYicpij2Vc="},
        {"10.1.12.1", "10.1.24.4", 46, 0, 0, "1:/nQI4Rh/TtY3mf0R2gJFBkVlgS4="},
        {"10.0.0.1", "10.0.0.1", 6, 9000, 80, "1:h7TinaUh4GjLw6QxFuNrAT0ci7Y="},
        {"10.0.0.1", "10.0.0.1", 6, 80, 9000, "1:h7TinaUh4GjLw6QxFuNrAT0ci7Y="},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(community_id({addr(c.src), addr(c.dst), c.proto, c.sport, c.dport}), c.id)
            << c.src << " " << c.dst;
    }
}

// An Ethernet/IPv4/TCP frame with the given flags.
Bytes tcp_frame(const char* src, const char* dst, std::uint16_t sport, std::uint16_t dport,
                std::uint8_t flags, std::size_t payload) {
    Bytes seg = tcp(sport, dport, repeat(0xAB, payload));
    seg[13] = flags;
    return eth(mac(2), mac(1), kEtherIpv4, ipv4(ip4(src), ip4(dst), 6, seg));
}
// MACs, addresses and ports zeroed in an Ethernet/IPv4/TCP frame.
Bytes masked(Bytes frame) {
    std::fill_n(frame.begin(), 12, 0);
    std::fill_n(frame.begin() + 26, 12, 0);
    return frame;
}

// What a flow's statistics and byte rows hold is checked through the tool's
// tables against an independent reading (tests/python/test_dataset_tables.py);
// here, the masking of a tunnelled packet, which those captures do not have.
TEST(FlowStats, MasksTheInnermostHeaderOfATunnel) {
    const Bytes inner = tcp_frame("192.168.0.1", "192.168.0.2", 1111, 2222, 0x02, 4);
    const Bytes outer =
        eth(mac(9), mac(8), kEtherIpv4,
            ipv4(ip4("10.9.9.1"), ip4("10.9.9.2"), 17, udp(5555, 4789, vxlan(7, inner))));
    Bytes frame = outer;
    const Packet p = from_pcap_record(0, 0, static_cast<std::uint32_t>(outer.size()),
                                      SharedBytes::from_vector(outer), kLinkEthernet, Decode::Wide);
    mask_frame(frame, p, kLinkEthernet, kMaskMac | kMaskIp | kMaskPort);
    const std::size_t at = outer.size() - inner.size();
    EXPECT_EQ(Bytes(frame.begin() + at, frame.end()), masked(inner));
    EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 12), Bytes(12, 0));
}

} // namespace
} // namespace vexlor
