// The wide decoding: a loop over headers, each step reading one header and
// naming the next, until the innermost IP packet or the first header that
// cannot be read.
//
// A loop and not recursion, so that a frame of tunnels inside tunnels costs
// at most kMaxWideLayers steps and no stack.  IP headers go through
// parse_ip_packet, the decoder of the basic decoding, so that both agree on
// every IP field of a frame they both understand, except where the basic
// one is kept compatible with older outputs: IPv6 authentication headers
// and ESP (Ipv6Walk::Exact).
#include "packet/wide_dissect.h"

#include <algorithm>
#include <bit>

#include "common/byte_reader.h"
#include "common/ip_text.h"
#include "packet/protocols.h"

namespace vexlor {
namespace {

constexpr std::uint16_t kEtherIpv4 = 0x0800;
constexpr std::uint16_t kEtherIpv6 = 0x86DD;
constexpr std::uint16_t kEtherVlan = 0x8100;
constexpr std::uint16_t kEtherQinq = 0x88A8;
constexpr std::uint16_t kEtherQinqOld = 0x9100;
constexpr std::uint16_t kEtherMpls = 0x8847;
constexpr std::uint16_t kEtherMplsMulticast = 0x8848;
constexpr std::uint16_t kEtherPppoeSession = 0x8864;
// Protocol types that only GRE carries.
constexpr std::uint16_t kGreBridging = 0x6558;
constexpr std::uint16_t kGreErspan2 = 0x88BE;
constexpr std::uint16_t kGreErspan3 = 0x22EB;
constexpr std::uint16_t kGrePpp = 0x880B;

constexpr std::uint16_t kPppIpv4 = 0x0021;
constexpr std::uint16_t kPppIpv6 = 0x0057;
constexpr std::uint16_t kPppMpls = 0x0281;

constexpr std::uint8_t kProtoIpv4 = 4;
constexpr std::uint8_t kProtoIpv6 = 41;
constexpr std::uint8_t kProtoFragment = 44;
constexpr std::uint8_t kProtoGre = 47;

constexpr std::uint16_t kPortVxlan = kUdpPortVxlan;
constexpr std::uint16_t kPortGeneve = kUdpPortGeneve;
constexpr std::uint16_t kPortGtpu = kUdpPortGtpu;

constexpr std::size_t kMacBytes = 6;
constexpr std::size_t kIpv6Header = 40;
constexpr std::size_t kIpv6FragmentHeader = 8;
constexpr int kMaxExtensionHeaders = 8; // as the basic decoding walks

// The fields of one header, read in order.  After a read that does not fit,
// every later read yields zero and ok() stays false, so a step reads its
// whole header first and looks at ok() once.
class Fields {
public:
    Fields(ByteSpan bytes, std::size_t at, Endian endian = Endian::Big) : r_(bytes, endian) {
        ok_ = r_.seek(at);
    }
    std::uint8_t u8() { return take(r_.u8()); }
    std::uint16_t u16() { return take(r_.u16()); }
    std::uint32_t u32() { return take(r_.u32()); }
    ByteSpan bytes(std::size_t n) { return take(r_.bytes(n)); }
    void skip(std::size_t n) { ok_ = ok_ && r_.skip(n); }
    // The high nibble of the next byte, which is not consumed.
    std::uint8_t peek_nibble() {
        ByteReader copy = r_;
        return take(copy.u8()) >> 4;
    }
    bool ok() const { return ok_; }
    std::size_t position() const { return r_.position(); }

private:
    template <class T> T take(std::optional<T> v) {
        ok_ = ok_ && v.has_value();
        return ok_ ? *v : T{};
    }
    ByteReader r_;
    bool ok_ = false;
};

bool is_ipv6_extension(std::uint8_t next) {
    return next == 0 || next == 43 || next == kProtoFragment || next == 51 || next == 60;
}

MacAddress mac_of(ByteSpan six) {
    MacAddress m;
    std::copy(six.begin(), six.end(), m.bytes.begin());
    return m;
}

void set_kind(Encapsulation& e, LayerKind k) {
    e.kinds |= static_cast<std::uint16_t>(k);
}

// Fragment fields of an IP packet.  For a fragment other than the first,
// also what it carries and where its data starts (counted from the start of
// the packet, maybe past the capture).
struct Fragment {
    FragmentInfo info;
    std::uint8_t protocol = 0;
    std::uint64_t data = 0;
    bool later() const { return info.fragment && !info.first; }
};

Fragment ipv4_fragment(ByteSpan packet) {
    Fields f(packet, 0);
    const std::size_t header = std::size_t(f.u8() & 0x0F) * 4;
    f.skip(3);
    const std::uint16_t id = f.u16();
    const std::uint16_t flags_offset = f.u16();
    f.skip(1);
    const std::uint8_t protocol = f.u8();
    const std::uint16_t offset = flags_offset & 0x1FFF;
    const bool more = flags_offset & 0x2000;
    // A header the basic decoding refuses is no fragment either.
    if (!f.ok() || header < 20 || packet.size() < header || (!more && offset == 0)) {
        return {};
    }
    return {{true, offset == 0, id}, protocol, header};
}

// The same walk as the exact IP decoding's (authentication headers sized
// by their own rule), looking for a fragment header on the way.
Fragment ipv6_fragment(ByteSpan packet) {
    Fields f(packet, 6);
    std::uint8_t next = f.u8();
    std::uint64_t q = kIpv6Header;
    for (int walked = 0; walked < kMaxExtensionHeaders && is_ipv6_extension(next); ++walked) {
        Fields ext(packet, q);
        const std::uint8_t inner = ext.u8();
        const std::uint8_t length = ext.u8();
        if (!ext.ok()) {
            break;
        }
        if (next == kProtoFragment) {
            const std::uint16_t offset_more = ext.u16();
            const std::uint32_t id = ext.u32();
            // A fragment header cut short says the packet is a fragment but
            // not which: it is taken for a later one, whose data is not read.
            const bool first = ext.ok() && (offset_more >> 3) == 0;
            return {{true, first, ext.ok() ? id : 0}, inner, q + kIpv6FragmentHeader};
        }
        q += next == 51 ? (std::uint64_t(length) + 2) * 4 : (std::uint64_t(length) + 1) * 8;
        next = inner;
    }
    return {};
}

// A fragment other than the first: its first bytes are the middle of some
// payload, so only its IP header is read.  (The basic decoding would walk
// them as more IPv6 extension headers, and might give up there.)
std::optional<IpDecode> later_fragment(ByteSpan packet, const Fragment& frag, bool v6) {
    Fields f(packet, v6 ? 8 : 12);
    const std::size_t length = v6 ? 16 : 4;
    const ByteSpan src = f.bytes(length);
    const ByteSpan dst = f.bytes(length);
    if (!f.ok()) {
        return std::nullopt; // both finders check that the header is there
    }
    IpDecode d;
    d.info.src_ip = v6 ? IpAddress::v6(src.data()) : IpAddress::v4(src.data());
    d.info.dst_ip = v6 ? IpAddress::v6(dst.data()) : IpAddress::v4(dst.data());
    d.info.protocol = frag.protocol;
    d.payload_offset = std::min<std::uint64_t>(packet.size(), frag.data);
    return d;
}

// The IP packet at the start of `packet`, by its version nibble.
std::optional<IpDecode> decode_ip(ByteSpan packet, FragmentInfo& fragment) {
    Fields f(packet, 0);
    const std::uint8_t version = f.peek_nibble();
    const Fragment frag = version == 4   ? ipv4_fragment(packet)
                          : version == 6 ? ipv6_fragment(packet)
                                         : Fragment{};
    std::optional<IpDecode> d;
    if (frag.later()) {
        d = later_fragment(packet, frag, version == 6);
    } else {
        d = parse_ip_packet(packet, Ipv6Walk::Exact);
    }
    if (d) {
        fragment = frag.info;
    }
    return d;
}

enum class Next : std::uint8_t {
    Stop,
    Ethernet,
    Vlan,
    Mpls,
    Pppoe,
    Ppp,
    Ip,
    IpInIp, // an IP packet inside the IP packet before it
    Gre,
    Erspan2,
    Erspan3,
    Vxlan,
    Geneve,
    Gtpu,
};

struct Step {
    Next next = Next::Stop;
    std::size_t at = 0; // where that header starts in the frame
};
constexpr Step kStop{};

// What follows a header that names its payload by EtherType (Ethernet, a
// tag, a Linux cooked header, a GRE header for the types they share).
Step after_ethertype(std::uint16_t type, std::size_t at) {
    switch (type) {
    case kEtherIpv4:
    case kEtherIpv6:
        return {Next::Ip, at};
    case kEtherVlan:
    case kEtherQinq:
    case kEtherQinqOld:
        return {Next::Vlan, at};
    case kEtherMpls:
    case kEtherMplsMulticast:
        return {Next::Mpls, at};
    case kEtherPppoeSession:
        return {Next::Pppoe, at};
    default:
        return kStop;
    }
}

class WideWalk {
public:
    WideWalk(ByteSpan frame, WideDissection& out) : frame_(frame), out_(out) {}

