// The Community ID of a flow (version 1): a short text that other monitors
// compute the same way from the same five-tuple, so that flow records of
// different tools can be joined on it.  "1:" then the base64 of the SHA-1 of
// seed, addresses, protocol, a zero byte and ports, the two endpoints taken
// in a canonical order.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "common/address.h"

namespace vexlor {

// SHA-1 of `bytes` (used here for identifiers, not for security).
std::array<std::uint8_t, 20> sha1(std::span<const std::uint8_t> bytes);

// Standard base64 with padding.
std::string base64(std::span<const std::uint8_t> bytes);

// The endpoints of a flow as the identifier sees them.  For ICMP and ICMPv6
// the "ports" are the message type and code of the flow's first message.
struct CommunityTuple {
    IpAddress src;
    IpAddress dst;
    std::uint8_t proto = 0;
    std::uint16_t src_port = 0;
    std::uint16_t dst_port = 0;
};

// "1:..." for a tuple of two addresses of one family; protocols other than
// TCP, UDP, SCTP, ICMP and ICMPv6 are hashed without ports.
std::string community_id(const CommunityTuple& tuple, std::uint16_t seed = 0);

} // namespace vexlor
