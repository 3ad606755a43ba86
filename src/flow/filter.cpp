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

bool PacketFilter::matches(const Packet& packet) const {
    if (!ips.empty()) {
        if (!packet.ip) {
            return false;
        }
        const IpInfo& ip = *packet.ip;
        bool hit = std::any_of(ips.begin(), ips.end(), [&](const IpAddress& a) {
            return same_address(a, ip.src_ip) || same_address(a, ip.dst_ip);
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
                          const std::vector<std::uint16_t>& port_filters) {
    PacketFilter filter;
    filter.ips.reserve(ip_filters.size());
    for (const std::string& text : ip_filters) {
        if (auto addr = parse_ip(text)) {
            filter.ips.push_back(*addr);
        }
    }
    filter.ports = port_filters;
    return filter;
}

} // namespace vexlor