    void run(Step s) {
        for (int layers = 0; s.next != Next::Stop && layers < kMaxWideLayers; ++layers) {
            s = step(s);
        }
    }

private:
    Step step(Step s) {
        if (s.at > frame_.size()) {
            return kStop;
        }
        switch (s.next) {
        case Next::Ethernet:
            return ethernet(s.at);
        case Next::Vlan:
            return vlan(s.at);
        case Next::Mpls:
            return mpls(s.at);
        case Next::Pppoe:
            return pppoe(s.at);
        case Next::Ppp:
            return ppp(s.at);
        case Next::Ip:
        case Next::IpInIp:
            return ip(s.at, s.next == Next::IpInIp);
        case Next::Gre:
            return gre(s.at);
        case Next::Erspan2:
        case Next::Erspan3:
            return erspan(s.at, s.next == Next::Erspan3);
        case Next::Vxlan:
            return vxlan(s.at);
        case Next::Geneve:
            return geneve(s.at);
        case Next::Gtpu:
            return gtpu(s.at);
        case Next::Stop:
            break;
        }
        return kStop;
    }

    // Counts a tunnel about to be passed; false once the limit is reached.
    bool enter_tunnel(LayerKind k) {
        if (out_.encap.tunnels >= kMaxWideTunnels) {
            return false;
        }
        ++out_.encap.tunnels;
        set_kind(out_.encap, k);
        return true;
    }

