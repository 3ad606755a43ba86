#include <gtest/gtest.h>

#include "builders.h"
#include "common/ip_text.h"
#include "flow/filter.h"

namespace vexlor {
namespace {

using namespace test;

TEST(PacketFilter, Matches) {
    const Packet arp = packet({.src_mac = mac_address(1), .dst_mac = mac_address(2)});
    const Packet out = packet({.ip = ip_info("10.0.0.1", "192.0.2.1", 6, 5000, 80)});
    const Packet in = packet({.ip = ip_info("192.0.2.1", "10.0.0.1", 6, 80, 5000)});
    const Packet icmp = packet({.ip = ip_info("10.0.0.1", "10.0.0.2", 1)});
    const struct {
        std::vector<std::string> ips;
        std::vector<std::uint16_t> ports;
        Packet packet;
        bool pass;
        bool prefixes = false; // the tool's filter, which also takes prefixes
    } cases[] = {
        {{}, {}, arp, true},
        {{"10.0.0.1"}, {}, out, true}, // as source
        {{"10.0.0.1"}, {}, in, true},  // as destination
        {{"10.0.0.9"}, {}, in, false},
        {{"10.0.0.9", "192.0.2.1"}, {}, out, true}, // any of the list
        {{"10.0.0.1"}, {}, arp, false},             // an address needs IP
        {{"10.0.0.1/24"}, {}, arp, true},           // unparsed text is no condition
        // Texts that are no address are passed over, the rest of the list kept.
        {{"10.0.0.9", "host.example", "", "fe80::1%eth0", "192.0.2.1"}, {}, out, true},
        {{"::ffff:10.0.0.1"}, {}, out, false}, // families never compare equal
        {{"2001:db8::1"}, {}, packet({.ip = ip_info("::1", "2001:DB8:0::1")}), true},
        {{}, {53}, packet({.ip = ip_info("10.0.0.1", "10.0.0.53", 17, 40000, 53)}), true},
        {{}, {53}, packet({.ip = ip_info("10.0.0.53", "10.0.0.1", 17, 53, 40000)}), true},
        {{}, {53}, icmp, false},
        {{}, {0}, icmp, true}, // ICMP has ports 0
        {{}, {0}, arp, false}, // a port needs IP
        {{"10.0.0.1"}, {80}, packet({.ip = ip_info("10.0.0.1", "10.0.0.2", 6, 443, 5000)}), false},
        {{"10.0.0.1"}, {80}, in, true}, // both
        {{"10.0.0.0/8", "192.0.2.9"}, {}, out, true, true},
        {{"10.0.0.0/8", "192.0.2.9"}, {}, out, false}, // the module's filter skips prefixes
        {{"10.0.0.0/8"}, {}, in, true, true},
        {{"11.0.0.0/8", "192.0.2.1"}, {}, out, true, true},
        {{"11.0.0.0/8"}, {}, out, false, true},
        {{"0.0.0.0/0"}, {}, arp, false, true},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        EXPECT_EQ(build_filter(c.ips, c.ports, c.prefixes).matches(c.packet), c.pass)
            << "case " << i;
    }
}

// Bits that end inside a byte, whole bytes, the extremes, and families that
// do not mix.
TEST(IpPrefix, ContainsTheAddressesOfItsBits) {
    const struct {
        const char* prefix;
        const char* address;
        bool contained;
    } cases[] = {
        {"10.0.0.0/8", "10.255.1.2", true},
        {"10.0.0.0/8", "11.0.0.0", false},
        {"10.0.0.2/31", "10.0.0.3", true},
        {"10.0.0.2/31", "10.0.0.4", false},
        {"192.0.2.128/25", "192.0.2.127", false},
        {"192.0.2.128/25", "192.0.2.255", true},
        {"0.0.0.0/0", "203.0.113.7", true},
        {"203.0.113.7/32", "203.0.113.7", true},
        {"203.0.113.7/32", "203.0.113.6", false},
        {"2001:db8::/32", "2001:db8:ffff::1", true},
        {"2001:db8::/32", "2001:db9::1", false},
        {"2001:db8::/33", "2001:db8:8000::", false},
        {"::/0", "::1", true},
        {"::/0", "10.0.0.1", false},
        {"0.0.0.0/0", "::ffff:10.0.0.1", false},
        {"2001:db8::1/128", "2001:db8::1", true},
    };
    for (const auto& c : cases) {
        auto prefix = parse_prefix(c.prefix);
        ASSERT_TRUE(prefix) << c.prefix;
        EXPECT_EQ(prefix->contains(addr(c.address)), c.contained) << c.prefix << " " << c.address;
    }
    for (const char* text :
         {"10.0.0.0", "10.0.0.0/", "10.0.0.0/33", "10.0.0.0/-1", "10.0.0.0/+8", "10.0.0.0/8/8",
          "10.0.0.256/8", "/8", "2001:db8::/129", "2001:db8::/0032", "10.0.0.0/ 8"}) {
        EXPECT_FALSE(parse_prefix(text)) << text;
    }
}

} // namespace
} // namespace vexlor
