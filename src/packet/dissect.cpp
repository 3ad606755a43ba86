// Frame dissection: link-layer step by link type, then the IP decoder.
//
// Every step is a fixed run of length checks followed by big-endian loads, so
// a packet costs a few dozen comparisons and no allocation.  A check that
// fails never turns into an error: whatever could not be read is simply left
// absent from the result.
#include <algorithm>
#include <cstring>

#include "common/byte_reader.h"
#include "packet/packet.h"
#include "packet/protocols.h"

namespace vexlor {
namespace {

constexpr std::uint16_t kEtherTypeIpv4 = 0x0800;
constexpr std::uint16_t kEtherTypeIpv6 = 0x86DD;
constexpr std::uint16_t kEtherTypeVlan = 0x8100;

constexpr std::size_t kEthernetHeader = 14;
constexpr std::size_t kVlanTag = 4;
constexpr std::size_t kWifiHeader = 24;
constexpr std::size_t kWifiFourAddressHeader = 30;
constexpr std::size_t kLlcSnapHeader = 8; // AA AA 03 00 00 00 + EtherType
constexpr std::uint8_t kLlcSnapPrefix[6] = {0xAA, 0xAA, 0x03, 0x00, 0x00, 0x00};
constexpr std::size_t kRadiotapMinHeader = 4;

constexpr std::uint8_t kProtoEsp = 50;
constexpr std::uint8_t kProtoNoNext = 59;
constexpr std::uint8_t kProtoAuthentication = 51;

constexpr std::size_t kIpv4MinHeader = 20;
constexpr std::size_t kIpv6Header = 40;
constexpr std::size_t kTcpMinHeader = 20;
constexpr std::size_t kUdpHeader = 8;
constexpr std::size_t kPortBytes = 4;
// A chain longer than this is either hostile or exotic; stopping keeps the
// per-packet cost bounded.
constexpr int kMaxExtensionHeaders = 8;

bool is_ip_ethertype(std::uint16_t t) {
    return t == kEtherTypeIpv4 || t == kEtherTypeIpv6;
}

bool is_ipv6_extension(std::uint8_t next) {
    // Hop-by-hop, routing, fragment, authentication, destination options.
    return next == 0 || next == 43 || next == 44 || next == 51 || next == 60;
}

// The caller has checked that six bytes are there.
MacAddress mac_at(const std::uint8_t* p) {
    MacAddress m;
    std::memcpy(m.bytes.data(), p, m.bytes.size());
    return m;
}

// The IP decoders below write straight into the caller's result instead of
// returning a value to be copied: copying a struct just assembled from narrow
// stores stalls store forwarding, and those stalls took most of the time of a
// whole dissection.  They return false when the bytes are not an IP packet
// they can decode; `info` is then left for the caller to discard.

void set_address(IpAddress& a, IpAddress::Family family, const std::uint8_t* p) {
    a.family = family;
    std::memcpy(a.bytes.data(), p, family == IpAddress::Family::V4 ? 4 : 16);
}

// Ports and payload start of a TCP or UDP header expected at `q`.  For IPv6
// `q` comes from declared extension lengths and may lie past the captured
// bytes; the min() keeps every offset inside them.
void decode_transport(ByteSpan c, std::uint64_t q, std::uint8_t protocol, IpInfo& info,
                      std::optional<std::uint64_t>& payload) {
    const std::uint64_t m = c.size();
    if (!fits(q, kPortBytes, m)) {
        payload = std::min(m, q);
        return;
    }
    info.src_port = load_be<std::uint16_t>(c.data() + q);
    info.dst_port = load_be<std::uint16_t>(c.data() + q + 2);
    if (protocol == kProtoUdp) {
        payload = std::min(m, q + kUdpHeader);
    } else if (fits(q, kTcpMinHeader, m)) {
        // The data offset is taken as it stands, even below the minimum of 5
        // words: the payload then starts inside the TCP header, which is
        // harmless for cutting it out.
        const std::uint64_t data_offset = std::uint64_t(c[q + 12] >> 4) * 4;
        payload = std::min(m, q + data_offset);
        info.tcp_flags = c[q + 13];
    }
    // A TCP header cut off before its data offset: ports only.
}

bool decode_ipv4(ByteSpan c, IpInfo& info, std::optional<std::uint64_t>& payload) {
    const std::size_t m = c.size();
    const std::size_t l = std::size_t(c[0] & 0x0F) * 4;
    if (m < kIpv4MinHeader || l < kIpv4MinHeader || m < l) {
        return false;
    }
    info.protocol = c[9];
    set_address(info.src_ip, IpAddress::Family::V4, c.data() + 12);
    set_address(info.dst_ip, IpAddress::Family::V4, c.data() + 16);
    // Total length and fragment fields are ignored on purpose: offloading
    // engines zero the total length, and link padding counts as payload.
    switch (info.protocol) {
    case kProtoIcmp:
        break;
    case kProtoTcp:
    case kProtoUdp:
        decode_transport(c, l, info.protocol, info, payload);
        break;
    default:
        payload = l;
        break;
    }
    return true;
}

bool decode_ipv6(ByteSpan c, IpInfo& info, std::optional<std::uint64_t>& payload,
                 Ipv6Walk walk = Ipv6Walk::Compatible) {
    const std::size_t m = c.size();
    if (m < kIpv6Header) {
        return false;
    }
    set_address(info.src_ip, IpAddress::Family::V6, c.data() + 8);
    set_address(info.dst_ip, IpAddress::Family::V6, c.data() + 24);
    std::uint8_t next = c[6];
    // q only grows by at most 2048 per header, so it cannot wrap.
    std::uint64_t q = kIpv6Header;
    for (int walked = 0; walked < kMaxExtensionHeaders; ++walked) {
        if (is_ipv6_extension(next)) {
            // The two bytes that name the next header and size this one must
            // be captured; without them we cannot say what the packet is.
            if (!fits(q, 2, m)) {
                return false;
            }
            const std::uint8_t len = c[q + 1];
            const bool ah = next == kProtoAuthentication && walk == Ipv6Walk::Exact;
            next = c[q];
            q += ah ? (std::uint64_t(len) + 2) * 4 : (std::uint64_t(len) + 1) * 8;
            continue;
        }
        if (next == kProtoEsp && walk == Ipv6Walk::Exact) {
            info.protocol = next;
            payload = std::min<std::uint64_t>(m, q);
            return true;
        }
        if (next == kProtoEsp || next == kProtoNoNext) {
            // Encrypted or empty: there is no payload we could cut out.
            info.protocol = next;
            return true;
        }
        break;
    }
    info.protocol = next;
    switch (next) {
    case kProtoTcp:
    case kProtoUdp:
        decode_transport(c, q, next, info, payload);
        break;
    case kProtoIcmpv6:
        break;
    default:
        payload = std::min<std::uint64_t>(m, q);
        break;
    }
    return true;
}

bool decode_ip(ByteSpan c, IpInfo& info, std::optional<std::uint64_t>& payload,
               Ipv6Walk walk = Ipv6Walk::Compatible) {
    if (c.empty()) {
        return false;
    }
    // The version nibble decides, not the EtherType that announced it.
    switch (c[0] >> 4) {
    case 4:
        return decode_ipv4(c, info, payload);
    case 6:
        return decode_ipv6(c, info, payload, walk);
    default:
        return false;
    }
}

// The link-layer steps fill any `Out` with the five result fields of a
// Dissection under the same names: a Dissection for dissect_frame, or the
// Packet itself for from_pcap_record, which so avoids copying a result just
// written (the same store-forwarding stall as above).

// Decodes the IP packet at `d` into `out`.
template <class Out> void decode_ip_at(ByteSpan frame, std::size_t d, Out& out) {
    std::optional<std::uint64_t> payload;
    if (!decode_ip(frame.subspan(d), out.ip.emplace(), payload)) {
        out.ip.reset();
        return;
    }
    if (payload) {
        out.payload_offset = d + *payload;
    }
}

template <class Out> void dissect_ethernet(ByteSpan b, Out& out) {
    const std::size_t n = b.size();
    if (n < kEthernetHeader) {
        return;
    }
    out.dst_mac = mac_at(b.data());
    out.src_mac = mac_at(b.data() + 6);
    std::uint16_t ethertype = load_be<std::uint16_t>(b.data() + 12);
    std::size_t d = kEthernetHeader;
    // Look through one 802.1Q tag only: stacked tags are rare enough that a
    // frame carrying them is kept with its addresses alone.
    if (ethertype == kEtherTypeVlan) {
        if (n < kEthernetHeader + kVlanTag) {
            return;
        }
        ethertype = load_be<std::uint16_t>(b.data() + 16);
        d += kVlanTag;
    }
    if (is_ip_ethertype(ethertype)) {
        decode_ip_at(b, d, out);
    }
}

// The 802.11 header starts at `s`, which the caller has checked is <= size.
template <class Out> void dissect_wifi(ByteSpan b, std::size_t s, Out& out) {
    const std::size_t n = b.size();
    if (!fits(s, kWifiHeader, n)) {
        return;
    }
    const std::uint8_t type = (b[s] >> 2) & 3;
    const std::uint8_t flags = b[s + 1];
    const bool to_ds = flags & 0x01;
    const bool from_ds = flags & 0x02;
    const std::uint8_t* addr1 = b.data() + s + 4;
    const std::uint8_t* addr2 = b.data() + s + 10;
    const std::uint8_t* addr3 = b.data() + s + 16;
    out.dst_mac = mac_at(addr1);
    out.src_mac = mac_at(addr2);

    std::size_t header = kWifiHeader;
    if (type == 2) {
        if (to_ds && from_ds) {
            // A wireless bridge frame: four addresses and no single BSS.
            header = kWifiFourAddressHeader;
        } else if (from_ds) {
            out.bssid = mac_at(addr2);
        } else if (to_ds) {
            out.bssid = mac_at(addr1);
        } else {
            out.bssid = mac_at(addr3);
        }
    } else if (type == 0) {
        out.bssid = mac_at(addr3);
    }

    // QoS and HT control fields are not skipped, and protected bodies are not
    // decrypted: such frames fail the LLC/SNAP test and keep addresses only.
    const std::size_t k = s + header;
    if (!fits(k, kLlcSnapHeader, n)) {
        return;
    }
    if (std::memcmp(b.data() + k, kLlcSnapPrefix, sizeof kLlcSnapPrefix) != 0) {
        return;
    }
    const std::uint16_t ethertype = load_be<std::uint16_t>(b.data() + k + 6);
    if (is_ip_ethertype(ethertype)) {
        decode_ip_at(b, k + kLlcSnapHeader, out);
    }
}

template <class Out> void dissect_radiotap(ByteSpan b, Out& out) {
    const std::size_t n = b.size();
    if (n < kRadiotapMinHeader || b[0] != 0) {
        return;
    }
    // The only little-endian field of the whole frame.  The radiotap fields
    // themselves, a trailing FCS flag included, are not read.
    const std::size_t h = load_le<std::uint16_t>(b.data() + 2);
    if (h < kRadiotapMinHeader || h > n) {
        return;
    }
    dissect_wifi(b, h, out);
}

template <class Out> void dissect_into(ByteSpan frame, std::uint32_t link_type, Out& out) {
    // Whole 32-bit comparison: a classic header whose upper 16 bits carry
    // extra information is not one of these link types.
    switch (link_type) {
    case kLinkEthernet:
        dissect_ethernet(frame, out);
        break;
    case kLinkIeee80211:
        dissect_wifi(frame, 0, out);
        break;
    case kLinkRadiotap:
        dissect_radiotap(frame, out);
        break;
    default:
        decode_ip_at(frame, 0, out);
        break;
    }
}

} // namespace

std::optional<IpDecode> parse_ip_packet(ByteSpan bytes, Ipv6Walk walk) {
    std::optional<IpDecode> result;
    IpDecode& r = result.emplace();
    if (!decode_ip(bytes, r.info, r.payload_offset, walk)) {
        result.reset();
    }
    return result;
}

Dissection dissect_frame(ByteSpan frame, std::uint32_t link_type) {
    Dissection out;
    dissect_into(frame, link_type, out);
    return out;
}

namespace detail {
void dissect_packet(Packet& packet, std::uint32_t link_type) {
    dissect_into(packet.bytes(), link_type, packet);
}
} // namespace detail

} // namespace vexlor
