// The decoded form of one capture record.
#pragma once

#include <cstdint>
#include <optional>

#include "common/address.h"
#include "common/shared_bytes.h"

namespace vexlor {

struct IpInfo {
    IpAddress src_ip;
    IpAddress dst_ip;
    std::uint8_t protocol = 0;
    std::uint16_t src_port = 0;
    std::uint16_t dst_port = 0;
    // The TCP header's flags byte (FIN 0x01, SYN 0x02, RST 0x04, ACK 0x10);
    // 0 for other protocols and for a TCP header cut off before it.
    std::uint8_t tcp_flags = 0;
    // Equal when they name the same endpoints and protocol: the flags are a
    // property of one segment, not of what the header identifies, and the
    // decodings are compared by what they identify.
    friend bool operator==(const IpInfo& x, const IpInfo& y) {
        return x.src_ip == y.src_ip && x.dst_ip == y.dst_ip && x.protocol == y.protocol &&
               x.src_port == y.src_port && x.dst_port == y.dst_port;
    }
};

// What frame dissection finds; every field may be absent.
struct Dissection {
    std::optional<MacAddress> src_mac;
    std::optional<MacAddress> dst_mac;
    std::optional<MacAddress> bssid;
    std::optional<IpInfo> ip;
    std::optional<std::uint64_t> payload_offset;
    friend bool operator==(const Dissection&, const Dissection&) = default;
};

// Fragmentation of the innermost IP header.
struct FragmentInfo {
    bool fragment = false; // IPv4 MF set or offset != 0, or an IPv6 fragment header
    bool first = false;    // fragment offset 0
    std::uint32_t id = 0;  // IPv4 identification (16 bits) or IPv6 fragment id
    // The first fragment of a tunnel's outer datagram, decoded on into the
    // IP packet it carries (the packet's IP is that inner one): the outer
    // datagram's datagram_key(), by which its later fragments find the
    // inner flow.  0 for a fragment of the innermost IP layer.
    std::uint64_t outer_datagram = 0;
    friend bool operator==(const FragmentInfo&, const FragmentInfo&) = default;
};

// Which datagram the fragments of an IP layer belong to: its addresses,
// protocol and identification, hashed.
std::uint64_t datagram_key(const IpInfo& ip, std::uint32_t id);

// How frames are decoded.  Basic is the module's decoding; Wide adds link
// layers, tags, tunnels and fragments (see wide_dissect.h).
enum class Decode : std::uint8_t { Basic, Wide };

struct Packet {
    std::uint32_t ts_sec = 0;
    std::uint32_t ts_usec = 0;
    std::uint32_t orig_len = 0;
    std::uint32_t caplen = 0; // always data.size()
    SharedBytes data;
    std::optional<MacAddress> src_mac;
    std::optional<MacAddress> dst_mac;
    std::optional<MacAddress> bssid;
    std::optional<IpInfo> ip;
    std::optional<std::uint64_t> payload_offset;
    // Set by the wide decoding only.
    std::uint32_t link_type = 0; // the type the frame was decoded with
    std::uint16_t layers = 0;    // LayerKind bits of what was decapsulated
    std::uint32_t ip_end = 0;    // see WideDissection::ip_end; 0 where not decoded so
    FragmentInfo fragment;

    std::span<const std::uint8_t> bytes() const { return data.span(); }
    // Microseconds since the epoch, as archives store capture times.
    std::uint64_t time_us() const {
        return static_cast<std::uint64_t>(ts_sec) * 1000000u + ts_usec;
    }
};

// Link-layer types with a decoding step of their own; every other value is
// read as raw IP.
inline constexpr std::uint32_t kLinkEthernet = 1;
inline constexpr std::uint32_t kLinkIeee80211 = 105;
inline constexpr std::uint32_t kLinkRadiotap = 127;

// Dissects `frame` according to `link_type`.  Never fails, never reads past
// the span, never allocates.
Dissection dissect_frame(std::span<const std::uint8_t> frame, std::uint32_t link_type);

// Decodes an IPv4/IPv6 header and its transport ports.  On success the
// payload offset (if any) counts from the start of `bytes`.
struct IpDecode {
    IpInfo info;
    std::optional<std::uint64_t> payload_offset;
};
// How IPv6 headers after the fixed one are read.  `Compatible` is the
// module's reading, kept for the outputs callers already hold: an
// authentication header sized in 8-byte units like the others, and no
// payload behind ESP.  `Exact` sizes an authentication header by its own
// rule (4-byte units, plus 2), so the ports behind it are the real ones,
// and gives ESP's bytes as payload, as IPv4's reading does.
enum class Ipv6Walk : std::uint8_t { Compatible, Exact };
std::optional<IpDecode> parse_ip_packet(std::span<const std::uint8_t> bytes,
                                        Ipv6Walk walk = Ipv6Walk::Compatible);

namespace detail {
// Dissects `packet.data` into the packet's own address, IP and payload
// fields in place: going through a Dissection and copying it over nearly
// doubles the cost of a packet.
void dissect_packet(Packet& packet, std::uint32_t link_type);
} // namespace detail

// The single constructor of packets from capture records.  The caller's
// length must fit 32 bits (every reader guarantees it).
Packet from_pcap_record(std::uint32_t ts_sec, std::uint32_t ts_usec, std::uint32_t orig_len,
                        SharedBytes data, std::uint32_t link_type, Decode decode = Decode::Basic);

} // namespace vexlor
