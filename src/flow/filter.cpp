#include "flow/filter.h"

#include <algorithm>
#include <cstring>

#include "common/ip_text.h"

namespace vexlor {
namespace {

// Family-exact: 10.0.0.1 never equals ::ffff:10.0.0.1.  Only the address's
// own bytes count, so an IPv4 address compares on its four.
bool same_address(const IpAddress& x, const IpAddress& y) {
    return x.family == y.family && std::memcmp(x.bytes.data(), y.bytes.data(), x.length()) == 0;
}

} // namespace

bool IpPrefix::contains(const IpAddress& a) const {
    if (a.family != addr.family) {
        return false;
    }
    const std::size_t whole = bits / 8;
    if (std::memcmp(a.bytes.data(), addr.bytes.data(), whole) != 0) {
        return false;
    }
    const unsigned rest = bits % 8;
    if (rest == 0) {
        return true;
    }
    const auto mask = static_cast<std::uint8_t>(0xFF << (8 - rest));
    return (a.bytes[whole] & mask) == (addr.bytes[whole] & mask);
}

std::optional<IpPrefix> parse_prefix(std::string_view text) {
    const std::size_t slash = text.find('/');
    if (slash == std::string_view::npos) {
        return std::nullopt;
    }
    const auto addr = parse_ip(text.substr(0, slash));
    const std::string_view digits = text.substr(slash + 1);
    if (!addr || digits.empty() || digits.size() > 3) {
        return std::nullopt;
    }
    unsigned bits = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        bits = bits * 10 + static_cast<unsigned>(c - '0');
    }
    if (bits > addr->length() * 8) {
        return std::nullopt;
    }
    return IpPrefix{*addr, static_cast<std::uint8_t>(bits)};
}

bool PacketFilter::matches(const Packet& packet) const {
    if (!ips.empty() || !prefixes.empty()) {
        if (!packet.ip) {
            return false;
        }
        const IpInfo& ip = *packet.ip;
        bool hit = std::any_of(ips.begin(), ips.end(),
                               [&](const IpAddress& a) {
                                   return same_address(a, ip.src_ip) || same_address(a, ip.dst_ip);
                               }) ||
                   std::any_of(prefixes.begin(), prefixes.end(), [&](const IpPrefix& p) {
                       return p.contains(ip.src_ip) || p.contains(ip.dst_ip);
                   });
        if (!hit) {
            return false;
        }
    }
    if (!ports.empty()) {
        if (!packet.ip) {
            return false;
        }
        const IpInfo& ip = *packet.ip;
        bool hit = std::any_of(ports.begin(), ports.end(), [&](std::uint16_t p) {
            return p == ip.src_port || p == ip.dst_port;
        });
        if (!hit) {
            return false;
        }
    }
    return true;
}

PacketFilter build_filter(const std::vector<std::string>& ip_filters,
                          const std::vector<std::uint16_t>& port_filters, bool accept_prefixes) {
    PacketFilter filter;
    filter.ips.reserve(ip_filters.size());
    for (const std::string& text : ip_filters) {
        if (auto addr = parse_ip(text)) {
            filter.ips.push_back(*addr);
        } else if (auto prefix = accept_prefixes ? parse_prefix(text) : std::nullopt) {
            filter.prefixes.push_back(*prefix);
        }
    }
    filter.ports = port_filters;
    return filter;
}

} // namespace vexlor
