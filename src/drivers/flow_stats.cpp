#include "drivers/flow_stats.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "archive/archive_reader.h"
#include "archive/format.h"
#include "common/unique_fd.h"
#include "drivers/packet_producer.h"
#include "flow/community_id.h"
#include "flow/filter.h"
#include "flow/flow_key.h"
#include "flow/fragments.h"
#include "packet/protocols.h"
#include "packet/wide_dissect.h"
#include "parser/capture_reader.h"

namespace vexlor {

namespace {

// Where the innermost IP header starts: the last place in the frame where
// its two addresses stand side by side, as they do in both IP versions.
// The dissection keeps no offsets, only what it found, so it is found again,
// before the transport payload when there is one: the payload may quote the
// header (ICMP errors do) or carry the addresses, and it is long.
std::optional<std::size_t> ip_header_at(std::span<const std::uint8_t> frame, const Packet& p) {
    const IpInfo& ip = *p.ip;
    const bool v4 = ip.src_ip.is_v4();
    const std::size_t len = v4 ? 4 : 16;
    const std::size_t before = v4 ? 12 : 8;
    if (p.payload_offset && *p.payload_offset < frame.size()) {
        frame = frame.first(*p.payload_offset);
    }
    if (frame.size() < before + 2 * len) {
        return std::nullopt;
    }
    // Compared in sizes known when compiled: a call to memcpy or memcmp per
    // packet would cost more than the look itself.
    auto holds_header = [&](std::size_t at) {
        if (at + before + 2 * len > frame.size() || frame[at] >> 4 != (v4 ? 4 : 6)) {
            return false;
        }
        const std::uint8_t* a = frame.data() + at + before;
        return v4 ? std::memcmp(a, ip.src_ip.bytes.data(), 4) == 0 &&
                        std::memcmp(a + 4, ip.dst_ip.bytes.data(), 4) == 0
                  : std::memcmp(a, ip.src_ip.bytes.data(), 16) == 0 &&
                        std::memcmp(a + 16, ip.dst_ip.bytes.data(), 16) == 0;
    };
    // Without tunnels, where the usual link layers put it: Ethernet, raw IP,
    // one VLAN tag, Linux cooked (v1 and v2).
    if (p.layers == 0) {
        for (std::size_t at : {14, 0, 18, 16, 20}) {
            if (holds_header(at)) {
                return at;
            }
        }
    }
    std::uint8_t pair[32];
    std::memcpy(pair, ip.src_ip.bytes.data(), len);
    std::memcpy(pair + len, ip.dst_ip.bytes.data(), len);
    // Candidates from the last one back, found by their first byte.
    for (std::size_t end = frame.size() - 2 * len + 1; end > before;) {
        const void* hit = ::memrchr(frame.data() + before, pair[0], end - before);
        if (hit == nullptr) {
            break;
        }
        const auto at =
            static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - frame.data());
        if (std::memcmp(frame.data() + at, pair, 2 * len) == 0 &&
            frame[at - before] >> 4 == (ip.src_ip.is_v4() ? 4 : 6)) {
            return at - before;
        }
        end = at;
    }
    return std::nullopt;
}

// Where the transport header starts: after the IPv4 options, or after the
// IPv6 extension headers; none in a later fragment.
std::optional<std::size_t> transport_at(std::span<const std::uint8_t> frame, std::size_t ip_at,
                                        const IpInfo& ip) {
    if (ip.src_ip.is_v4()) {
        return ip_at + std::size_t(frame[ip_at] & 0x0F) * 4;
    }
    std::size_t at = ip_at + 40;
    std::uint8_t next = ip_at + 6 < frame.size() ? frame[ip_at + 6] : ip.protocol;
    for (int walked = 0; next != ip.protocol && walked < 8; ++walked) {
        if (at + 8 > frame.size()) {
            return std::nullopt;
        }
        const std::uint8_t following = frame[at];
        switch (next) {
        case 0:  // hop-by-hop options
        case 43: // routing
        case 60: // destination options
            at += (std::size_t(frame[at + 1]) + 1) * 8;
            break;
        case 44: // fragment: only the first holds the transport header
            if ((frame[at + 2] << 8 | frame[at + 3]) & 0xFFF8) {
                return std::nullopt;
            }
            at += 8;
            break;
        case 51: // authentication header
            at += (std::size_t(frame[at + 1]) + 2) * 4;
            break;
        default:
            return std::nullopt;
        }
        next = following;
    }
    return next == ip.protocol ? std::optional(at) : std::nullopt;
}

// Where the innermost IP packet ends by its own length fields: bytes after
// it (an Ethernet frame padded to 60 bytes, a trailer) are not payload.
// nullopt where the length says nothing (an IPv6 jumbogram).
std::optional<std::size_t> ip_end(std::span<const std::uint8_t> frame, const Packet& p) {
    const auto at = ip_header_at(frame, p);
    if (!at || *at + 6 > frame.size()) {
        return std::nullopt;
    }
    const std::size_t length = std::size_t(frame[*at + (p.ip->src_ip.is_v4() ? 2 : 4)]) << 8 |
                               frame[*at + (p.ip->src_ip.is_v4() ? 3 : 5)];
    if (p.ip->src_ip.is_v4()) {
        // A total length of 0 (or one shorter than the header) is no length:
        // segmentation offload leaves it so in captures of large segments.
        const std::size_t header = std::size_t(frame[*at] & 0x0F) * 4;
        return length < std::max<std::size_t>(header, 20) ? std::nullopt
                                                          : std::optional(*at + length);
    }
    return length == 0 ? std::nullopt : std::optional(*at + 40 + length);
}

// Whether the IPv4 header at `ip_at` is of a fragment other than the first,
// which holds no transport header.
bool later_v4_fragment(std::span<const std::uint8_t> frame, std::size_t ip_at, const IpInfo& ip) {
    return ip.src_ip.is_v4() && ((frame[ip_at + 6] & 0x1F) << 8 | frame[ip_at + 7]) != 0;
}

// Where the payload of the table and of byte rows starts: the decoding's
// offset, but past SCTP's 12-byte common header (ports, tag, checksum),
// which the decoding counts as payload and which holds nothing of the
// application's; and none in a frame cut off within a TCP or UDP header's
// ports, whose bytes the decoding leaves as payload.  A later fragment has
// no transport header.
std::size_t payload_begin(std::span<const std::uint8_t> frame, const Packet& p) {
    const std::size_t begin = std::min<std::size_t>(*p.payload_offset, frame.size());
    if (!p.ip) {
        return begin;
    }
    const std::uint8_t proto = p.ip->protocol;
    const bool cut_ports = (proto == kProtoTcp || proto == kProtoUdp) && frame.size() - begin < 4 &&
                           p.ip->src_port == 0 && p.ip->dst_port == 0;
    if (proto != kProtoSctp && !cut_ports) {
        return begin;
    }
    const auto ip_at = ip_header_at(frame, p);
    const auto at = ip_at ? transport_at(frame, *ip_at, *p.ip) : std::nullopt;
    if (!at || *at != begin || later_v4_fragment(frame, *ip_at, *p.ip)) {
        return begin;
    }
    return cut_ports ? frame.size() : std::min(begin + 12, frame.size());
}

// The transport payload's bytes in the frame: from its offset to the end of
// the IP packet or of the frame, whichever comes first.  Inside a tunnel,
// the outer packets end it too: a fragment of an outer datagram holds only
// part of the packet it carries, and the later ones hold no inner header.
std::size_t payload_end(std::span<const std::uint8_t> frame, const Packet& p) {
    std::size_t end = frame.size();
    if (!p.payload_offset || *p.payload_offset >= end) {
        return end;
    }
    if (p.ip_end != 0) {
        end = std::clamp<std::size_t>(p.ip_end, *p.payload_offset, end);
    }
    const auto packet_end = ip_end(frame, p);
    return packet_end ? std::clamp<std::size_t>(*packet_end, *p.payload_offset, end) : end;
}

bool has_ports(std::uint8_t proto) {
    return proto == kProtoTcp || proto == kProtoUdp || proto == kProtoSctp;
}

// Zeroes `n` bytes at `at`, as many of them as the frame holds.
void zero_in(std::span<std::uint8_t> frame, std::size_t at, std::size_t n) {
    if (at < frame.size()) {
        std::fill_n(frame.begin() + at, std::min(n, frame.size() - at), 0);
    }
}

// Every station address of an 802.11 frame: the receiver's, and but for
// CTS and ACK the transmitter's; management and data frames a third (the
// BSSID, or in a data frame to or from the distribution system the other
// end's host), and a data frame of a wireless bridge a fourth.
void mask_wifi_addresses(std::span<std::uint8_t> frame, std::uint32_t link_type) {
    std::size_t s = 0;
    if (link_type == kLinkRadiotap) {
        if (frame.size() < 4 || frame[0] != 0) {
            return;
        }
        s = std::size_t(frame[2]) | std::size_t(frame[3]) << 8;
        if (s < 4) {
            return;
        }
    } else if (link_type != kLinkIeee80211) {
        return;
    }
    if (s + 2 > frame.size()) {
        return;
    }
    const unsigned type = (frame[s] >> 2) & 3, subtype = frame[s] >> 4;
    zero_in(frame, s + 4, 6);
    if (type == 1) {
        if (subtype != 12 && subtype != 13) {
            zero_in(frame, s + 10, 6);
        }
        return;
    }
    if (type == 0 || type == 2) {
        zero_in(frame, s + 10, 12);
    }
    if (type == 2 && (frame[s + 1] & 3) == 3) {
        zero_in(frame, s + 24, 6);
    }
}

// Where an IP header starts in a frame cut off inside it (which decodes to
// no IP at all), for the link layers that say IP follows: Ethernet with its
// tags, Linux cooked, and the types read as raw IP.
std::optional<std::size_t> cut_ip_at(std::span<const std::uint8_t> frame, std::uint32_t link_type) {
    auto type_at = [&](std::size_t at) -> unsigned {
        return at + 2 <= frame.size() ? unsigned(frame[at]) << 8 | frame[at + 1] : 0;
    };
    std::size_t at = 0;
    unsigned ethertype = 0;
    switch (link_type) {
    case kLinkEthernet:
        at = 12;
        while (type_at(at) == 0x8100 || type_at(at) == 0x88A8 || type_at(at) == 0x9100) {
            at += 4;
        }
        ethertype = type_at(at);
        at += 2;
        break;
    case kLinkLinuxCooked:
        ethertype = type_at(14);
        at = 16;
        break;
    case kLinkLinuxCooked2:
        ethertype = type_at(0);
        at = 20;
        break;
    case kLinkIeee80211:
    case kLinkRadiotap:
    case kLinkNull:
    case kLinkPpp:
    case kLinkLoop:
        return std::nullopt;
    default:
        ethertype = frame.empty()        ? 0
                    : frame[0] >> 4 == 4 ? 0x0800
                    : frame[0] >> 4 == 6 ? 0x86DD
                                         : 0;
        break;
    }
    if (at >= frame.size() || (ethertype != 0x0800 && ethertype != 0x86DD) ||
        frame[at] >> 4 != (ethertype == 0x0800 ? 4 : 6)) {
        return std::nullopt;
    }
    return at;
}

// The IP header and transport ports an ICMP error quotes at `q`: the packet
// it is about, whose addresses and ports name the same hosts.
void mask_quoted(std::span<std::uint8_t> frame, std::size_t q, std::uint8_t mask) {
    if (q >= frame.size()) {
        return;
    }
    const bool v4 = frame[q] >> 4 == 4;
    if (!v4 && frame[q] >> 4 != 6) {
        return;
    }
    std::size_t l4 = v4 ? q + std::size_t(frame[q] & 0x0F) * 4 : q + 40;
    std::uint8_t proto = q + (v4 ? 9 : 6) < frame.size() ? frame[q + (v4 ? 9 : 6)] : 0;
    bool later = v4 && q + 8 <= frame.size() && ((frame[q + 6] & 0x1F) << 8 | frame[q + 7]) != 0;
    // A quoted IPv6 packet's extension headers, as far as they were quoted.
    for (int walked = 0; !v4 && walked < 8 && l4 + 8 <= frame.size(); ++walked) {
        const std::uint8_t next = frame[l4];
        if (proto == 0 || proto == 43 || proto == 60) {
            l4 += (std::size_t(frame[l4 + 1]) + 1) * 8;
        } else if (proto == 51) {
            l4 += (std::size_t(frame[l4 + 1]) + 2) * 4;
        } else if (proto == 44) {
            later = ((frame[l4 + 2] << 8 | frame[l4 + 3]) & 0xFFF8) != 0;
            l4 += 8;
        } else {
            break;
        }
        proto = next;
    }
    if (mask & kMaskIp) {
        zero_in(frame, q + (v4 ? 12 : 8), v4 ? 8 : 32);
    }
    if (v4 && (mask & kMaskChecksum)) {
        zero_in(frame, q + 10, 2);
    }
    if (later || !has_ports(proto) || (v4 && l4 < q + 20)) {
        return;
    }
    if (mask & kMaskPort) {
        zero_in(frame, l4, 4);
    }
    if (mask & kMaskChecksum) {
        zero_in(frame,
                l4 + (proto == kProtoTcp   ? 16
                      : proto == kProtoUdp ? 6
                                           : 8),
                proto == kProtoSctp ? 4 : 2);
    }
}

bool is_icmp_error(std::uint8_t proto, std::uint8_t type) {
    // Destination unreachable, source quench, redirect, time exceeded,
    // parameter problem; in ICMPv6 the four error types below 128.
    return proto == kProtoIcmp ? type == 3 || type == 4 || type == 5 || type == 11 || type == 12
                               : type >= 1 && type <= 4;
}

} // namespace

