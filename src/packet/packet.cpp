#include "packet/packet.h"

#include <utility>

namespace vexlor {

Packet from_pcap_record(std::uint32_t ts_sec, std::uint32_t ts_usec, std::uint32_t orig_len,
                        SharedBytes data, std::uint32_t link_type) {
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
    return p;
}

} // namespace vexlor
