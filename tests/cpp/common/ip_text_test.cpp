#include "builders.h"
#include "common/ip_text.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <random>

namespace vexlor {
namespace {

using test::ip4;
using test::ip6;

IpAddress v4(const char* text) { return IpAddress::v4(ip4(text).data()); }
IpAddress v6(const char* text) { return IpAddress::v6(ip6(text).data()); }

struct FormatCase {
    const char* input; // read with inet_pton
    const char* text;  // as format_ip must write it
};

std::ostream& operator<<(std::ostream& os, const FormatCase& c) { return os << c.input; }

class FormatIp : public ::testing::TestWithParam<FormatCase> {};

TEST_P(FormatIp, WritesTheCanonicalText) {
    const auto& c = GetParam();
    IpAddress a = std::string_view(c.input).find(':') == std::string_view::npos ? v4(c.input)
                                                                                 : v6(c.input);
    EXPECT_EQ(format_ip(a), c.text);
    std::string appended = "x";
    append_ip(appended, a);
    EXPECT_EQ(appended, std::string("x") + c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FormatIp,
    ::testing::Values(
        FormatCase{"0.0.0.0", "0.0.0.0"}, FormatCase{"255.255.255.255", "255.255.255.255"},
        FormatCase{"192.0.2.1", "192.0.2.1"}, FormatCase{"::", "::"}, FormatCase{"::1", "::1"},
        FormatCase{"fe80::", "fe80::"}, FormatCase{"2001:DB8:0:0:0:0:0:ABCD", "2001:db8::abcd"},
        FormatCase{"2001:0db8:0000:0000:0000:0000:0000:0001", "2001:db8::1"},
        // The longest run wins; of equal runs, the first.
        FormatCase{"1:0:0:1:0:0:0:1", "1:0:0:1::1"}, FormatCase{"1:0:0:2:0:0:3:4", "1::2:0:0:3:4"},
        FormatCase{"0:1:0:0:1:0:0:0", "0:1:0:0:1::"},
        // A single zero group is never shortened.
        FormatCase{"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},
        FormatCase{"0:2:3:4:5:6:7:8", "0:2:3:4:5:6:7:8"},
        FormatCase{"1:2:3:4:5:6:7:8", "1:2:3:4:5:6:7:8"},
        // Only the IPv4-mapped form keeps a dotted tail.
        FormatCase{"::ffff:10.0.0.1", "::ffff:10.0.0.1"},
        FormatCase{"::ffff:0.0.0.0", "::ffff:0.0.0.0"}, FormatCase{"::10.0.0.1", "::a00:1"},
        FormatCase{"::1:ffff:10.0.0.1", "::1:ffff:a00:1"},
        FormatCase{"64:ff9b::192.0.2.1", "64:ff9b::c000:201"}));

struct ParseCase {
    const char* text;
    bool ok;
};

std::ostream& operator<<(std::ostream& os, const ParseCase& c) {
    return os << '"' << c.text << '"';
}

class ParseIp : public ::testing::TestWithParam<ParseCase> {};

// Accepted texts must give what inet_pton gives, in the right family.
TEST_P(ParseIp, AcceptsExactlyTheStandardForms) {
    const auto& c = GetParam();
    auto got = parse_ip(c.text);
    ASSERT_EQ(got.has_value(), c.ok) << c.text;
    if (!c.ok) {
        return;
    }
    bool is6 = std::string_view(c.text).find(':') != std::string_view::npos;
    EXPECT_EQ(*got, is6 ? v6(c.text) : v4(c.text));
}

INSTANTIATE_TEST_SUITE_P(
    Accepted, ParseIp,
    ::testing::Values(ParseCase{"0.0.0.0", true}, ParseCase{"255.255.255.255", true},
                      ParseCase{"10.0.0.1", true}, ParseCase{"::", true}, ParseCase{"::1", true},
                      ParseCase{"1::", true}, ParseCase{"1::8", true},
                      ParseCase{"1:2:3:4:5:6:7:8", true}, ParseCase{"1:2:3:4:5:6:7::", true},
                      ParseCase{"::2:3:4:5:6:7:8", true}, ParseCase{"FE80::A:b", true},
                      ParseCase{"fe80:0000::0001", true}, ParseCase{"::ffff:10.0.0.1", true},
                      ParseCase{"::10.0.0.1", true}, ParseCase{"1:2:3:4:5:6:1.2.3.4", true},
                      ParseCase{"1::255.255.255.255", true}));

INSTANTIATE_TEST_SUITE_P(
    Rejected, ParseIp,
    ::testing::Values(
        ParseCase{"", false}, ParseCase{" ", false}, ParseCase{"010.0.0.1", false},
        ParseCase{"10.0.0.01", false}, ParseCase{"10.0.0.1/24", false},
        ParseCase{"10.0.0", false}, ParseCase{"10.0.0.1.", false}, ParseCase{".10.0.0.1", false},
        ParseCase{"256.0.0.1", false}, ParseCase{"1234.1.1.1", false},
        ParseCase{" 10.0.0.1", false}, ParseCase{"10.0.0.1 ", false},
        ParseCase{"+1.2.3.4", false}, ParseCase{"0x1.2.3.4", false}, ParseCase{":::", false},
        ParseCase{"1:::2", false}, ParseCase{"::1::", false}, ParseCase{"1::2::3", false},
        ParseCase{":1", false}, ParseCase{"1:", false}, ParseCase{":1::2", false},
        ParseCase{"1::2:", false}, ParseCase{"1:2:3:4:5:6:7", false},
        ParseCase{"1:2:3:4:5:6:7:8:9", false}, ParseCase{"1:2:3:4:5:6:7:8::", false},
        ParseCase{"::1:2:3:4:5:6:7:8", false}, ParseCase{"1:2:3:4::5:6:7:8", false},
        ParseCase{"12345::", false}, ParseCase{"g::", false}, ParseCase{"fe80::1%eth0", false},
        ParseCase{"[::1]", false}, ParseCase{"::1/128", false}, ParseCase{" ::1", false},
        ParseCase{"::1 ", false}, ParseCase{"::ffff:010.0.0.1", false},
        ParseCase{"::1.2.3.4:5", false}, ParseCase{"1.2.3.4::", false},
        ParseCase{"1:2:3:4:5:6:7:1.2.3.4", false}, ParseCase{"1:2:3:4:5:1.2.3.4", false},
        ParseCase{"::1.2.3", false}, ParseCase{"::ffff:1.2.3.256", false},
        ParseCase{"::1.2.3.4.5", false}));

TEST(ParseIp, RejectsAnEmbeddedNul) {
    EXPECT_FALSE(parse_ip(std::string_view("10.0.0.1\0", 9)).has_value());
    EXPECT_FALSE(parse_ip(std::string_view("::1\0", 4)).has_value());
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
                std::uint16_t v = rng() % 3 == 0 ? static_cast<std::uint16_t>(rng() % 16)
                                                 : static_cast<std::uint16_t>(rng());
                b[2 * g] = static_cast<std::uint8_t>(v >> 8);
                b[2 * g + 1] = static_cast<std::uint8_t>(v);
            }
        }
        IpAddress a = IpAddress::v6(b.data());
        std::string text = format_ip(a);
        ASSERT_EQ(parse_ip(text), a) << text;
        bool compat = std::all_of(b.begin(), b.begin() + 12, [](auto x) { return x == 0; });
        if (!compat) {
            char buf[INET6_ADDRSTRLEN];
            ASSERT_NE(inet_ntop(AF_INET6, b.data(), buf, sizeof buf), nullptr);
            ASSERT_EQ(text, buf);
        }
        IpAddress a4 = IpAddress::v4(b.data());
        ASSERT_EQ(parse_ip(format_ip(a4)), a4);
    }
}

} // namespace
} // namespace vexlor