void mask_frame(std::span<std::uint8_t> frame, const Packet& p, std::uint32_t link_type,
                std::uint8_t mask, std::size_t keep) {
    auto zero = [&](std::size_t at, std::size_t n) { zero_in(frame, at, n); };
    if (mask & kMaskMac) {
        if (link_type == kLinkEthernet) {
            zero(0, 12);
        } else if (link_type == kLinkLinuxCooked) {
            zero(6, 8);
        } else if (link_type == kLinkLinuxCooked2) {
            zero(12, 8);
        } else {
            mask_wifi_addresses(frame, link_type);
        }
        // Ethernet headers inside tunnels, found by decoding the frame
        // again: where they stand, not wherever their addresses do (a
        // payload may hold them too).
        if (p.layers != 0) {
            WideDissection wide;
            dissect_wide(frame, link_type, wide);
            for (std::size_t k = 0; k < wide.ethernets; ++k) {
                if (wide.ethernet_at[k] < keep) {
                    zero(wide.ethernet_at[k], 12);
                }
            }
        }
    }
    if (!(mask & (kMaskIp | kMaskPort | kMaskChecksum))) {
        return;
    }
    if (!p.ip) {
        if (const auto at = cut_ip_at(frame, link_type)) {
            const bool v4 = frame[*at] >> 4 == 4;
            if (mask & kMaskIp) {
                zero(*at + (v4 ? 12 : 8), v4 ? 8 : 32);
            }
            if (v4 && (mask & kMaskChecksum)) {
                zero(*at + 10, 2);
            }
        }
        return;
    }
    const auto ip_at = ip_header_at(frame, p);
    if (!ip_at) {
        if (p.fragment.fragment && !p.fragment.first) {
            // A later fragment of a tunnel's outer datagram holds the inner
            // flow's addresses, taken from its first fragment: its own
            // header is the outer one, found by decoding it again.
            WideDissection wide;
            dissect_wide(frame, link_type, wide);
            if (wide.base.ip && !(*wide.base.ip == *p.ip)) {
                Packet outer = p;
                outer.ip = wide.base.ip;
                outer.payload_offset = wide.base.payload_offset;
                outer.layers = wide.encap.kinds;
                mask_frame(frame, outer, link_type, mask & ~kMaskMac, keep);
            }
        }
        return;
    }
    const auto transport = transport_at(frame, *ip_at, *p.ip);
    // A transport header is where its ports are: not in a later fragment.
    // Looked for before the addresses they are found by are masked.
    const std::uint8_t proto = p.ip->protocol;
    // Transport headers are found by not being in a later IPv4 fragment
    // (transport_at finds none in a later IPv6 one).
    const bool header = transport && !later_v4_fragment(frame, *ip_at, *p.ip);
    auto at_ports = [&] {
        // Flows keep no SCTP ports.
        return proto == kProtoSctp ||
               ((frame[*transport] << 8 | frame[*transport + 1]) == p.ip->src_port &&
                (frame[*transport + 2] << 8 | frame[*transport + 3]) == p.ip->dst_port);
    };
    const bool ports = header && has_ports(proto) && *transport + 4 <= frame.size() && at_ports();
    // A frame cut off within the ports: what it holds of them.
    const bool cut_ports = header && has_ports(proto) && *transport + 4 > frame.size();
    if ((mask & kMaskPort) && (ports || cut_ports)) {
        zero(*transport, 4);
    }
    const bool icmp = header && (proto == kProtoIcmp || proto == kProtoIcmpv6);
    if (mask & kMaskChecksum) {
        if (p.ip->src_ip.is_v4()) {
            zero(*ip_at + 10, 2);
        }
        if (ports) {
            zero(*transport + (proto == kProtoTcp   ? 16
                               : proto == kProtoUdp ? 6
                                                    : 8),
                 proto == kProtoSctp ? 4 : 2);
        } else if (icmp) {
            zero(*transport + 2, 2);
        }
    }
    if (icmp && *transport < frame.size() && is_icmp_error(proto, frame[*transport])) {
        mask_quoted(frame, *transport + 8, mask);
    }
    if (mask & kMaskIp) {
        const std::size_t len = p.ip->src_ip.length();
        zero(*ip_at + (p.ip->src_ip.is_v4() ? 12 : 8), 2 * len);
    }
}

