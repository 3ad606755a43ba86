// Address and port filters.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "packet/packet.h"

namespace vexlor {

struct PacketFilter {
    std::vector<IpAddress> ips;       // empty: no address condition
    std::vector<std::uint16_t> ports; // empty: no port condition

    bool matches(const Packet& packet) const;
};

// Texts that are not IP addresses are skipped silently.
PacketFilter build_filter(const std::vector<std::string>& ip_filters,
                          const std::vector<std::uint16_t>& port_filters);

} // namespace vexlor
