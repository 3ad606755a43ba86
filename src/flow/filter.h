// Address and port filters.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "packet/packet.h"

namespace vexlor {

// An address prefix, "10.0.0.0/8" or "2001:db8::/32": the first `bits` bits
// of `addr` (the rest need not be zero).
struct IpPrefix {
    IpAddress addr;
    std::uint8_t bits = 0;

    // Family-exact, like address filters: 10.0.0.0/8 holds no IPv6 address.
    bool contains(const IpAddress& a) const;
};

// "ADDRESS/BITS" with BITS a plain decimal number up to 32 (IPv4) or 128
// (IPv6); nothing for any other text.
std::optional<IpPrefix> parse_prefix(std::string_view text);

struct PacketFilter {
    std::vector<IpAddress> ips;       // both empty: no address condition
    std::vector<IpPrefix> prefixes;   // a packet passes by any address or prefix
    std::vector<std::uint16_t> ports; // empty: no port condition

    bool matches(const Packet& packet) const;
};

// Texts that are not IP addresses are skipped silently, prefixes too unless
// `accept_prefixes`.
PacketFilter build_filter(const std::vector<std::string>& ip_filters,
                          const std::vector<std::uint16_t>& port_filters,
                          bool accept_prefixes = false);

} // namespace vexlor