bool FlowStats::wants_frames() const {
    const FlowFeatures& f = *features_;
    if (f.directions || rec_.packets[0] + rec_.packets[1] == 0 || rec_.sizes.size() < f.first_n) {
        return true;
    }
    if (f.row_bytes == 0) {
        return false;
    }
    return f.row_packets == 0 ? row_slots_ < f.row_bytes : row_slots_ < f.row_packets;
}

void FlowStats::add_counted(std::uint64_t t, std::uint32_t orig_len) {
    rec_.packets[0] += 1;
    rec_.bytes[0] += orig_len;
    rec_.first_us = std::min(rec_.first_us, t);
    rec_.last_us = std::max(rec_.last_us, t);
    prev_us_ = t;
}

void FlowStats::add(const Packet& p, std::uint32_t link_type) {
    if (!wants_frames()) {
        add_counted(p.time_us(), p.orig_len);
        return;
    }
    FlowRecord& r = rec_;
    const std::uint64_t t = p.time_us();
    const bool first = r.packets[0] + r.packets[1] == 0;
    if (first) {
        r.first_us = r.last_us = r.start_us = prev_us_ = t;
        if (p.layers != 0) {
            // Decoded again for its identifiers, once per flow: tenants that
            // share inner addresses are told apart by them.
            WideDissection wide;
            dissect_wide(p.bytes(), link_type, wide);
            r.outer = outer_text(wide.encap);
        }
        if (p.ip) {
            r.has_ip = true;
            r.proto = p.ip->protocol;
            r.src = p.ip->src_ip;
            r.dst = p.ip->dst_ip;
            r.src_port = p.ip->src_port;
            r.dst_port = p.ip->dst_port;
            if (r.proto == kProtoIcmp || r.proto == kProtoIcmpv6 || r.proto == kProtoSctp) {
                const auto ip_at = ip_header_at(p.bytes(), p);
                const auto at = ip_at ? transport_at(p.bytes(), *ip_at, *p.ip) : std::nullopt;
                const std::span<const std::uint8_t> b = p.bytes();
                if (at && *at + 4 <= b.size() && r.proto == kProtoSctp) {
                    // The flow's key keeps no SCTP ports; the table and its
                    // Community ID take the first packet's.
                    r.src_port = static_cast<std::uint16_t>(b[*at] << 8 | b[*at + 1]);
                    r.dst_port = static_cast<std::uint16_t>(b[*at + 2] << 8 | b[*at + 3]);
                } else if (at && *at + 2 <= b.size() && r.proto != kProtoSctp) {
                    r.icmp_type = b[*at];
                    r.icmp_code = b[*at + 1];
                }
            }
        }
    }
    // The initiator's way is 0; a packet of the other endpoint's is 1.
    // By the ports the packets' keys hold: none for SCTP.
    const std::uint16_t key_src_port = r.proto == kProtoSctp ? 0 : r.src_port;
    const bool back = r.has_ip && p.ip &&
                      !(p.ip->src_ip == r.src && p.ip->src_port == key_src_port) &&
                      p.ip->dst_ip == r.src;
    const int d = back && features_->directions ? 1 : 0;
    r.packets[d] += 1;
    r.bytes[d] += p.orig_len;
    if (features_->directions) {
        if (p.payload_offset && *p.payload_offset < p.caplen) {
            const std::size_t begin = payload_begin(p.bytes(), p);
            r.payload[d] += std::max(payload_end(p.bytes(), p), begin) - begin;
        }
        if (p.ip && p.ip->protocol == kProtoTcp) {
            r.tcp_flags |= p.ip->tcp_flags;
        }
    }
    r.first_us = std::min(r.first_us, t);
    r.last_us = std::max(r.last_us, t);
    if (r.sizes.size() < features_->first_n) {
        r.sizes.push_back(p.orig_len);
        r.dirs.push_back(back ? 1 : 0);
        r.gaps.push_back(static_cast<std::int64_t>(t) - static_cast<std::int64_t>(prev_us_));
    }
    prev_us_ = t;
    if (features_->row_bytes > 0) {
        add_row(p, link_type);
    }
}

