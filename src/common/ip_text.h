// Text forms of IP addresses.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/address.h"

namespace vexlor {

// Dotted decimal for IPv4; RFC 5952 for IPv6 (lower-case groups without
// leading zeros, the longest run of two or more zero groups, the first of
// equal runs, as "::"), with a dotted tail only for IPv4-mapped addresses
// (::ffff:a.b.c.d).
void append_ip(std::string& out, const IpAddress& addr);
std::string format_ip(const IpAddress& addr);

// IPv4 dotted, IPv6 as eight groups of four hexadecimal digits, none left
// out: the fixed-width text of the module's Flow addresses.
std::string format_ip_full(const IpAddress& addr);

// Strict parse: dotted-decimal IPv4 of four numbers 0..255 without leading
// zeros, or IPv6 in any standard text form ("::" shortening, an embedded
// dotted IPv4 tail).  No prefix length, zone, brackets or blanks.
std::optional<IpAddress> parse_ip(std::string_view text);

} // namespace vexlor