    Step ethernet(std::size_t at) {
        Fields f(frame_, at);
        const ByteSpan dst = f.bytes(kMacBytes);
        const ByteSpan src = f.bytes(kMacBytes);
        const std::uint16_t type = f.u16();
        if (!f.ok()) {
            return kStop;
        }
        out_.base.dst_mac = mac_of(dst);
        out_.base.src_mac = mac_of(src);
        if (out_.ethernets < out_.ethernet_at.size()) {
            out_.ethernet_at[out_.ethernets++] = static_cast<std::uint32_t>(at);
        }
        return after_ethertype(type, f.position());
    }

    Step vlan(std::size_t at) {
        Fields f(frame_, at);
        const std::uint16_t tci = f.u16();
        const std::uint16_t type = f.u16();
        if (!f.ok()) {
            return kStop;
        }
        Encapsulation& e = out_.encap;
        if (e.vlan_count < Encapsulation::kMaxIds) {
            e.vlan_ids[e.vlan_count] = tci & 0x0FFF;
        }
        ++e.vlan_count; // below kMaxWideLayers, so it cannot wrap
        set_kind(e, LayerKind::Vlan);
        return after_ethertype(type, f.position());
    }

    Step mpls(std::size_t at) {
        Fields f(frame_, at);
        const std::uint32_t entry = f.u32();
        if (!f.ok()) {
            return kStop;
        }
        Encapsulation& e = out_.encap;
        if (e.mpls_count < Encapsulation::kMaxIds) {
            e.mpls_labels[e.mpls_count] = entry >> 12;
        }
        ++e.mpls_count;
        set_kind(e, LayerKind::Mpls);
        if ((entry & 0x100) == 0) {
            return {Next::Mpls, f.position()};
        }
        // Nothing names what follows the bottom of the stack: IP by its
        // version nibble, or a zero nibble that starts the control word of an
        // Ethernet pseudowire.
        const std::uint8_t version = f.peek_nibble();
        if (!f.ok()) {
            return kStop;
        }
        switch (version) {
        case 4:
        case 6:
            return {Next::Ip, f.position()};
        case 0:
            f.skip(4);
            return f.ok() ? Step{Next::Ethernet, f.position()} : kStop;
        default:
            return kStop;
        }
    }

