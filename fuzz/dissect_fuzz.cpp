// Fuzz target for frame dissection.  The first four bytes choose a link type
// (each decoding step, plus raw IP and a "1 with upper bits set" value that
// must not be taken for Ethernet); the rest is the captured frame.
#include "common/byte_reader.h"
#include "packet/packet.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iterator>

namespace {

constexpr std::uint32_t kLinkTypes[] = {vexlor::kLinkEthernet, vexlor::kLinkIeee80211,
                                        vexlor::kLinkRadiotap, 101, 0x00010001};

// Checked in every build: NDEBUG must not switch the oracle off.
void require(bool ok) {
    if (!ok) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) {
        return 0;
    }
    const std::uint32_t pick = vexlor::load_le<std::uint32_t>(data);
    const std::uint32_t link_type = kLinkTypes[pick % std::size(kLinkTypes)];
    const vexlor::ByteSpan frame(data + 4, size - 4);

    const vexlor::Dissection d = vexlor::dissect_frame(frame, link_type);
    require(!d.payload_offset || *d.payload_offset <= frame.size());
    require(!d.payload_offset || d.ip.has_value());
    require(d.src_mac.has_value() == d.dst_mac.has_value());
    require(!d.bssid || d.src_mac.has_value());
    return 0;
}
