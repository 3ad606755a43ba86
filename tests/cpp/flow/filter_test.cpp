#include <gtest/gtest.h>

#include "flow/filter.h"
#include "flow_packets.h"

namespace vexlor {
namespace {

using namespace test;

TEST(BuildFilter, KeepsOnlyAddressTextsAndCopiesPorts) {
    const PacketFilter f = build_filter(
        {"10.0.0.1", "10.0.0.1/24", "host.example", "", "fe80::1%eth0", "::1", "::ffff:10.0.0.1"},
        {53, 53, 0});
    EXPECT_EQ(f.ips,
              (std::vector<IpAddress>{addr("10.0.0.1"), addr("::1"), addr("::ffff:10.0.0.1")}));
    EXPECT_EQ(f.ports, (std::vector<std::uint16_t>{53, 53, 0}));
}

TEST(PacketFilter, Matches) {
    const Packet arp = link_packet(MacAddress{mac(1)}, MacAddress{mac(2)});
    const Packet out = ip_packet("10.0.0.1", "192.0.2.1", 6, 5000, 80);
    const Packet in = ip_packet("192.0.2.1", "10.0.0.1", 6, 80, 5000);
    const Packet icmp = ip_packet("10.0.0.1", "10.0.0.2", 1);
    const struct {
        std::vector<std::string> ips;
        std::vector<std::uint16_t> ports;
        Packet packet;
        bool pass;
    } cases[] = {
        {{}, {}, arp, true},
        {{"10.0.0.1"}, {}, out, true}, // as source
        {{"10.0.0.1"}, {}, in, true},  // as destination
        {{"10.0.0.9"}, {}, in, false},
        {{"10.0.0.9", "192.0.2.1"}, {}, out, true}, // any of the list
        {{"10.0.0.1"}, {}, arp, false},             // an address needs IP
        {{"10.0.0.1/24"}, {}, arp, true},           // unparsed text is no condition
        {{"::ffff:10.0.0.1"}, {}, out, false},      // families never compare equal
        {{"2001:db8::1"}, {}, ip_packet("::1", "2001:DB8:0::1"), true},
        {{}, {53}, ip_packet("10.0.0.1", "10.0.0.53", 17, 40000, 53), true},
        {{}, {53}, ip_packet("10.0.0.53", "10.0.0.1", 17, 53, 40000), true},
        {{}, {53}, icmp, false},
        {{}, {0}, icmp, true}, // ICMP has ports 0
        {{}, {0}, arp, false}, // a port needs IP
        {{"10.0.0.1"}, {80}, ip_packet("10.0.0.1", "10.0.0.2", 6, 443, 5000), false}, // both
        {{"10.0.0.1"}, {80}, in, true},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        EXPECT_EQ(build_filter(c.ips, c.ports).matches(c.packet), c.pass) << "case " << i;
    }
}

} // namespace
} // namespace vexlor
