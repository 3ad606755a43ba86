// Frame dissection on arbitrary frames.  The first four bytes choose a link
// type (each decoding step, raw IP, and a "1 with upper bits set" value that
// must not be taken for Ethernet); the rest is the captured frame, in a buffer
// of exactly its size so that any read past it is a sanitizer report.
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>

#include "common/byte_reader.h"
#include "fuzz_util.h"
#include "packet/packet.h"

namespace {

constexpr std::uint32_t kLinkTypes[] = {vexlor::kLinkEthernet, vexlor::kLinkIeee80211,
                                        vexlor::kLinkRadiotap, 101, 0x00010001};

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
    return 0;
}
