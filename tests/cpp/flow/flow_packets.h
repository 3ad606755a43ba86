// Packet records for the flow tests, filled in directly: classification
// reads only the decoded fields, never the frame.
#pragma once

#include <cstring>
#include <optional>

#include "builders.h"
#include "packet/packet.h"

namespace vexlor::test {

// Text to address through the system's own inet_pton (builders.h), so that
// these tests do not depend on the parser they may be checking.
inline IpAddress addr(const char* text) {
    return std::strchr(text, ':') ? IpAddress::v6(ip6(text).data())
                                  : IpAddress::v4(ip4(text).data());
}

inline Packet ip_packet(const char* src, const char* dst, std::uint8_t proto = 6,
                        std::uint16_t sport = 0, std::uint16_t dport = 0) {
    Packet p;
    p.ip = IpInfo{addr(src), addr(dst), proto, sport, dport};
    return p;
}

// A packet without IP (ARP, say) with the given link-layer addresses.
inline Packet link_packet(std::optional<MacAddress> src, std::optional<MacAddress> dst,
                          std::optional<MacAddress> bssid = std::nullopt) {
    Packet p;
    p.src_mac = src;
    p.dst_mac = dst;
    p.bssid = bssid;
    return p;
}

} // namespace vexlor::test