    Step pppoe(std::size_t at) {
        Fields f(frame_, at);
        const std::uint8_t version_type = f.u8();
        const std::uint8_t code = f.u8();
        const std::uint16_t session = f.u16();
        f.skip(2); // length
        if (!f.ok() || version_type != 0x11 || code != 0) {
            return kStop;
        }
        out_.encap.pppoe_session = session;
        set_kind(out_.encap, LayerKind::Pppoe);
        return {Next::Ppp, f.position()};
    }

    // PPP as link type 9, inside PPPoE and inside enhanced GRE: the address
    // and control bytes FF 03 may be left out, and so may the high byte of
    // the protocol (a protocol's high byte is even, its low byte odd).
    Step ppp(std::size_t at) {
        Fields address(frame_, at);
        const bool has_address = address.u8() == 0xFF && address.u8() == 0x03 && address.ok();
        Fields f(frame_, has_address ? address.position() : at);
        std::uint16_t protocol = f.u8();
        if ((protocol & 1) == 0) {
            protocol = static_cast<std::uint16_t>((protocol << 8) | f.u8());
        }
        if (!f.ok()) {
            return kStop;
        }
        switch (protocol) {
        case kPppIpv4:
        case kPppIpv6:
            return {Next::Ip, f.position()};
        case kPppMpls:
            return {Next::Mpls, f.position()};
        default:
            return kStop;
        }
    }

    Step ip(std::size_t at, bool inside_ip) {
        FragmentInfo fragment;
        const std::optional<IpDecode> d = decode_ip(frame_.subspan(at), fragment);
        if (!d) {
            return kStop;
        }
        if (inside_ip && !enter_tunnel(LayerKind::IpInIp)) {
            return kStop;
        }
        note_ip_end(at);
        Encapsulation& e = out_.encap;
        if (!outermost_) {
            outermost_ = d->info;
        } else {
            e.tunnel_src = outermost_->src_ip;
            e.tunnel_dst = outermost_->dst_ip;
        }
        out_.base.ip = d->info;
        out_.base.payload_offset.reset();
        if (d->payload_offset) {
            out_.base.payload_offset = at + *d->payload_offset;
        }
        if (fragment.fragment) {
            out_.fragment = fragment;
            fragmented_ = d->info;
        } else if (out_.fragment.fragment) {
            // The packet inside the first fragment of an outer datagram: the
            // fragment is the outer one's, known by its key.
            out_.fragment.outer_datagram = datagram_key(*fragmented_, out_.fragment.id);
        }

        // No payload (ICMP, ESP, no next header) or a later fragment: nothing
        // inside to decode.  The tunnel limit is checked before the tunnel
        // header is read, so a frame at the limit ends at this packet.
        if ((fragment.fragment && !fragment.first) || !out_.base.payload_offset ||
            e.tunnels >= kMaxWideTunnels) {
            return kStop;
        }
        const std::size_t inner = *out_.base.payload_offset;
        const IpInfo& info = *out_.base.ip;
        switch (info.protocol) {
        case kProtoIpv4:
        case kProtoIpv6:
            return {Next::IpInIp, inner};
        case kProtoGre:
            return {Next::Gre, inner};
        case kProtoUdp:
            // Tunnels are known by the port they are sent to; GTP-U answers
            // come from that port as well.
            if (info.dst_port == kPortVxlan) {
                return {Next::Vxlan, inner};
            }
            if (info.dst_port == kPortGeneve) {
                return {Next::Geneve, inner};
            }
            if (info.dst_port == kPortGtpu || info.src_port == kPortGtpu) {
                return {Next::Gtpu, inner};
            }
            return kStop;
        default:
            return kStop;
        }
    }

