// Hand-made packets, flow keys and byte patches for the archive tests, so that
// they do not depend on frame dissection.
#pragma once

#include <optional>

#include "builders.h"
#include "common/shared_bytes.h"
#include "flow/flow_key.h"
#include "packet/packet.h"

namespace vexlor::test {

inline IpAddress v4(const char* text) {
    return IpAddress::v4(ip4(text).data());
}
inline IpAddress v6(const char* text) {
    return IpAddress::v6(ip6(text).data());
}

// A packet with the given time and frame; `ip` as dissection would set it.
inline Packet make_packet(std::uint32_t ts_sec, std::uint32_t ts_usec, const Bytes& frame,
                          std::optional<IpInfo> ip = std::nullopt, std::int64_t orig_len = -1) {
    Packet p;
    p.ts_sec = ts_sec;
    p.ts_usec = ts_usec;
    p.caplen = static_cast<std::uint32_t>(frame.size());
    p.orig_len = orig_len < 0 ? p.caplen : static_cast<std::uint32_t>(orig_len);
    p.data = SharedBytes::from_vector(frame);
    p.ip = ip;
    return p;
}

// A distinct flow key per number; the writer only needs keys to be equal or not.
inline FlowKey key_of(std::uint32_t n) {
    FlowKey k;
    k.tag = FlowKey::kNormal;
    k.port_a = static_cast<std::uint16_t>(n);
    k.port_b = static_cast<std::uint16_t>(n >> 16);
    return k;
}

// Little-endian fields of the given widths in bytes: le({{2, 4}, {64, 8}}).
inline Bytes le(std::initializer_list<std::pair<std::uint64_t, int>> fields) {
    Bytes b;
    for (auto [v, width] : fields) {
        for (int i = 0; i < width; ++i) {
            b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        }
    }
    return b;
}

// Little-endian fields inside an existing buffer.
inline std::uint64_t u64_at(const Bytes& b, std::size_t pos) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) {
        v = (v << 8) | b.at(pos + i);
    }
    return v;
}
inline void set_le(Bytes& b, std::size_t pos, std::uint64_t v, int width = 8) {
    for (int i = 0; i < width; ++i) {
        b.at(pos + i) = static_cast<std::uint8_t>(v >> (8 * i));
    }
}

} // namespace vexlor::test