void FlowStats::add_row(const Packet& p, std::uint32_t link_type) {
    const FlowFeatures& f = *features_;
    const std::size_t width =
        std::size_t(f.row_bytes) * (f.row_packets == 0 ? 1 : std::size_t(f.row_packets));
    if (rec_.row.empty()) {
        rec_.row.assign(width, 0);
    }
    std::size_t at, room;
    if (f.row_packets == 0) {
        at = row_slots_; // bytes filled so far
        room = width - at;
    } else {
        if (row_slots_ >= f.row_packets) {
            return;
        }
        at = std::size_t(row_slots_) * f.row_bytes;
        room = f.row_bytes;
    }
    if (room == 0) {
        return;
    }
    std::span<const std::uint8_t> bytes = p.bytes();
    std::size_t from = 0;
    if (f.payload) {
        from = p.payload_offset ? payload_begin(bytes, p) : bytes.size();
        bytes = bytes.first(std::max(payload_end(bytes, p), from));
    }
    const std::size_t n = std::min(room, bytes.size() - from);
    std::uint8_t* out = rec_.row.data() + at;
    if (f.mask != 0 && !f.payload) {
        // Masked on a copy of the whole frame: the fields are found there.
        std::vector<std::uint8_t> frame(bytes.begin(), bytes.end());
        mask_frame(frame, p, link_type, f.mask, n);
        std::copy_n(frame.begin(), n, out);
    } else {
        std::copy_n(bytes.begin() + from, n, out);
    }
    row_slots_ += f.row_packets == 0 ? static_cast<std::uint32_t>(n) : 1;
}

