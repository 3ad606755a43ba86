#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <sstream>

#include "builders.h"
#include "common/ip_text.h"

namespace vexlor {
namespace {

// Reference conversions through inet_pton, in the family the text implies.
using test::addr;

// IPv4, and IPv6 whose first twelve bytes are zero (which inet_ntop writes
// dotted), are checked only here; the zero-run rules (the longest run
// shortened, of equal runs the first, a single zero group never) against
// inet_ntop below.
TEST(FormatIp, WritesTheCanonicalText) {
    const std::pair<const char*, const char*> cases[] = {
        {"0.0.0.0", "0.0.0.0"},
        {"255.255.255.255", "255.255.255.255"},
        {"::", "::"},
        {"::1", "::1"},
        // Only the IPv4-mapped form keeps a dotted tail.
        {"::ffff:10.0.0.1", "::ffff:10.0.0.1"},
        {"::ffff:0.0.0.0", "::ffff:0.0.0.0"},
        {"::10.0.0.1", "::a00:1"},
        {"::1:ffff:10.0.0.1", "::1:ffff:a00:1"},
    };
    for (const auto& [input, text] : cases) {
        EXPECT_EQ(format_ip(addr(input)), text);
        std::string appended = "x";
        append_ip(appended, addr(input));
        EXPECT_EQ(appended, std::string("x") + text);
    }
}

// Accepted texts must give what inet_pton gives, in the right family.
TEST(ParseIp, AcceptsExactlyTheStandardForms) {
    for (const char* text : {"0.0.0.0", "255.255.255.255", "1::", "::2:3:4:5:6:7:8",
                             "1:2:3:4:5:6:7::", "FE80::A:b", "fe80:0000::0001", "::ffff:10.0.0.1",
                             "::10.0.0.1", "1:2:3:4:5:6:1.2.3.4", "1::255.255.255.255"}) {
        EXPECT_EQ(parse_ip(text), addr(text)) << text;
    }
    // One space-separated list of texts that are no address.
    std::istringstream rejected(
        "010.0.0.1 10.0.0.1/24 10.0.0 10.0.0.1. .10.0.0.1 256.0.0.1 +1.2.3.4 0x1.2.3.4 ::: 1:::2 "
        "::1:: 1::2::3 :1 1: :1::2 1::2: 1:2:3:4:5:6:7 1:2:3:4:5:6:7:8:9 1:2:3:4:5:6:7:8:: "
        "::1:2:3:4:5:6:7:8 1:2:3:4::5:6:7:8 12345:: g:: fe80::1%eth0 [::1] ::1/128 "
        "::ffff:010.0.0.1 ::1.2.3.4:5 1.2.3.4:: 1:2:3:4:5:6:7:1.2.3.4 1:2:3:4:5:1.2.3.4 ::1.2.3 "
        "::ffff:1.2.3.256 ::1.2.3.4.5");
    for (std::string text; rejected >> text;) {
        EXPECT_FALSE(parse_ip(text)) << text;
    }
    for (const char* text : {"", " ", " 10.0.0.1", "10.0.0.1 ", " ::1", "::1 "}) {
        EXPECT_FALSE(parse_ip(text)) << '"' << text << '"';
    }
    EXPECT_FALSE(parse_ip(std::string_view("10.0.0.1\0", 9)));
    EXPECT_FALSE(parse_ip(std::string_view("::1\0", 4)));
}

// Sparse random addresses, so that zero runs of every length and position
// occur: the text reads back to the same address and agrees with inet_ntop
// wherever inet_ntop follows the same rules (it also dots ::a.b.c.d).
TEST(IpText, RoundTripsAndAgreesWithInetNtop) {
    std::mt19937 rng(5952);
    for (int i = 0; i < 20000; ++i) {
        std::array<std::uint8_t, 16> b{};
        for (int g = 0; g < 8; ++g) {
            if (rng() % 2 == 0) {
                const auto v = static_cast<std::uint16_t>(rng() % 3 == 0 ? rng() % 16 : rng());
                b[2 * g] = static_cast<std::uint8_t>(v >> 8);
                b[2 * g + 1] = static_cast<std::uint8_t>(v);
            }
        }
        const IpAddress a = IpAddress::v6(b.data());
        const std::string text = format_ip(a);
        ASSERT_EQ(parse_ip(text), a) << text;
        if (!std::all_of(b.begin(), b.begin() + 12, [](auto x) { return x == 0; })) {
            char buf[INET6_ADDRSTRLEN];
            ASSERT_NE(inet_ntop(AF_INET6, b.data(), buf, sizeof buf), nullptr);
            ASSERT_EQ(text, buf);
        }
        const IpAddress a4 = IpAddress::v4(b.data());
        ASSERT_EQ(parse_ip(format_ip(a4)), a4);
    }
}

} // namespace
} // namespace vexlor
