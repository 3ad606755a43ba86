// Names of IP protocol numbers, for the front ends.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vexlor {

struct ProtocolName {
    std::uint8_t number;
    std::string_view name;  // lower case, as selectors accept it
    std::string_view label; // what the module's Flow.proto_name says; empty: "?"
};

// The protocol numbers the decoding and the flow code look at.
inline constexpr std::uint8_t kProtoIcmp = 1;
inline constexpr std::uint8_t kProtoTcp = 6;
inline constexpr std::uint8_t kProtoUdp = 17;
inline constexpr std::uint8_t kProtoIcmpv6 = 58;
inline constexpr std::uint8_t kProtoSctp = 132;

// IANA protocol numbers of the protocols one meets in captures.  Number 0 is
// left out on purpose: archives store 0 for flows without IP header.
inline constexpr ProtocolName kProtocolNames[] = {
    {1, "icmp", "ICMP"}, {2, "igmp", ""},          {4, "ipip", ""},   {6, "tcp", "TCP"},
    {17, "udp", "UDP"},  {41, "ipv6", ""},         {47, "gre", ""},   {50, "esp", ""},
    {51, "ah", ""},      {58, "icmpv6", "ICMPv6"}, {89, "ospf", ""},  {103, "pim", ""},
    {112, "vrrp", ""},   {115, "l2tp", ""},        {132, "sctp", ""}, {136, "udplite", ""},
};

inline const ProtocolName* protocol_entry(std::uint8_t number) {
    for (const ProtocolName& p : kProtocolNames) {
        if (p.number == number) {
            return &p;
        }
    }
    return nullptr;
}

// The entry of a lower-case name, or nothing.
inline const ProtocolName* protocol_named(std::string_view lower) {
    for (const ProtocolName& p : kProtocolNames) {
        if (p.name == lower) {
            return &p;
        }
    }
    return nullptr;
}

} // namespace vexlor
