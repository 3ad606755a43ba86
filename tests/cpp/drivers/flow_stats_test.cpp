#include <gtest/gtest.h>

#include <string>

#include "builders.h"
#include "common/ip_text.h"
#include "drivers/flow_stats.h"
#include "flow/community_id.h"

namespace vexlor {
namespace {

using namespace test;

IpAddress addr_of(const char* text) {
    return std::string(text).find(':') != std::string::npos ? IpAddress::v6(ip6(text).data())
                                                            : IpAddress::v4(ip4(text).data());
}

TEST(CommunityId, MatchesPublishedVectors) {
    const struct {
        const char *src, *dst;
        std::uint8_t proto;
        std::uint16_t sport, dport;
        const char* id;
    } cases[] = {
        {"128.232.110.120", "66.35.250.204", 6, 34855, 80, "1:LQU9qZlK+B5F3KDmev6m5PMibrg="},
        {"66.35.250.204", "128.232.110.120", 6, 80, 34855, "1:LQU9qZlK+B5F3KDmev6m5PMibrg="},
        {"10.0.0.1", "10.0.0.2", 6, 10, 11569, "1:SXBGMX1lBOwhhoDrZynfROxnhnM="},
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
    };
    for (const auto& c : cases) {
        EXPECT_EQ(community_id({addr_of(c.src), addr_of(c.dst), c.proto, c.sport, c.dport}), c.id)
            << c.src << " " << c.dst;
    }
    const std::string abc = "abc";
    EXPECT_EQ(base64(sha1({reinterpret_cast<const std::uint8_t*>(abc.data()), abc.size()})),
              "qZk+NkcGgWq6PiVxeFDCbJzQ2J0=");
}

// An Ethernet/IPv4/TCP frame with the given flags.
Bytes tcp_frame(const char* src, const char* dst, std::uint16_t sport, std::uint16_t dport,
                std::uint8_t flags, std::size_t payload) {
    Bytes seg = tcp(sport, dport, repeat(0xAB, payload));
    seg[13] = flags;
    return eth(mac(2), mac(1), 0x0800, ipv4(ip4(src), ip4(dst), 6, seg));
}

struct Sent {
    Bytes frame;
    std::uint64_t us;
};

FlowRecord gather(const std::vector<Sent>& packets, const FlowFeatures& features) {
    FlowStats stats(features);
    for (const Sent& s : packets) {
        stats.add(from_pcap_record(static_cast<std::uint32_t>(s.us / 1000000),
                                   static_cast<std::uint32_t>(s.us % 1000000),
                                   static_cast<std::uint32_t>(s.frame.size()),
                                   SharedBytes::from_vector(s.frame), kLinkEthernet, Decode::Wide),
                  kLinkEthernet);
    }
    return stats.record();
}

const std::vector<Sent> kConnection = {
    {tcp_frame("10.0.0.1", "10.0.0.2", 4000, 80, 0x02, 0), 1'000'000},
    {tcp_frame("10.0.0.2", "10.0.0.1", 80, 4000, 0x12, 0), 1'000'250},
    {tcp_frame("10.0.0.1", "10.0.0.2", 4000, 80, 0x18, 100), 1'001'000},
    {tcp_frame("10.0.0.2", "10.0.0.1", 80, 4000, 0x11, 10), 1'003'000},
};

TEST(FlowStats, CountsEachWayFromTheInitiator) {
    const FlowRecord r = gather(kConnection, FlowFeatures{.first_n = 3});
    EXPECT_EQ(format_ip(r.src), "10.0.0.1");
    EXPECT_EQ(r.src_port, 4000);
    EXPECT_EQ(r.dst_port, 80);
    EXPECT_EQ(r.packets[0], 2u);
    EXPECT_EQ(r.packets[1], 2u);
    EXPECT_EQ(r.bytes[0], 54u + 154u);
    EXPECT_EQ(r.bytes[1], 54u + 64u);
    EXPECT_EQ(r.payload[0], 100u);
    EXPECT_EQ(r.payload[1], 10u);
    EXPECT_EQ(r.tcp_flags, 0x02 | 0x12 | 0x18 | 0x11);
    EXPECT_EQ(r.first_us, 1'000'000u);
    EXPECT_EQ(r.last_us, 1'003'000u);
    EXPECT_EQ(r.sizes, (std::vector<std::uint32_t>{54, 54, 154}));
    EXPECT_EQ(r.dirs, (std::vector<std::uint8_t>{0, 1, 0}));
    EXPECT_EQ(r.gaps, (std::vector<std::int64_t>{0, 250, 750}));
    EXPECT_TRUE(r.row.empty());
}

TEST(FlowStats, ByteRowsAreZeroPaddedAndMasked) {
    const struct {
        FlowFeatures features;
        std::size_t width;
    } cases[] = {
        {{.first_n = 0, .row_bytes = 80}, 80},
        {{.first_n = 0, .row_bytes = 60, .row_packets = 3}, 180},
        {{.first_n = 0, .row_bytes = 16, .row_packets = 2, .payload = true}, 32},
        {{.first_n = 0, .row_bytes = 60, .mask = kMaskMac | kMaskIp | kMaskPort}, 60},
    };
    for (const auto& c : cases) {
        const FlowRecord r = gather(kConnection, c.features);
        ASSERT_EQ(r.row.size(), c.width);
        const FlowFeatures& f = c.features;
        if (f.payload) {
            // The first two packets carry no payload; the third's is 0xAB.
            EXPECT_EQ(r.row, Bytes(32, 0));
        } else if (f.row_packets == 3) {
            for (int slot = 0; slot < 3; ++slot) {
                Bytes want(kConnection[slot].frame);
                want.resize(60, 0);
                EXPECT_EQ(Bytes(r.row.begin() + slot * 60, r.row.begin() + slot * 60 + 60), want);
            }
        } else if (f.mask == 0) {
            // The flow's bytes run on from one packet into the next.
            Bytes want(kConnection[0].frame);
            want.insert(want.end(), kConnection[1].frame.begin(), kConnection[1].frame.end());
            want.resize(80);
            EXPECT_EQ(r.row, want);
        } else {
            Bytes want(kConnection[0].frame);
            std::fill_n(want.begin(), 12, 0);      // MACs
            std::fill_n(want.begin() + 26, 12, 0); // addresses and ports
            EXPECT_EQ(Bytes(r.row.begin(), r.row.begin() + 54), want);
        }
    }
}

TEST(FlowStats, MasksTheInnermostHeaderOfATunnel) {
    const Bytes inner = tcp_frame("192.168.0.1", "192.168.0.2", 1111, 2222, 0x02, 4);
    const Bytes outer =
        eth(mac(9), mac(8), 0x0800,
            ipv4(ip4("10.9.9.1"), ip4("10.9.9.2"), 17, udp(5555, 4789, vxlan(7, inner))));
    Bytes frame = outer;
    const Packet p = from_pcap_record(0, 0, static_cast<std::uint32_t>(frame.size()),
                                      SharedBytes::from_vector(outer), kLinkEthernet, Decode::Wide);
    mask_frame(frame, p, kLinkEthernet, kMaskMac | kMaskIp | kMaskPort);
    const std::size_t at = outer.size() - inner.size();
    Bytes want = inner;
    std::fill_n(want.begin(), 12, 0);
    std::fill_n(want.begin() + 26, 12, 0);
    EXPECT_EQ(Bytes(frame.begin() + at, frame.end()), want);
    EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 12), Bytes(12, 0));
}

} // namespace
} // namespace vexlor
