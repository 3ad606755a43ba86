#include "flow/filter.h"
#include "flow_packets.h"

#include <gtest/gtest.h>

namespace vexlor {
namespace {

using test::addr;
using test::ip_packet;
using test::link_packet;
using test::mac_addr;

struct BuildCase {
    std::vector<std::string> texts;
    std::vector<const char*> kept; // the addresses that survive, in order
};

class BuildFilter : public ::testing::TestWithParam<BuildCase> {};

TEST_P(BuildFilter, KeepsOnlyAddressTexts) {
    const auto& c = GetParam();
    PacketFilter f = build_filter(c.texts, {53, 53, 0});
    std::vector<IpAddress> expected;
    for (const char* t : c.kept) {
        expected.push_back(addr(t));
    }
    EXPECT_EQ(f.ips, expected);
    EXPECT_EQ(f.ports, (std::vector<std::uint16_t>{53, 53, 0})); // copied as given
}

INSTANTIATE_TEST_SUITE_P(
    Table, BuildFilter,
    ::testing::Values(BuildCase{{"10.0.0.1", "::1"}, {"10.0.0.1", "::1"}},
                      BuildCase{{"10.0.0.1/24"}, {}}, BuildCase{{"010.0.0.1"}, {}},
                      BuildCase{{"host.example", "", " 10.0.0.1"}, {}},
                      BuildCase{{"fe80::1%eth0", "[::1]", "2001:db8::1"}, {"2001:db8::1"}},
                      BuildCase{{"::ffff:10.0.0.1", "10.0.0.2"}, {"::ffff:10.0.0.1", "10.0.0.2"}}));

struct MatchCase {
    const char* label;
    std::vector<std::string> ips;
    std::vector<std::uint16_t> ports;
    Packet packet;
    bool pass;
};

std::ostream& operator<<(std::ostream& os, const MatchCase& c) { return os << c.label; }

class FilterMatch : public ::testing::TestWithParam<MatchCase> {};

TEST_P(FilterMatch, Decides) {
    const auto& c = GetParam();
    EXPECT_EQ(build_filter(c.ips, c.ports).matches(c.packet), c.pass);
}

const Packet kArp = link_packet(mac_addr({1, 2, 3, 4, 5, 6}), mac_addr({6, 5, 4, 3, 2, 1}));
const Packet kOut = ip_packet("10.0.0.1", "192.0.2.1", 6, 5000, 80);
const Packet kIn = ip_packet("192.0.2.1", "10.0.0.1", 6, 80, 5000);
const Packet kDnsQuery = ip_packet("10.0.0.1", "10.0.0.53", 17, 40000, 53);
const Packet kDnsAnswer = ip_packet("10.0.0.53", "10.0.0.1", 17, 53, 40000);
const Packet kIcmp = ip_packet("10.0.0.1", "10.0.0.2", 1);

INSTANTIATE_TEST_SUITE_P(
    Table, FilterMatch,
    ::testing::Values(
        MatchCase{"empty_passes_arp", {}, {}, kArp, true},
        MatchCase{"src_address", {"10.0.0.1"}, {}, kOut, true},
        MatchCase{"dst_address", {"10.0.0.1"}, {}, kIn, true},
        MatchCase{"other_address", {"10.0.0.9"}, {}, kIn, false},
        MatchCase{"address_drops_arp", {"10.0.0.1"}, {}, kArp, false},
        MatchCase{"unparsed_text_is_no_condition", {"10.0.0.1/24"}, {}, kArp, true},
        MatchCase{"mapped_never_equals_v4", {"::ffff:10.0.0.1"}, {}, kOut, false},
        MatchCase{"v4_never_equals_mapped", {"10.0.0.1"}, {},
                  ip_packet("::ffff:10.0.0.1", "::1"), false},
        MatchCase{"v6_address", {"2001:db8::1"}, {}, ip_packet("::1", "2001:DB8:0::1"), true},
        MatchCase{"second_of_list", {"10.0.0.9", "192.0.2.1"}, {}, kOut, true},
        MatchCase{"dns_query", {}, {53}, kDnsQuery, true},
        MatchCase{"dns_answer", {}, {53}, kDnsAnswer, true},
        MatchCase{"port_drops_icmp", {}, {53}, kIcmp, false},
        MatchCase{"port_zero_keeps_icmp", {}, {0}, kIcmp, true},
        MatchCase{"port_drops_arp", {}, {0}, kArp, false},
        MatchCase{"both_must_hold", {"10.0.0.1"}, {80},
                  ip_packet("10.0.0.1", "10.0.0.2", 6, 443, 5000), false},
        MatchCase{"both_hold", {"10.0.0.1"}, {80}, kIn, true}));

} // namespace
} // namespace vexlor
