#include <gtest/gtest.h>

#include "common/ip_text.h"
#include "flow/filter.h"

namespace vexlor {
namespace {

struct PrefixCase {
    const char* prefix;
    const char* address;
    bool contained;
};

// Bits that end inside a byte, whole bytes, the extremes, and families that
// do not mix.
constexpr PrefixCase kPrefixCases[] = {
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

TEST(IpPrefix, ContainsTheAddressesOfItsBits) {
    for (const PrefixCase& c : kPrefixCases) {
        auto prefix = parse_prefix(c.prefix);
        auto address = parse_ip(c.address);
        ASSERT_TRUE(prefix && address) << c.prefix << " " << c.address;
        EXPECT_EQ(prefix->contains(*address), c.contained) << c.prefix << " " << c.address;
    }
}

TEST(IpPrefix, RefusesWhatIsNoPrefix) {
    for (const char* text :
         {"10.0.0.0", "10.0.0.0/", "10.0.0.0/33", "10.0.0.0/-1", "10.0.0.0/+8", "10.0.0.0/8/8",
          "10.0.0.256/8", "/8", "2001:db8::/129", "2001:db8::/0032", "10.0.0.0/ 8"}) {
        EXPECT_FALSE(parse_prefix(text)) << text;
    }
}

Packet ip_packet(const char* src, const char* dst) {
    Packet p;
    p.ip = IpInfo{};
    p.ip->src_ip = *parse_ip(src);
    p.ip->dst_ip = *parse_ip(dst);
    return p;
}

TEST(PacketFilter, PrefixesOnlyWhenAskedFor) {
    const std::vector<std::string> texts = {"10.0.0.0/8", "192.0.2.1"};
    const PacketFilter tool = build_filter(texts, {}, true);
    const PacketFilter module = build_filter(texts, {});
    EXPECT_TRUE(tool.matches(ip_packet("198.51.100.1", "10.9.9.9")));
    EXPECT_TRUE(tool.matches(ip_packet("192.0.2.1", "198.51.100.1")));
    EXPECT_FALSE(tool.matches(ip_packet("198.51.100.1", "11.0.0.1")));
    EXPECT_FALSE(tool.matches(Packet{}));
    // The module's filter skips the prefix text: only the address remains.
    EXPECT_FALSE(module.matches(ip_packet("198.51.100.1", "10.9.9.9")));
    EXPECT_TRUE(module.matches(ip_packet("192.0.2.1", "198.51.100.1")));
}

} // namespace
} // namespace vexlor