std::string flow_community_id(const FlowRecord& r) {
    if (!r.has_ip || r.src.family != r.dst.family) {
        return "";
    }
    CommunityTuple t{r.src, r.dst, r.proto, r.src_port, r.dst_port};
    if (r.proto == kProtoIcmp || r.proto == kProtoIcmpv6) {
        t.src_port = r.icmp_type;
        t.dst_port = r.icmp_code;
    }
    return community_id(t);
}

bool is_archive_file(const std::string& path) {
    // Archives are files: a pipe is not even opened to look, since its
    // writer could meet no reader (and die of SIGPIPE) before the run opens
    // it again, and the run would then wait for a writer forever.
    struct stat st {};
    if (path == "-" || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return false;
    }
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    char head[8] = {};
    if (!fd.valid() || ::pread(fd.get(), head, sizeof head, 0) != sizeof head) {
        return false;
    }
    // Any version: a later one is refused by the reader in its own words.
    return std::string_view(head, 6) == kArchiveMagic.substr(0, 6);
}

namespace {

Status hand_over(std::vector<FlowStats*>& done, const FlowSink& sink) {
    std::ranges::sort(done, {}, [](const FlowStats* s) { return s->record().id; });
    for (const FlowStats* s : done) {
        if (auto st = sink(s->record()); !st) {
            return st;
        }
    }
    done.clear();
    return {};
}

// How far ahead of its use a record's header is asked for.
constexpr std::size_t kLookahead = 16;
// Records whose headers are gathered before they are decoded: few enough that
// their lines are still in the nearest caches when the decoding comes to them
// (4,096 at a time made the decoding miss again, 10-15% of the table's time).
constexpr std::size_t kGathered = 64;
// Flows are read in chunks, one chunk to a thread at a time, of at most this
// many flows and about this many bytes of byte rows.
constexpr std::size_t kChunkFlows = 256;
constexpr std::size_t kChunkRowBytes = std::size_t(16) << 20;

// One chunk's outcome: the records of its flows with packets, in order, up to
// the first failure, which ends the run once those records are handed over.
struct Chunk {
    std::vector<FlowRecord> records;
    // Records whose packets all carry both names (host, mac; or as far as a
    // row read from a flow's first packets saw), with their second name.  The
    // flow of the other end was opened first (a packet opens its source's
    // flow before its destination's, and an end seen before has its flow
    // already), so handed over in order, such a record keeps its first name
    // unless earlier flows had it more often than the second.
    std::vector<std::pair<std::size_t, std::string>> others;
    RunSummary summary;
    Status status;
    bool ready = false;
};

class ArchiveFlows {
public:
    ArchiveFlows(const FlowStatsOptions& opt, const ArchiveReader& archive)
        : opt_(opt), archive_(archive),
          filter_(build_filter(opt.ip_filters, opt.port_filters, opt.control.ip_prefixes)),
          filtered_(!filter_.ips.empty() || !filter_.prefixes.empty() || !filter_.ports.empty()) {
        const std::size_t row = std::size_t(opt.features.row_bytes) *
                                std::max<std::size_t>(opt.features.row_packets, 1);
        chunk_flows_ =
            std::clamp<std::size_t>(kChunkRowBytes / std::max<std::size_t>(row, 1), 1, kChunkFlows);
    }

    std::size_t chunks() const {
        return (archive_.flows().size() + chunk_flows_ - 1) / chunk_flows_;
    }