    // Lowers out_.ip_end to where the IP packet at `at` ends by its length
    // field, when that says anything: an IPv4 total length below its header
    // (0 where segmentation offload left it) or an IPv6 payload length of 0
    // (a jumbogram) does not.
    void note_ip_end(std::size_t at) {
        Fields f(frame_, at);
        const std::uint8_t first = f.u8();
        const bool v6 = first >> 4 == 6;
        f.skip(v6 ? 3 : 1);
        const std::uint16_t length = f.u16();
        if (!f.ok()) {
            return;
        }
        std::uint64_t end = 0;
        if (v6 && length != 0) {
            end = at + kIpv6Header + length;
        } else if (!v6 && length >= std::max<std::size_t>(std::size_t(first & 0x0F) * 4, 20)) {
            end = at + length;
        }
        if (end != 0 && (out_.ip_end == 0 || end < out_.ip_end)) {
            out_.ip_end = end;
        }
    }

    Step gre(std::size_t at) {
        Fields f(frame_, at);
        const std::uint16_t flags = f.u16();
        const std::uint16_t type = f.u16();
        const bool checksum = flags & 0x8000;
        const bool routing = flags & 0x4000;
        const bool key = flags & 0x2000;
        const bool sequence = flags & 0x1000;
        std::optional<std::uint32_t> id;
        Step next = kStop;
        switch (flags & 7) {
        case 0:
            if (routing) {
                return kStop; // the old source-routed form: a layout not walked
            }
            f.skip(checksum ? 4 : 0);
            if (key) {
                id = f.u32();
            }
            f.skip(sequence ? 4 : 0);
            next = gre_payload(type, f.position());
            break;
        case 1:
            // Enhanced GRE always carries a key: a payload length that changes
            // with every packet, then the call id that names the session.
            if (type != kGrePpp || !key) {
                return kStop;
            }
            f.skip(2);
            id = f.u16();
            f.skip(sequence ? 4 : 0);
            f.skip((flags & 0x0080) ? 4 : 0); // acknowledgment number
            next = {Next::Ppp, f.position()};
            break;
        default:
            return kStop;
        }
        if (!f.ok() || next.next == Next::Stop || !enter_tunnel(LayerKind::Gre)) {
            return kStop;
        }
        if (id) {
            out_.encap.gre_key = *id;
        }
        return next;
    }

    static Step gre_payload(std::uint16_t type, std::size_t at) {
        switch (type) {
        case kGreBridging:
            return {Next::Ethernet, at};
        case kGreErspan2:
            return {Next::Erspan2, at};
        case kGreErspan3:
            return {Next::Erspan3, at};
        case kEtherIpv4:
        case kEtherIpv6:
        case kEtherMpls:
        case kEtherMplsMulticast:
            return after_ethertype(type, at);
        default:
            return kStop;
        }
    }

    // ERSPAN type II (version 1, 8 bytes) or type III (version 2, 12 bytes,
    // then 8 platform-specific bytes when the O flag is set), then the
    // mirrored Ethernet frame.
    Step erspan(std::size_t at, bool type3) {
        Fields f(frame_, at);
        const std::uint8_t version = f.u8() >> 4;
        f.skip(1); // the rest of the VLAN of the mirrored frame
        const std::uint16_t session = f.u16() & 0x03FF;
        if (type3) {
            f.skip(7); // timestamp, security group tag, flags but the last
            f.skip((f.u8() & 1) ? 8 : 0);
        } else {
            f.skip(4);
        }
        if (!f.ok() || version != (type3 ? 2 : 1)) {
            return kStop;
        }
        out_.encap.erspan_session = session;
        set_kind(out_.encap, LayerKind::Erspan);
        return {Next::Ethernet, f.position()};
    }

    Step vxlan(std::size_t at) {
        Fields f(frame_, at);
        const std::uint8_t flags = f.u8();
        f.skip(3);
        const std::uint32_t vni = f.u32() >> 8;
        if (!f.ok() || (flags & 0x08) == 0 || !enter_tunnel(LayerKind::Vxlan)) {
            return kStop;
        }
        out_.encap.vni = vni;
        return {Next::Ethernet, f.position()};
    }

    Step geneve(std::size_t at) {
        Fields f(frame_, at);
        const std::uint8_t first = f.u8();
        f.skip(1);
        const std::uint16_t type = f.u16();
        const std::uint32_t vni = f.u32() >> 8;
        f.skip(std::size_t(first & 0x3F) * 4); // options
        Step next = kStop;
        if (type == kGreBridging) {
            next = {Next::Ethernet, f.position()};
        } else if (type == kEtherIpv4 || type == kEtherIpv6) {
            next = {Next::Ip, f.position()};
        }
        if (!f.ok() || (first >> 6) != 0 || next.next == Next::Stop ||
            !enter_tunnel(LayerKind::Geneve)) {
            return kStop;
        }
        out_.encap.vni = vni;
        return next;
    }

