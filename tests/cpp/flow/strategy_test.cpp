#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <random>

#include "builders.h"
#include "flow/strategy.h"

namespace vexlor {
namespace {

using namespace test;
using S = SplitStrategy;

Packet ip_packet(const char* src, const char* dst, std::uint8_t proto = 6, std::uint16_t sport = 0,
                 std::uint16_t dport = 0) {
    return packet({.ip = ip_info(src, dst, proto, sport, dport)});
}
Packet link_packet(std::optional<MacAddress> src, std::optional<MacAddress> dst,
                   std::optional<MacAddress> bssid = std::nullopt) {
    return packet({.src_mac = src, .dst_mac = dst, .bssid = bssid});
}

// The packet's flow names, in order.
std::vector<std::string> names_of(S strategy, const Packet& packet) {
    std::vector<std::string> out;
    for (const FlowKey& k : flow_keys(strategy, packet)) {
        out.push_back(flow_name(strategy, k));
    }
    return out;
}

TEST(FlowNames, AreExact) {
    const Packet req = ip_packet("10.0.0.2", "10.0.0.1", 6, 80, 1234);
    const MacAddress a{{0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e}};
    const MacAddress b{{0xAB, 0xCD, 0xEF, 0x01, 0x02, 0x03}};
    const Packet arp = link_packet(a, b);
    const struct {
        Packet packet;
        S strategy;
        std::vector<std::string> names;
    } cases[] = {
        {req, S::Session, {"6_10.0.0.1_10.0.0.2_1234_80"}},
        {req, S::Flow, {"6_10.0.0.2_10.0.0.1_80_1234"}},
        {ip_packet("10.0.0.1", "10.0.0.2", 6, 1234, 80), S::Flow, {"6_10.0.0.1_10.0.0.2_1234_80"}},
        {req, S::Host, {"10.0.0.2", "10.0.0.1"}},
        {req, S::HostPair, {"10.0.0.1_10.0.0.2"}},
        {req, S::NoSplit, {"all"}},
        // Endpoints order by address, then port.  Addresses compare as
        // unsigned numbers, not as text or signed bytes, IPv4 below IPv6.
        {ip_packet("10.0.0.1", "10.0.0.1", 6, 5, 4), S::Session, {"6_10.0.0.1_10.0.0.1_4_5"}},
        {ip_packet("10.0.0.1", "10.0.0.2", 6, 9000, 1), S::Session, {"6_10.0.0.1_10.0.0.2_9000_1"}},
        {ip_packet("10.0.0.2", "9.255.255.255"), S::HostPair, {"9.255.255.255_10.0.0.2"}},
        {ip_packet("128.0.0.1", "127.0.0.1"), S::HostPair, {"127.0.0.1_128.0.0.1"}},
        {ip_packet("2001:db8::1", "2001:db8::2"), S::HostPair, {"2001:db8::1_2001:db8::2"}},
        {ip_packet("fe80::1", "2001:db8::ffff"), S::HostPair, {"2001:db8::ffff_fe80::1"}},
        {ip_packet("::1", "255.255.255.255", 6, 1, 2), S::Session, {"6_255.255.255.255_::1_2_1"}},
        {ip_packet("10.0.0.1", "10.0.0.1"), S::Host, {"10.0.0.1"}},
        // The same four bytes in two families are two hosts.
        {ip_packet("10.0.0.1", "::ffff:10.0.0.1"), S::Host, {"10.0.0.1", "::ffff:10.0.0.1"}},
        {arp, S::Mac, {"001a2b3c4d5e", "abcdef010203"}},
        {link_packet(b, b), S::Mac, {"abcdef010203"}},
        {link_packet(std::nullopt, b), S::Mac, {"abcdef010203"}},
        {link_packet(a, std::nullopt), S::Mac, {"001a2b3c4d5e"}},
        {link_packet(a, b, b), S::Bssid, {"abcdef010203"}},
        // What each strategy calls the packets it cannot place.
        {arp, S::Session, {"no_session"}},
        {arp, S::Flow, {"no_flow"}},
        {arp, S::Host, {"no_host"}},
        {arp, S::HostPair, {"no_hostpair"}},
        {req, S::Mac, {"no_mac"}},
        {arp, S::Bssid, {"no_bssid"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(names_of(c.strategy, c.packet), c.names);
    }
}

// Over many packets from a small pool of addresses chosen to look alike
// (each IPv4 address also in mapped and compatible IPv6 form, and with stray
// bytes behind it, which are not part of it), equal keys give equal names and
// different keys different names, and both directions of a conversation meet
// in one Session and HostPair key.
TEST(FlowKeys, MapOneToOneOntoNames) {
    const char* pool[] = {"0.0.0.0",   "10.0.0.1", "10.0.0.10",       "1.0.0.1",
                          "::",        "::1",      "::ffff:10.0.0.1", "::10.0.0.1",
                          "::a00:100", "1::",      "1:0:0:1::1",      "1::1:0:0:1"};
    std::mt19937 rng(31);
    auto pick = [&](std::uint32_t n) { return static_cast<std::uint8_t>(rng() % n); };
    for (S s : {S::Session, S::Flow, S::Host, S::HostPair, S::Mac, S::Bssid, S::NoSplit}) {
        // Keys compare bytewise, so their bytes stand for them.
        std::map<std::string, std::string> name_of;
        std::map<std::string, std::string> key_of;
        for (int i = 0; i < 3000; ++i) {
            Packet p;
            if (pick(8) != 0) {
                p = ip_packet(pool[pick(12)], pool[pick(12)], pick(3), pick(3), pick(3));
                for (IpAddress* a : {&p.ip->src_ip, &p.ip->dst_ip}) {
                    a->bytes[4 + pick(12)] |= a->is_v4() ? pick(256) : 0;
                }
            }
            if (pick(2) != 0) {
                p.src_mac = mac_address(pick(3));
                p.bssid = mac_address(pick(3));
            }
            if (pick(2) != 0) {
                p.dst_mac = mac_address(pick(3));
            }
            for (const FlowKey& k : flow_keys(s, p)) {
                const std::string key(reinterpret_cast<const char*>(&k), sizeof k);
                const std::string name = flow_name(s, k);
                ASSERT_EQ(name_of.emplace(key, name).first->second, name);
                ASSERT_EQ(key_of.emplace(name, key).first->second, key) << "two keys: " << name;
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

TEST(ParseStrategy, MatchesTheNamesInAnyCaseAndNothingElse) {
    // Only ASCII letters are lower-cased: U+017F LATIN SMALL LETTER LONG S
    // would case-fold to "s", and U+0130 lower-cases to "i" + U+0307.
    const std::pair<std::string_view, std::optional<S>> cases[] = {
        // clang-format off
        {"session", S::Session}, {"SESSION", S::Session}, {"flow", S::Flow}, {"HoSt", S::Host},
        {"hostPAIR", S::HostPair}, {"MAC", S::Mac}, {"bssid", S::Bssid}, {"NoSplit", S::NoSplit},
        {"", {}}, {"sess", {}}, {" session", {}}, {"session ", {}}, {"SESSIONS", {}}, {"no-split", {}},
        {std::string_view("flow\0", 5), {}}, {"\xC5\xBF" "ession", {}}, {"SESS\xC4\xB0ON", {}},
        {"\xFF" "low", {}}}; // the last not UTF-8 at all
    // clang-format on
    for (const auto& [text, strategy] : cases) {
        auto got = parse_strategy(text);
        ASSERT_EQ(got.has_value(), strategy.has_value()) << text;
        if (strategy) {
            EXPECT_EQ(*got, *strategy) << text;
        } else {
            EXPECT_EQ(got.error().kind, ErrorKind::Value);
            // The caller's text, not its lower-case form.
            EXPECT_EQ(got.error().message, "Unknown strategy: " + std::string(text));
        }
    }
}

} // namespace
} // namespace vexlor