    // Reads the flows of chunk `c`; safe on several threads at once.
    Chunk read(std::size_t c) const {
        Chunk out;
        const std::vector<FlowEntry>& flows = archive_.flows();
        const std::span<const std::uint8_t> file = archive_.file();
        std::vector<StoredPacket> stored;
        const std::size_t end = std::min(flows.size(), (c + 1) * chunk_flows_);
        for (std::size_t i = c * chunk_flows_; i < end; ++i) {
            if (opt_.control.cancelled()) {
                out.status = runtime_error("interrupted");
                break;
            }
            auto offsets = archive_.get_packet_offsets(flows[i], false);
            if (!offsets) {
                out.status = std::unexpected(offsets.error());
                break;
            }
            FlowStats stats(opt_.features);
            stats.record().id = flows[i].id;
            FlowKeys names;                           // none until the first packet
            std::optional<FragmentTracker> fragments; // made at a first fragment
            // Byte rows without filters read only the packets they keep: the
            // flow entry has the counts.
            const bool counted = !opt_.features.directions && !filtered_;
            // Byte rows mostly need a flow's first packet or two: their
            // gathering starts small and doubles.
            std::size_t step = counted ? 2 : kGathered;
            // A flow's records lie scattered over the mapped file.  Their
            // headers are read first, in a loop of their own and asked for
            // ahead, so that the misses overlap instead of coming one by one
            // between decodings.
            const std::vector<std::uint64_t>& at = *offsets;
            const std::size_t ahead_to = counted ? 0 : at.size();
            std::optional<Error> damaged;
            std::uint64_t added = 0;
            for (std::size_t from = 0, to = 0;
                 from < at.size() && (!counted || stats.wants_frames());
                 from = to, step = std::min(step * 2, kGathered)) {
                to = std::min(at.size(), from + step);
                stored.clear();
                for (std::size_t k = from; k < to; ++k) {
                    const std::size_t next = k + kLookahead;
                    if (next < ahead_to && at[next] + 64 < file.size()) {
                        // The header, and the frame's first headers, which
                        // run into the next line.
                        __builtin_prefetch(file.data() + at[next]);
                        __builtin_prefetch(file.data() + at[next] + 64);
                    }
                    // Only the frame's first bytes are read here; a cut
                    // archive is caught before anything is published.
                    if (auto s = archive_.packet_at(at[k], false)) {
                        stored.push_back(*s);
                    } else if (!damaged) {
                        // The module's reading leaves such a record out; a
                        // table that did so would count a packet it never
                        // read, so the archive is refused as damaged.
                        damaged = Error{ErrorKind::Runtime, damaged_record(flows[i].id, at[k])};
                    }
                }
                if (damaged) {
                    break;
                }
                for (std::size_t k = 0; k < stored.size() && (!counted || stats.wants_frames());
                     ++k) {
                    add(stats, stored[k], out.summary, names, fragments, flows[i]);
                    ++added;
                }
            }
            if (damaged) {
                out.status = std::unexpected(std::move(*damaged));
                break;
            }
            std::string other;
            std::tie(stats.record().key, other) = name_of(names, flows[i]);
            if (counted && added != 0) {
                out.summary.packets +=
                    flows[i].packet_count - std::min<std::uint64_t>(added, flows[i].packet_count);
                stats.record().packets[0] = flows[i].packet_count;
                stats.record().bytes[0] = flows[i].total_bytes;
            }
            if (stats.record().packets[0] + stats.record().packets[1] != 0) {
                if (!other.empty()) {
                    out.others.emplace_back(out.records.size(), std::move(other));
                }
                out.records.push_back(std::move(stats.record()));
            }
        }
        return out;
    }

private:
    Packet decode(const StoredPacket& s) const {
        return from_pcap_record(s.ts_sec, s.ts_usec, s.orig_len, SharedBytes::borrowed(s.data),
                                archive_.link_type(), opt_.decode);
    }

    // Under host and mac a packet has two names, one for each end, and is
    // stored in both flows; a flow's name is the one all its packets share.
    // `names` starts as the first packet's and keeps only those every later
    // packet has too.
    static void narrow(FlowKeys& names, const FlowKeys& keys) {
        if (names.count == 0) {
            names = keys;
            return;
        }
        if (names.count == 2) {
            const bool first = std::ranges::find(keys, names.keys[0]) != keys.end();
            const bool second = std::ranges::find(keys, names.keys[1]) != keys.end();
            if (first != second) {
                names.keys[0] = first ? names.keys[0] : names.keys[1];
                names.count = 1;
            }
        }
    }

    // A flow's name, and where every packet has both names, the other one
    // too: the two flows then hold the same packets.  The build may have
    // recorded which end a host flow is; if not, the names are told apart in
    // the order of the flows (see Chunk::others).
    std::pair<std::string, std::string> name_of(const FlowKeys& names,
                                                const FlowEntry& entry) const {
        if (names.count == 0) {
            return {};
        }
        if (names.count == 1) {
            return {flow_name(opt_.strategy, names.keys[0]), ""};
        }
        const HostSide side =
            entry.host_side != HostSide::Unknown ? entry.host_side : entry.mac_side;
        if (side != HostSide::Unknown) {
            return {flow_name(opt_.strategy, names.keys[side == HostSide::Destination ? 1 : 0]),
                    ""};
        }
        return {flow_name(opt_.strategy, names.keys[0]), flow_name(opt_.strategy, names.keys[1])};
    }

    void add(FlowStats& stats, const StoredPacket& s, RunSummary& summary, FlowKeys& names,
             std::optional<FragmentTracker>& fragments, const FlowEntry& entry) const {
        const std::uint64_t t = std::uint64_t(s.ts_sec) * 1000000 + s.ts_usec;
        ++summary.packets;
        note_time(summary, t);
        Packet p = decode(s);
        if (opt_.decode == Decode::Wide && p.fragment.fragment) {
            // A datagram's later fragments were stored in its first one's
            // flow, but carry no ports of their own: they take the first's,
            // as they did when the capture was read, before any filter.
            if (!fragments) {
                fragments.emplace();
            }
            if (!fragments->place(p)) {
                take_flow_ports(p, entry);
            }
        }
        if (names.count != 1) {
            // One name is as narrow as it gets.
            narrow(names, flow_keys(opt_.strategy, p));
        }
        if (!filter_.matches(p)) {
            return;
        }
        stats.add(p, p.link_type ? p.link_type : archive_.link_type());
    }