    Step gtpu(std::size_t at) {
        Fields f(frame_, at);
        const std::uint8_t flags = f.u8();
        const std::uint8_t type = f.u8();
        f.skip(2); // length
        const std::uint32_t teid = f.u32();
        const bool version1_gtp = (flags >> 5) == 1 && (flags & 0x10) != 0;
        // Only G-PDUs carry user packets; echo and error messages do not.
        if (!f.ok() || !version1_gtp || type != 0xFF) {
            return kStop;
        }
        if (flags & 0x07) {
            f.skip(3); // sequence number, N-PDU number
            std::uint8_t extension = f.u8();
            if ((flags & 0x04) == 0) {
                extension = 0; // the field is there but names nothing
            }
            // Each extension header is at least 4 bytes long and must be
            // captured, so the chain ends within the frame.
            while (extension != 0 && f.ok()) {
                const std::size_t length = std::size_t(f.u8()) * 4;
                if (length == 0) {
                    return kStop;
                }
                f.skip(length - 2);
                extension = f.u8();
            }
        }
        const std::uint8_t version = f.peek_nibble();
        if (!f.ok() || (version != 4 && version != 6) || !enter_tunnel(LayerKind::Gtpu)) {
            return kStop;
        }
        out_.encap.teid = teid;
        return {Next::Ip, f.position()};
    }

