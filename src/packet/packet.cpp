#include "packet/packet.h"

#include <array>
#include <cstring>
#include <utility>

#include "common/byte_order.h"
#include "common/hash.h"
#include "packet/wide_dissect.h"

namespace vexlor {
namespace {

// Whether the basic decoding of `p` is already what the wide one would find:
// an Ethernet frame with at most one 802.1Q tag, or a raw IP packet, holding
// IP that is neither a fragment nor a tunnel.  The wide decoding then adds
// nothing, and most packets of most captures take this path at the cost of
// the basic decoding and a few reads.
bool basic_is_wide(Packet& p, std::uint32_t link_type) {
    if (!p.ip) {
        return false; // the wide decoding may know the layers the basic one stopped at
    }
    const ByteSpan frame = p.bytes();
    std::size_t at = 0;
    switch (link_type) {
    case kLinkEthernet:
        // IP was found behind 14 bytes, or 18 with one 802.1Q tag.
        if (frame[12] == 0x81 && frame[13] == 0x00) {
            at = 18;
            p.layers = static_cast<std::uint16_t>(LayerKind::Vlan);
        } else {
            at = 14;
        }
        break;
    case kLinkIeee80211:
    case kLinkRadiotap:
    case kLinkNull:
    case kLinkPpp:
    case kLinkLoop:
    case kLinkLinuxCooked:
    case kLinkLinuxCooked2:
        return false;
    default:
        break; // raw IP from the first byte
    }
    const IpInfo& ip = *p.ip;
    if (ip.protocol == 4 || ip.protocol == 41 || ip.protocol == 47) {
        return false; // IP in IP, IPv6 in IP, GRE
    }
    if (ip.protocol == 17 && (ip.dst_port == kUdpPortVxlan || ip.dst_port == kUdpPortGeneve ||
                              ip.dst_port == kUdpPortGtpu || ip.src_port == kUdpPortGtpu)) {
        return false;
    }
    if (ip.src_ip.is_v4()) {
        // More fragments, or a fragment offset.
        return (load_be<std::uint16_t>(frame.data() + at + 6) & 0x3FFF) == 0;
    }
    // IPv6: extension headers may hide a fragment header (and the wide
    // decoding sizes authentication headers by their own rule); ESP has a
    // payload in the wide decoding only.
    return frame[at + 6] == ip.protocol && ip.protocol != 50;
}

} // namespace

std::uint64_t datagram_key(const IpInfo& ip, std::uint32_t id) {
    struct Key {
        std::uint8_t family = 0;
        std::uint8_t proto = 0;
        std::uint16_t zero = 0;
        std::uint32_t id = 0;
        std::array<std::uint8_t, 16> src{};
        std::array<std::uint8_t, 16> dst{};
    } key;
    static_assert(sizeof(Key) == 40, "Key must have no padding: it is hashed bytewise");
    key.family = ip.src_ip.is_v4() ? 4 : 6;
    key.proto = ip.protocol;
    key.id = id;
    std::memcpy(key.src.data(), ip.src_ip.bytes.data(), ip.src_ip.length());
    std::memcpy(key.dst.data(), ip.dst_ip.bytes.data(), ip.dst_ip.length());
    return hash_words(key);
}

Packet from_pcap_record(std::uint32_t ts_sec, std::uint32_t ts_usec, std::uint32_t orig_len,
                        SharedBytes data, std::uint32_t link_type, Decode decode) {
    Packet p;
    // Stored as given: orig_len below caplen or a microsecond field of a
    // million or more are the capture's business, not ours to correct.
    p.ts_sec = ts_sec;
    p.ts_usec = ts_usec;
    p.orig_len = orig_len;
    p.caplen = static_cast<std::uint32_t>(data.size());
    // The frame is moved in, never copied; dissection only reads it.
    p.data = std::move(data);
    detail::dissect_packet(p, link_type);
    p.link_type = link_type;
    if (decode == Decode::Basic) {
        return p;
    }
    if (basic_is_wide(p, link_type)) {
        return p;
    }
    p.layers = 0;
    WideDissection d;
    dissect_wide(p.bytes(), link_type, d);
    p.src_mac = d.base.src_mac;
    p.dst_mac = d.base.dst_mac;
    p.bssid = d.base.bssid;
    p.ip = d.base.ip;
    p.payload_offset = d.base.payload_offset;
    p.layers = d.encap.kinds;
    p.ip_end = static_cast<std::uint32_t>(std::min<std::uint64_t>(d.ip_end, p.caplen));
    p.fragment = d.fragment;
    return p;
}

} // namespace vexlor
