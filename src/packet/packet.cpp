#include "packet/packet.h"

#include <utility>

#include "packet/wide_dissect.h"

namespace vexlor {

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
    if (decode == Decode::Basic) {
        detail::dissect_packet(p, link_type);
        return p;
    }
    WideDissection d;
    dissect_wide(p.bytes(), link_type, d);
    p.src_mac = d.base.src_mac;
    p.dst_mac = d.base.dst_mac;
    p.bssid = d.base.bssid;
    p.ip = d.base.ip;
    p.payload_offset = d.base.payload_offset;
    p.link_type = link_type;
    p.layers = d.encap.kinds;
    p.fragment = d.fragment;
    return p;
}

} // namespace vexlor