    ByteSpan frame_;
    WideDissection& out_;
    std::optional<IpInfo> outermost_;
    std::optional<IpInfo> fragmented_; // the IP layer out_.fragment is of
};

// BSD loopback writes the address family in the byte order of the capturing
// host, which no header records; every value that means IP is small, so the
// order is the one that makes the value small.
Step after_address_family(std::uint32_t family, std::size_t at) {
    switch (family) {
    case 2:  // AF_INET everywhere
    case 10: // AF_INET6 on Linux
    case 24: // on OpenBSD and NetBSD
    case 28: // on FreeBSD and DragonFly
    case 30: // on macOS
        return {Next::Ip, at};
    default:
        return kStop;
    }
}

// The 802.11 link types: the basic decoding (addresses, BSSID), then the
// wide walk from the IP header behind LLC/SNAP on.  The basic decoding reads
// no QoS data frame, most of today's traffic: its 2-byte QoS control field
// (and, with the order flag, a 4-byte HT control field) comes before the
// body.  Those are read here; a protected body stays unread.
Step wifi_start(ByteSpan frame, std::uint32_t link_type, WideDissection& out) {
    out.base = dissect_frame(frame, link_type);
    if (!out.base.src_mac) {
        return kStop; // no 802.11 header the basic decoding could read
    }
    Fields radio(frame, 2, Endian::Little);
    const std::size_t header = link_type == kLinkRadiotap ? radio.u16() : 0;
    Fields wifi(frame, header);
    const std::uint8_t control = wifi.u8();
    const std::uint8_t flags = wifi.u8();
    const std::uint8_t type = (control >> 2) & 3;
    const bool four_addresses = type == 2 && (flags & 3) == 3;
    // The 24- or 30-byte 802.11 header, then 8 bytes of LLC/SNAP.
    std::size_t body = header + (four_addresses ? 30 : 24);
    if (out.base.ip) {
        return {Next::Ip, body + 8};
    }
    const bool qos_data = type == 2 && (control & 0x80) != 0;
    if (!qos_data || (flags & 0x40) != 0) {
        return kStop;
    }
    body += 2 + ((flags & 0x80) != 0 ? 4 : 0);
    Fields llc(frame, body);
    const ByteSpan prefix = llc.bytes(6);
    const std::uint16_t ethertype = llc.u16();
    constexpr std::uint8_t kLlcSnap[6] = {0xAA, 0xAA, 0x03, 0, 0, 0};
    if (!llc.ok() || !std::equal(prefix.begin(), prefix.end(), kLlcSnap) ||
        (ethertype != kEtherIpv4 && ethertype != kEtherIpv6)) {
        return kStop;
    }
    return {Next::Ip, body + 8};
}

Step first_step(ByteSpan frame, std::uint32_t link_type, WideDissection& out) {
    switch (link_type) {
    case kLinkEthernet:
        return {Next::Ethernet, 0};
    case kLinkIeee80211:
    case kLinkRadiotap:
        return wifi_start(frame, link_type, out);
    case kLinkNull: {
        Fields f(frame, 0, Endian::Little);
        const std::uint32_t little = f.u32();
        if (!f.ok()) {
            return kStop;
        }
        const Step ip =
            after_address_family(little <= 0xFFFF ? little : std::byteswap(little), f.position());
        // Some writers put an EtherType in the last two bytes instead (seen
        // as 0F 00 08 00 in a real capture).
        Fields tail(frame, 2);
        const std::uint16_t ethertype = tail.u16();
        if (ip.next == Next::Stop && (ethertype == kEtherIpv4 || ethertype == kEtherIpv6)) {
            return {Next::Ip, f.position()};
        }
        return ip;
    }
    case kLinkLoop: {
        Fields f(frame, 0);
        const std::uint32_t family = f.u32();
        return f.ok() ? after_address_family(family, f.position()) : kStop;
    }
    case kLinkLinuxCooked: {
        // Packet type, address type, address length, 8 address bytes.
        Fields f(frame, 14);
        const std::uint16_t protocol = f.u16();
        return f.ok() ? after_ethertype(protocol, f.position()) : kStop;
    }
    case kLinkLinuxCooked2: {
        Fields f(frame, 0);
        const std::uint16_t protocol = f.u16();
        f.skip(18); // reserved, interface, address type and length, address
        return f.ok() ? after_ethertype(protocol, f.position()) : kStop;
    }
    case kLinkPpp:
        return {Next::Ppp, 0};
    default:
        return {Next::Ip, 0};
    }
}

} // namespace

void dissect_wide(ByteSpan frame, std::uint32_t link_type, WideDissection& out) {
    out = WideDissection{};
    WideWalk(frame, out).run(first_step(frame, link_type, out));
}

std::string link_type_name(std::uint32_t link_type) {
    switch (link_type) {
    case kLinkNull:
        return "BSD loopback";
    case kLinkEthernet:
        return "Ethernet";
    case kLinkPpp:
        return "PPP";
    case kLinkIeee80211:
        return "IEEE 802.11";
    case kLinkLoop:
        return "OpenBSD loopback";
    case kLinkLinuxCooked:
        return "Linux cooked";
    case kLinkRadiotap:
        return "802.11 with radiotap";
    case kLinkLinuxCooked2:
        return "Linux cooked v2";
    case 101:
    case 228:
    case 229:
        return "raw IP";
    default:
        return "not decoded";
    }
}

namespace {

void append_ids(std::string& out, std::string_view name, std::span<const std::uint32_t> ids) {
    if (ids.empty()) {
        return;
    }
    out += out.empty() ? "" : " ";
    out += name;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        out += i == 0 ? '=' : '/';
        out += std::to_string(ids[i]);
    }
}

} // namespace

std::string outer_text(const Encapsulation& e) {
    std::string out;
    std::array<std::uint32_t, Encapsulation::kMaxIds> vlans{};
    const std::size_t nvlan = std::min<std::size_t>(e.vlan_count, Encapsulation::kMaxIds);
    std::copy_n(e.vlan_ids.begin(), nvlan, vlans.begin());
    append_ids(out, "vlan", std::span(vlans).first(nvlan));
    append_ids(out, "mpls",
               std::span(e.mpls_labels)
                   .first(std::min<std::size_t>(e.mpls_count, Encapsulation::kMaxIds)));
    auto one = [&](std::string_view name, auto id) {
        if (id) {
            const std::uint32_t v = *id;
            append_ids(out, name, std::span(&v, 1));
        }
    };
    one("pppoe", e.pppoe_session);
    one("gre_key", e.gre_key);
    one("erspan", e.erspan_session);
    one("vni", e.vni);
    one("teid", e.teid);
    if (e.tunnel_src && e.tunnel_dst) {
        out += out.empty() ? "" : " ";
        out += "tunnel=" + format_ip(*e.tunnel_src) + ">" + format_ip(*e.tunnel_dst);
    }
    return out;
}

} // namespace vexlor
