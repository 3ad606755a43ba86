// Frame dissection on arbitrary frames.  The first four bytes choose a link
// type (each decoding step, raw IP, and a "1 with upper bits set" value that
// must not be taken for Ethernet; then the link types only the wide decoding
// reads); the rest is the captured frame, in a buffer of exactly its size so
// that any read past it is a sanitizer report.  Both decodings run on every
// frame.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <optional>

#include "common/byte_reader.h"
#include "fuzz_util.h"
#include "packet/packet.h"
#include "packet/wide_dissect.h"

namespace {

// New link types go at the end, so that saved inputs whose first four bytes
// are 0 to 4 keep their link type (larger values now wrap differently).
constexpr std::uint32_t kLinkTypes[] = {vexlor::kLinkEthernet,
                                        vexlor::kLinkIeee80211,
                                        vexlor::kLinkRadiotap,
                                        101,
                                        0x00010001,
                                        vexlor::kLinkNull,
                                        vexlor::kLinkLoop,
                                        vexlor::kLinkLinuxCooked,
                                        vexlor::kLinkLinuxCooked2,
                                        vexlor::kLinkPpp,
                                        228,
                                        229};

bool is_wifi(std::uint32_t link_type) {
    return link_type == vexlor::kLinkIeee80211 || link_type == vexlor::kLinkRadiotap;
}

// Whether a decoding found IPv6 whose header chain the two decodings read
// each their own way: through an authentication header (sized in 4-byte
// units by the wide one; either may then find no packet where the other
// does), or to ESP (a payload in the wide one).  The header is found by the
// two addresses that decoding gave.
bool walks_differently(vexlor::ByteSpan frame, const std::optional<vexlor::IpInfo>& ip) {
    if (!ip || ip->src_ip.is_v4()) {
        return false;
    }
    if (ip->protocol == 50) {
        return true;
    }
    for (std::size_t at = 0; at + 40 <= frame.size(); ++at) {
        if (std::equal(ip->src_ip.bytes.begin(), ip->src_ip.bytes.end(), frame.begin() + at + 8) &&
            std::equal(ip->dst_ip.bytes.begin(), ip->dst_ip.bytes.end(), frame.begin() + at + 24)) {
            std::uint8_t next = frame[at + 6];
            std::size_t q = at + 40;
            for (int walked = 0; walked < 8 && q + 2 <= frame.size(); ++walked) {
                if (next == 51) {
                    return true;
                }
                if (next != 0 && next != 43 && next != 44 && next != 60) {
                    break;
                }
                next = frame[q];
                q += (std::size_t(frame[q + 1]) + 1) * 8;
            }
        }
    }
    return false;
}

// The wide decoding's own invariants, and its agreement with the basic one
// on the frames both understand alike.
void check_wide(vexlor::ByteSpan frame, std::uint32_t link_type, const vexlor::Dissection& basic) {
    using namespace vexlor;
    using fuzz::require;
    WideDissection w;
    w.encap.tunnels = 200; // what the object held before must not show through
    dissect_wide(frame, link_type, w);
    const Dissection& b = w.base;
    const Encapsulation& e = w.encap;
    require(!b.payload_offset || *b.payload_offset <= frame.size(),
            "wide: payload offset past the frame");
    require(!b.payload_offset || b.ip.has_value(), "wide: payload offset without an IP header");
    require(b.src_mac.has_value() == b.dst_mac.has_value(), "wide: only one link-layer address");
    require(!b.bssid || is_wifi(link_type), "wide: a BSSID outside 802.11");
    require(!b.ip || b.ip->src_ip.family == b.ip->dst_ip.family, "wide: mixed address families");
    require(e.tunnels <= kMaxWideTunnels, "wide: more tunnels than the limit");
    require(e.vlan_count + e.mpls_count <= kMaxWideLayers, "wide: more headers than the limit");
    require(e.has(LayerKind::Vlan) == (e.vlan_count > 0) &&
                e.has(LayerKind::Mpls) == (e.mpls_count > 0),
            "wide: kinds and counts disagree");
    require(e.tunnel_src.has_value() == e.tunnel_dst.has_value() &&
                (!e.tunnel_src || (e.tunnels > 0 && b.ip)),
            "wide: tunnel endpoints without a tunnel");
    for (std::size_t i = 0; i < Encapsulation::kMaxIds; ++i) {
        require(e.vlan_ids[i] < 4096 && e.mpls_labels[i] < (1u << 20), "wide: id out of range");
    }
    require(e.vni.value_or(0) < (1u << 24) && e.erspan_session.value_or(0) < 1024,
            "wide: id out of range");
    const FragmentInfo& f = w.fragment;
    require(!f.first || f.fragment, "wide: a first fragment that is no fragment");
    require(!f.fragment || f.first || (b.ip && b.ip->src_port == 0 && b.ip->dst_port == 0),
            "wide: ports in a later fragment");

    WideDissection again;
    dissect_wide(frame, link_type, again);
    require(again == w, "wide: two runs disagree");

    // The basic decoding knows these link types and looks through one
    // 802.1Q tag; beyond that, or in a fragment, the two may differ.
    const bool basic_link = link_type != kLinkNull && link_type != kLinkLoop &&
                            link_type != kLinkLinuxCooked && link_type != kLinkLinuxCooked2 &&
                            link_type != kLinkPpp;
    const bool one_8100_tag = e.kinds == static_cast<std::uint16_t>(LayerKind::Vlan) &&
                              e.vlan_count == 1 && frame.size() >= 14 && frame[12] == 0x81 &&
                              frame[13] == 0x00;
    // 802.11 QoS data frames are read by the wide decoding only.
    const bool qos_data = is_wifi(link_type) && !basic.ip;
    if (basic_link && !f.fragment && (e.kinds == 0 || one_8100_tag) && !qos_data &&
        !walks_differently(frame, basic.ip) && !walks_differently(frame, b.ip)) {
        require(b == basic, "wide and basic decodings disagree");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vexlor;
    using fuzz::require;
    if (size < 4) {
        return 0;
    }
    const std::uint32_t link_type =
        kLinkTypes[load_le<std::uint32_t>(data) % std::size(kLinkTypes)];
    const std::size_t n = size - 4;
    auto owned = std::make_unique<std::uint8_t[]>(n);
    std::copy(data + 4, data + size, owned.get());
    const ByteSpan frame(owned.get(), n);

    const Dissection d = dissect_frame(frame, link_type);
    require(!d.payload_offset || *d.payload_offset <= n, "payload offset past the frame");
    require(!d.payload_offset || d.ip.has_value(), "payload offset without an IP header");
    require(d.src_mac.has_value() == d.dst_mac.has_value(), "only one link-layer address");
    require(!d.bssid || d.src_mac.has_value(), "a BSSID without link-layer addresses");
    require(!d.bssid || link_type == kLinkIeee80211 || link_type == kLinkRadiotap,
            "a BSSID outside 802.11");
    require(!d.ip || d.ip->src_ip.family == d.ip->dst_ip.family, "mixed address families");
    if (link_type == kLinkEthernet) {
        require(d.src_mac.has_value() == (n >= 14), "Ethernet addresses and frame length disagree");
    }
    if (link_type != kLinkEthernet && link_type != kLinkIeee80211 && link_type != kLinkRadiotap) {
        require(!d.src_mac && !d.bssid, "link-layer addresses in raw IP");
        // Raw IP is parse_ip_packet on the whole frame.
        auto ip = parse_ip_packet(frame);
        require(ip.has_value() == d.ip.has_value() && (!ip || ip->info == *d.ip) &&
                    (!ip || ip->payload_offset == d.payload_offset),
                "raw IP dissection differs from parse_ip_packet");
    }

    // Packets are dissected in place by another entry point; both must agree.
    Packet p = from_pcap_record(1, 2, 3, SharedBytes::borrowed(frame), link_type);
    require(p.src_mac == d.src_mac && p.dst_mac == d.dst_mac && p.bssid == d.bssid &&
                p.ip == d.ip && p.payload_offset == d.payload_offset,
            "from_pcap_record and dissect_frame disagree");
    require(p.caplen == n, "caplen is not the frame length");

    check_wide(frame, link_type, d);
    return 0;
}