    // A later fragment whose first fragment is not in its flow: an idle
    // timeout (or a TCP restart) put that one into an earlier flow of the
    // same ends.  Where flows are told apart by ports (session, flow), every
    // packet of the flow has its ports, so the fragment had them when the
    // capture was read: the flow's, as its first packet has them.
    void take_flow_ports(Packet& p, const FlowEntry& entry) const {
        // Between two ends of one address the way cannot be told without
        // the first fragment: the ports stay unknown (0).
        if ((opt_.strategy != SplitStrategy::Session && opt_.strategy != SplitStrategy::Flow) ||
            !p.ip || p.fragment.outer_datagram != 0 || p.ip->protocol != entry.proto ||
            entry.src_addr == entry.dst_addr) {
            return;
        }
        IpInfo& ip = *p.ip;
        if (address16(ip.src_ip) == entry.src_addr && address16(ip.dst_ip) == entry.dst_addr) {
            ip.src_port = entry.src_port;
            ip.dst_port = entry.dst_port;
        } else if (address16(ip.src_ip) == entry.dst_addr &&
                   address16(ip.dst_ip) == entry.src_addr) {
            ip.src_port = entry.dst_port;
            ip.dst_port = entry.src_port;
        }
    }

    const FlowStatsOptions& opt_;
    const ArchiveReader& archive_;
    const PacketFilter filter_;
    const bool filtered_;
    std::size_t chunk_flows_;
};

Status run_archive(const FlowStatsOptions& opt, const FlowSink& sink) {
    auto reader = ArchiveReader::open(opt.input_path);
    if (!reader) {
        return std::unexpected(reader.error());
    }
    if (auto why = (*reader)->format_problem()) {
        return runtime_error(*why);
    }
    const ArchiveFlows source(opt, **reader);
    const std::size_t chunks = source.chunks();
    RunSummary summary;
    // How many flows handed over had each name (by its hash): a later flow
    // of the same name (cut off by an idle timeout or a TCP restart when the
    // archive was built) is "-2", "-3" and so on, as in a table of the
    // capture.
    std::unordered_map<std::size_t, std::uint32_t> uses;
    const std::hash<std::string> hash;
    // Hands a chunk's records over; false when the run ends with it.
    Status ended;
    auto take = [&](Chunk& chunk) {
        summary.packets += chunk.summary.packets;
        if (chunk.summary.packets != 0) {
            note_time(summary, chunk.summary.first_us);
            note_time(summary, chunk.summary.last_us);
        }
        auto other = chunk.others.begin();
        for (std::size_t k = 0; k < chunk.records.size(); ++k) {
            FlowRecord& r = chunk.records[k];
            std::uint32_t& n = uses[hash(r.key)];
            if (other != chunk.others.end() && other->first == k) {
                if (std::uint32_t& m = uses[hash(other->second)]; m < n) {
                    r.key = std::move(other->second);
                    ++m;
                } else {
                    ++n;
                }
                ++other;
            } else {
                ++n;
            }
            if (const std::uint32_t times = uses[hash(r.key)]; times > 1) {
                r.key += "-" + std::to_string(times);
            }
            ++summary.flows;
            if (auto st = sink(r); !st) {
                ended = st;
                return false;
            }
        }
        ended = chunk.status;
        return bool(chunk.status);
    };

    // Helper threads read chunks ahead, at most `window` of them, while this
    // one hands them over in order and reads the next itself whenever no
    // helper has taken it yet (with no helpers, it reads every chunk).
    const std::size_t window = 4 * std::size_t(std::max(opt.threads, 1u));
    std::vector<Chunk> slots(window);
    std::mutex mutex;
    std::condition_variable changed;
    std::size_t next = 0;   // the next chunk to read
    std::size_t handed = 0; // chunks handed over
    bool stop = false;
    auto read = [&](std::size_t c) {
        Chunk chunk;
        try {
            chunk = source.read(c);
        } catch (const std::bad_alloc&) {
            // Nothing may leave a helper: the failure goes with the chunk.
            chunk.status = fail(ErrorKind::Panic, "out of memory while gathering flows");
        }
        return chunk;
    };
    auto work = [&] {
        std::unique_lock lock(mutex);
        for (;;) {
            changed.wait(lock, [&] { return stop || next >= chunks || next < handed + window; });
            if (stop || next >= chunks) {
                return;
            }
            const std::size_t c = next++;
            lock.unlock();
            Chunk chunk = read(c);
            lock.lock();
            slots[c % window] = std::move(chunk);
            slots[c % window].ready = true;
            changed.notify_all();
        }
    };
    std::vector<std::jthread> helpers;
    // Declared after the helpers, so that it stops them before they are
    // joined, on every way out.
    struct Stop {
        std::mutex& mutex;
        std::condition_variable& changed;
        bool& stop;
        ~Stop() {
            {
                std::lock_guard lock(mutex);
                stop = true;
            }
            changed.notify_all();
        }
    } stopper{mutex, changed, stop};
    try {
        for (unsigned t = 0; t < opt.threads && chunks > 1; ++t) {
            helpers.emplace_back(work);
        }
    } catch (const std::system_error&) {
        // Fewer helpers, or none: this thread reads what they do not.
    }
    for (std::size_t c = 0; c < chunks; ++c) {
        Chunk chunk;
        {
            std::unique_lock lock(mutex);
            if (!slots[c % window].ready && next == c) {
                ++next;
                lock.unlock();
                chunk = read(c);
                lock.lock();
            } else {
                changed.wait(lock, [&] { return slots[c % window].ready; });
                chunk = std::move(slots[c % window]);
                slots[c % window] = Chunk{};
            }
            handed = c + 1;
            changed.notify_all();
        }
        if (!take(chunk)) {
            // A record gone because the archive was cut under us is not a
            // damaged archive.
            return !ended && (*reader)->cut_short() ? runtime_error(kInputCutWhileRead) : ended;
        }
    }
    if ((*reader)->cut_short()) {
        return runtime_error(kInputCutWhileRead);
    }
    summary.link_type = (*reader)->link_type();
    summary.host_flows = std::ranges::any_of(
        (*reader)->flows(), [](const FlowEntry& e) { return e.host_side != HostSide::Unknown; });
    summary.mac_flows = std::ranges::any_of(
        (*reader)->flows(), [](const FlowEntry& e) { return e.mac_side != HostSide::Unknown; });
    if (opt.control.summary) {
        *opt.control.summary = summary;
    }
    return {};
}

Status run_capture(const FlowStatsOptions& opt, const FlowSink& sink) {
    auto reader = open_run_input(opt.input_path, opt.control, opt.decode);
    if (!reader) {
        return std::unexpected(reader.error());
    }
    (*reader)->tolerate_cut_off(opt.control.tolerate_cut_off);
    (*reader)->refuse_cut_off(opt.control.refuse_cut_off);
    const std::uint32_t link_type = (*reader)->link_type();
    const std::uint64_t input_size = (*reader)->input_size().value_or(0);
    // Our own hold on a whole input: packets in flight borrow from it.
    const std::vector<SharedBytes> inputs = (*reader)->stable_inputs();
    const PacketFilter filter =
        build_filter(opt.ip_filters, opt.port_filters, opt.control.ip_prefixes);
    RunSummary summary;

    // Live flows by key; flows handed over early leave a hash of their key
    // behind, so that the boundaries number a key's next flow after them.
    std::unordered_map<FlowKey, std::unique_ptr<FlowStats>, FlowKeyHash> live;
    std::unordered_set<std::uint64_t> ended;
    FlowBoundaries boundaries(opt.boundaries, opt.strategy, [&](const FlowKey& key) {
        return live.contains(key) || ended.contains(hash_key(key));
    });
    std::uint64_t next_id = opt.first_id;
    std::uint64_t now_us = 0;
    std::vector<FlowStats*> done;
    auto flush_idle = [&]() -> Status {
        const std::uint64_t timeout = opt.boundaries.idle_timeout_us;
        std::vector<FlowKey> gone;
        for (auto& [key, stats] : live) {
            if (stats->record().last_us + timeout < now_us) {
                gone.push_back(key);
            }
        }
        std::vector<std::unique_ptr<FlowStats>> hold;
        for (const FlowKey& key : gone) {
            auto node = live.extract(key);
            ended.insert(hash_key(key));
            done.push_back(node.mapped().get());
            hold.push_back(std::move(node.mapped()));
        }
        return hand_over(done, sink);
    };

    // The capture is read and decoded on a thread of its own, beside the
    // flows' accounting on this one.
    auto producer = PacketProducer::start(std::move(*reader), opt.decode);
    if (!producer) {
        return std::unexpected(producer.error());
    }
    FragmentTracker fragments;
    DecodeCounts counts;
    std::uint64_t seen = 0;
    auto add = [&](Packet& packet) -> Status {
        if (opt.boundaries.idle_timeout_us != 0 && ++seen % 65536 == 0) {
            if (auto st = flush_idle(); !st) {
                return st;
            }
        }
        counts.count(packet);
        note_time(summary, packet.time_us());
        now_us = std::max(now_us, packet.time_us());
        summary.packets_no_ip += packet.ip ? 0 : 1;
        if (opt.decode == Decode::Wide) {
            (void)fragments.place(packet);
        }
        if (!filter.matches(packet)) {
            return Status{};
        }
        for (const FlowKey& k : flow_keys(opt.strategy, packet)) {
            const FlowKey key = boundaries.place(k, hash_key(k), packet);
            auto [it, fresh] = live.try_emplace(key);
            if (fresh) {
                it->second = std::make_unique<FlowStats>(opt.features);
                it->second->record().id = next_id++;
                it->second->record().key = flow_name(opt.strategy, key);
                ++summary.flows;
            }
            it->second->add(packet, packet.link_type);
        }
        return {};
    };
    Status drained = drain(**producer, opt.control, opt.progress, input_size, summary,
                           [&](PacketChannel::Batch& batch) -> Status {
                               for (Packet& packet : batch) {
                                   if (auto st = add(packet); !st) {
                                       return st;
                                   }
                               }
                               return {};
                           });
    if (!drained) {
        return drained;
    }
    if (any_cut(inputs)) {
        return runtime_error(kInputCutWhileRead);
    }
    summary.link_type = link_type;
    for (auto& [key, stats] : live) {
        done.push_back(stats.get());
    }
    if (auto st = hand_over(done, sink); !st) {
        return st;
    }
    if (opt.control.summary) {
        *opt.control.summary = summary;
    }
    if (opt.counts) {
        counts.unmatched_fragments = fragments.unmatched();
        counts.link_type = link_type;
        *opt.counts = counts;
    }
    return {};
}

} // namespace

Status run_flow_stats(const FlowStatsOptions& opt, const FlowSink& sink) {
    try {
        if (opt.control.combined_inputs.empty() && is_archive_file(opt.input_path)) {
            return run_archive(opt, sink);
        }
        return run_capture(opt, sink);
    } catch (const std::bad_alloc&) {
        return fail(ErrorKind::Panic, "out of memory while gathering flows");
    }
}

} // namespace vexlor
