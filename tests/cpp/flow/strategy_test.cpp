#include "flow/strategy/strategy.h"
#include "flow_packets.h"

#include <gtest/gtest.h>

#include <map>
#include <random>

namespace vexlor {
namespace {

using test::ip_packet;
using test::link_packet;
using test::mac;
using test::mac_addr;
using S = SplitStrategy;
using Names = std::vector<std::string>;

struct NameCase {
    const char* label;
    Packet packet;
    S strategy;
    Names names;
};

std::ostream& operator<<(std::ostream& os, const NameCase& c) { return os << c.label; }

class FlowNames : public ::testing::TestWithParam<NameCase> {};

TEST_P(FlowNames, AreExact) {
    const auto& c = GetParam();
    EXPECT_EQ(classify(c.strategy, c.packet), c.names);
    // classify is flow_name over flow_keys; the keys must be as many.
    EXPECT_EQ(flow_keys(c.strategy, c.packet).count, c.names.size());
}

// 10.0.0.2:80 -> 10.0.0.1:1234 and its answer.
const Packet kReq = ip_packet("10.0.0.2", "10.0.0.1", 6, 80, 1234);
const Packet kAns = ip_packet("10.0.0.1", "10.0.0.2", 6, 1234, 80);

INSTANTIATE_TEST_SUITE_P(
    WorkedExample, FlowNames,
    ::testing::Values(NameCase{"session", kReq, S::Session, {"6_10.0.0.1_10.0.0.2_1234_80"}},
                      NameCase{"flow", kReq, S::Flow, {"6_10.0.0.2_10.0.0.1_80_1234"}},
                      NameCase{"host", kReq, S::Host, {"10.0.0.2", "10.0.0.1"}},
                      NameCase{"hostpair", kReq, S::HostPair, {"10.0.0.1_10.0.0.2"}},
                      NameCase{"answer_session", kAns, S::Session, {"6_10.0.0.1_10.0.0.2_1234_80"}},
                      NameCase{"answer_flow", kAns, S::Flow, {"6_10.0.0.1_10.0.0.2_1234_80"}},
                      NameCase{"answer_hostpair", kAns, S::HostPair, {"10.0.0.1_10.0.0.2"}},
                      NameCase{"nosplit", kReq, S::NoSplit, {"all"}}));

INSTANTIATE_TEST_SUITE_P(
    Ipv4Order, FlowNames,
    ::testing::Values(
        NameCase{"equal_addresses_order_by_port",
                 ip_packet("10.0.0.1", "10.0.0.1", 6, 5000, 80),
                 S::Session,
                 {"6_10.0.0.1_10.0.0.1_80_5000"}},
        NameCase{"equal_endpoints", ip_packet("10.0.0.1", "10.0.0.1", 17, 53, 53), S::Session,
                 {"17_10.0.0.1_10.0.0.1_53_53"}},
        NameCase{"host_to_itself", ip_packet("10.0.0.1", "10.0.0.1"), S::Host, {"10.0.0.1"}},
        NameCase{"icmp", ip_packet("192.0.2.9", "192.0.2.1", 1), S::Session,
                 {"1_192.0.2.1_192.0.2.9_0_0"}},
        // Addresses compare as unsigned numbers, not as text or signed bytes.
        NameCase{"unsigned_not_text", ip_packet("10.0.0.2", "9.255.255.255", 6, 1, 2),
                 S::Session, {"6_9.255.255.255_10.0.0.2_2_1"}},
        NameCase{"high_bit", ip_packet("128.0.0.1", "127.0.0.1"), S::HostPair,
                 {"127.0.0.1_128.0.0.1"}},
        NameCase{"address_before_port", ip_packet("10.0.0.1", "10.0.0.2", 6, 9000, 1),
                 S::Session, {"6_10.0.0.1_10.0.0.2_9000_1"}}));

INSTANTIATE_TEST_SUITE_P(
    Ipv6, FlowNames,
    ::testing::Values(
        NameCase{"session", ip_packet("2001:db8::2", "2001:db8::1", 17, 53, 5353), S::Session,
                 {"17_2001:db8::1_2001:db8::2_5353_53"}},
        NameCase{"flow", ip_packet("2001:db8::2", "2001:db8::1", 17, 53, 5353), S::Flow,
                 {"17_2001:db8::2_2001:db8::1_53_5353"}},
        NameCase{"compressed_forms", ip_packet("1:0:0:1:0:0:0:1", "::"), S::Host,
                 {"1:0:0:1::1", "::"}},
        NameCase{"loopback_and_link_local", ip_packet("fe80::", "::1"), S::HostPair,
                 {"::1_fe80::"}},
        NameCase{"mapped_is_dotted", ip_packet("::ffff:10.0.0.1", "::10.0.0.1"), S::Host,
                 {"::ffff:10.0.0.1", "::a00:1"}},
        // fe80:: is above 2001:db8:: group by group.
        NameCase{"group_order", ip_packet("fe80::1", "2001:db8::ffff"), S::HostPair,
                 {"2001:db8::ffff_fe80::1"}}));

INSTANTIATE_TEST_SUITE_P(
    MixedFamilies, FlowNames,
    ::testing::Values(
        NameCase{"v6_to_v4", ip_packet("::1", "255.255.255.255", 6, 1, 2), S::Session,
                 {"6_255.255.255.255_::1_2_1"}},
        NameCase{"v4_to_v6", ip_packet("255.255.255.255", "::1", 6, 2, 1), S::Session,
                 {"6_255.255.255.255_::1_2_1"}},
        NameCase{"hostpair", ip_packet("::", "10.0.0.1"), S::HostPair, {"10.0.0.1_::"}},
        // The same four bytes in two families are two hosts.
        NameCase{"v4_and_its_mapped_form", ip_packet("10.0.0.1", "::ffff:10.0.0.1"), S::Host,
                 {"10.0.0.1", "::ffff:10.0.0.1"}}));

const MacAddress kMacA = mac_addr({0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e});
const MacAddress kMacB = mac_addr({0xAB, 0xCD, 0xEF, 0x01, 0x02, 0x03});

Packet with_macs(Packet p) {
    p.src_mac = kMacA;
    p.dst_mac = kMacB;
    return p;
}

INSTANTIATE_TEST_SUITE_P(
    LinkLayer, FlowNames,
    ::testing::Values(
        NameCase{"arp_session", link_packet(kMacA, kMacB), S::Session, {"no_session"}},
        NameCase{"arp_flow", link_packet(kMacA, kMacB), S::Flow, {"no_flow"}},
        NameCase{"arp_host", link_packet(kMacA, kMacB), S::Host, {"no_host"}},
        NameCase{"arp_hostpair", link_packet(kMacA, kMacB), S::HostPair, {"no_hostpair"}},
        NameCase{"arp_mac", link_packet(kMacA, kMacB), S::Mac, {"001a2b3c4d5e", "abcdef010203"}},
        NameCase{"arp_nosplit", link_packet(kMacA, kMacB), S::NoSplit, {"all"}},
        NameCase{"ip_mac", with_macs(ip_packet("10.0.0.1", "10.0.0.2")), S::Mac,
                 {"001a2b3c4d5e", "abcdef010203"}},
        NameCase{"equal_macs", link_packet(kMacB, kMacB), S::Mac, {"abcdef010203"}},
        NameCase{"dst_only", link_packet(std::nullopt, kMacB), S::Mac, {"abcdef010203"}},
        NameCase{"src_only", link_packet(kMacA, std::nullopt), S::Mac, {"001a2b3c4d5e"}},
        NameCase{"raw_ip_mac", ip_packet("10.0.0.1", "10.0.0.2"), S::Mac, {"no_mac"}},
        NameCase{"bssid", link_packet(kMacA, kMacB, kMacB), S::Bssid, {"abcdef010203"}},
        NameCase{"no_bssid", with_macs(ip_packet("10.0.0.1", "10.0.0.2")), S::Bssid,
                 {"no_bssid"}},
        NameCase{"empty_nosplit", Packet{}, S::NoSplit, {"all"}}));

// Stray bytes behind an IPv4 address are not part of it: keys stay equal.
TEST(FlowKeys, IgnoreBytesOutsideTheAddress) {
    for (S s : {S::Session, S::Flow, S::Host, S::HostPair}) {
        Packet clean = ip_packet("10.0.0.1", "10.0.0.2", 6, 1, 2);
        Packet dirty = clean;
        dirty.ip->src_ip.bytes[9] = 0x55;
        dirty.ip->dst_ip.bytes[15] = 0xAA;
        EXPECT_EQ(flow_keys(s, dirty).keys[0], flow_keys(s, clean).keys[0]);
        EXPECT_EQ(classify(s, dirty), classify(s, clean));
    }
}

// Over many packets from a small pool of addresses chosen to look alike
// (each IPv4 address also in mapped and compatible IPv6 form), equal keys
// give equal names and different keys different names, and both directions
// of a conversation meet in one Session and HostPair key.
TEST(FlowKeys, MapOneToOneOntoNames) {
    const char* pool[] = {"0.0.0.0",    "10.0.0.1", "10.0.0.10",       "1.0.0.1",
                          "::",         "::1",      "::ffff:10.0.0.1", "::10.0.0.1",
                          "::a00:100",  "1::",      "1:0:0:1::1",      "1::1:0:0:1"};
    std::mt19937 rng(31);
    for (S s : {S::Session, S::Flow, S::Host, S::HostPair, S::Mac, S::Bssid, S::NoSplit}) {
        std::map<std::string, FlowKey> key_of;
        std::vector<std::pair<FlowKey, std::string>> seen;
        for (int i = 0; i < 3000; ++i) {
            Packet p;
            if (rng() % 8 != 0) {
                p = ip_packet(pool[rng() % std::size(pool)], pool[rng() % std::size(pool)],
                              static_cast<std::uint8_t>(rng() % 3),
                              static_cast<std::uint16_t>(rng() % 3),
                              static_cast<std::uint16_t>(rng() % 3));
            }
            if (rng() % 2 != 0) {
                p.src_mac = mac_addr(mac(static_cast<std::uint8_t>(rng() % 3)));
                p.bssid = mac_addr(mac(static_cast<std::uint8_t>(rng() % 3)));
            }
            if (rng() % 2 != 0) {
                p.dst_mac = mac_addr(mac(static_cast<std::uint8_t>(rng() % 3)));
            }
            for (const FlowKey& k : flow_keys(s, p)) {
                std::string name = flow_name(s, k);
                auto [it, fresh] = key_of.emplace(name, k);
                ASSERT_TRUE(it->second == k) << "two keys named " << name;
                if (fresh) {
                    for (const auto& [other, other_name] : seen) {
                        ASSERT_FALSE(other == k) << name << " and " << other_name;
                    }
                    seen.emplace_back(k, name);
                }
            }
            if (p.ip && (s == S::Session || s == S::HostPair)) {
                Packet back = p;
                std::swap(back.ip->src_ip, back.ip->dst_ip);
                std::swap(back.ip->src_port, back.ip->dst_port);
                ASSERT_EQ(flow_keys(s, back).keys[0], flow_keys(s, p).keys[0]);
            }
        }
    }
}

} // namespace
} // namespace vexlor
