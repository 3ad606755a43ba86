// The wide decoding of frames: more link types, stacked tags, label stacks
// and tunnels, down to the innermost IP packet.  The basic decoding
// (dissect_frame) stays what the Python module reads; this one is for the
// command-line tool and for callers that ask for it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "packet/packet.h"

namespace vexlor {

// The kinds of layer met between the link layer and the innermost IP packet,
// as bits of Encapsulation::kinds.
enum class LayerKind : std::uint16_t {
    Vlan = 1u << 0,   // 802.1Q, 802.1ad or 0x9100 tag
    Mpls = 1u << 1,   // label stack (with a pseudowire control word or not)
    Pppoe = 1u << 2,  // PPPoE session
    Gre = 1u << 3,    // GRE, or the enhanced GRE of PPTP
    Erspan = 1u << 4, // ERSPAN type II or III inside GRE
    Vxlan = 1u << 5,
    Geneve = 1u << 6,
    Gtpu = 1u << 7,
    IpInIp = 1u << 8, // IPv4 or IPv6 straight inside IPv4 or IPv6
};

// At most this many tunnels are passed, and this many headers read in all
// (tags, labels, tunnel and IP headers each count one), so that tunnels
// nested without end cost a bounded number of steps.
inline constexpr int kMaxWideTunnels = 8;
inline constexpr int kMaxWideLayers = 32;

// Identifiers of the layers found around the innermost IP packet.  A layer
// leaves its mark (kind bit, identifier, tunnel count) once its own header
// was captured whole and names a payload this decoding follows; what lies
// inside may still be cut off, and the IP fields then stay those of the
// packet that carried it.
struct Encapsulation {
    static constexpr std::size_t kMaxIds = 4;         // ids kept per kind, outermost first
    std::uint8_t vlan_count = 0;                      // tags passed, all of them
    std::array<std::uint16_t, kMaxIds> vlan_ids{};    // 12-bit VLAN ids
    std::uint8_t mpls_count = 0;                      // label stack entries passed
    std::array<std::uint32_t, kMaxIds> mpls_labels{}; // 20-bit labels
    std::optional<std::uint16_t> pppoe_session;       // the innermost of each
    std::optional<std::uint32_t> gre_key;             // enhanced GRE: the call id
    std::optional<std::uint32_t> vni;                 // VXLAN or Geneve, 24 bits
    std::optional<std::uint32_t> teid;                // GTP-U
    std::optional<std::uint16_t> erspan_session;      // 10 bits
    std::optional<IpAddress> tunnel_src, tunnel_dst;  // the outermost IP header, set when
                                                      // the innermost IP packet is another
    std::uint8_t tunnels = 0;                         // GRE, VXLAN, Geneve, GTP-U and
                                                      // IP-in-IP headers passed
    std::uint16_t kinds = 0;                          // LayerKind bits

    bool has(LayerKind k) const { return (kinds & static_cast<std::uint16_t>(k)) != 0; }
    // Something beyond a plain link layer and IP was decoded.
    bool any() const { return kinds != 0; }
    friend bool operator==(const Encapsulation&, const Encapsulation&) = default;
};

struct WideDissection {
    // The fields of the basic decoding, taken from the innermost layers: the
    // IP fields from the innermost IP packet, the link-layer addresses from
    // the innermost Ethernet header (one inside an 802.11 frame replaces the
    // 802.11 addresses but not the BSSID; Linux cooked headers give none).
    // A fragment other than the first has ports 0 and its payload right
    // after its IP header (after the fragment header in IPv6), and nothing is
    // decoded inside it; a first fragment is decoded through like any packet.
    Dissection base;
    Encapsulation encap;
    FragmentInfo fragment;
    // Where the first of the IP packets passed to end does, by their length
    // fields (0: none says): what follows in the frame (an Ethernet frame's
    // padding, a trailer) is in none of them.  An outer datagram's fragment
    // ends before the packet it carries does.
    std::uint64_t ip_end = 0;
    // Where the Ethernet headers passed start, outermost first: the link
    // layer's own, and one per tunnel or pseudowire that carries Ethernet.
    std::array<std::uint32_t, kMaxWideLayers> ethernet_at{};
    std::uint8_t ethernets = 0;
    friend bool operator==(const WideDissection&, const WideDissection&) = default;
};

// Link types the wide decoding reads beyond those of packet.h.  Every other
// value not named here or there is read as raw IP, by the version nibble.
inline constexpr std::uint32_t kLinkNull = 0; // address family in the writer's order
inline constexpr std::uint32_t kLinkPpp = 9;
inline constexpr std::uint32_t kLinkLoop = 108; // address family in network order
inline constexpr std::uint32_t kLinkLinuxCooked = 113;
inline constexpr std::uint32_t kLinkLinuxCooked2 = 276;

// Decodes `frame` into `out`, which is overwritten whole.  Never fails, never
// reads past the span, never allocates.  In the link types the basic decoding
// knows (all but those named above), on frames where nothing is found but
// perhaps one 0x8100 tag and that are no fragment, `out.base` equals
// dissect_frame(frame, link_type).
// The UDP ports of the tunnels the wide decoding looks into.
inline constexpr std::uint16_t kUdpPortVxlan = 4789;
inline constexpr std::uint16_t kUdpPortGeneve = 6081;
inline constexpr std::uint16_t kUdpPortGtpu = 2152; // either direction

// A short name of a link type for messages ("Ethernet", "Linux cooked v2"),
// or "not decoded" for the others (messages give the number beside it).
std::string link_type_name(std::uint32_t link_type);

// The identifiers of the layers around a packet's innermost IP header, as
// "vlan=100/200 mpls=16 pppoe=3 gre_key=5 erspan=7 vni=42 teid=9
// tunnel=SRC>DST" (only those present; empty when there are none).  No
// comma or quote, so that it is a plain CSV cell and JSON string.
std::string outer_text(const Encapsulation& encap);

void dissect_wide(std::span<const std::uint8_t> frame, std::uint32_t link_type,
                  WideDissection& out);

} // namespace vexlor
