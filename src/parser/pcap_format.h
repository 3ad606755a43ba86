// The capture formats' own facts, in one place: magic numbers, header and
// record layouts, and the classic pcap that this system writes (split files,
// pipe_archive images, extracted flows, and the records stored in archives,
// whose headers are classic pcap record headers).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "common/byte_order.h"

namespace vexlor {

// ---- classic pcap -----------------------------------------------------------

// The magic as a little-endian reader sees it: the file's byte order and its
// timestamp unit follow from which of the four it is.
inline constexpr std::uint32_t kPcapMagicMicro = 0xA1B2C3D4;
inline constexpr std::uint32_t kPcapMagicNano = 0xA1B23C4D;
inline constexpr std::uint32_t kPcapMagicMicroSwapped = 0xD4C3B2A1;
inline constexpr std::uint32_t kPcapMagicNanoSwapped = 0x4D3CB2A1;

inline constexpr std::size_t kPcapGlobalHeaderSize = 24;
inline constexpr std::size_t kPcapRecordHeaderSize = 16;
// Where the global header keeps the snapshot length and the link type.
inline constexpr std::size_t kPcapSnaplenAt = 16;
inline constexpr std::size_t kPcapLinkTypeAt = 20;

// What this system writes: little-endian, microseconds, version 2.4, no time
// zone offset or accuracy, snapshot length 65535.
inline constexpr std::uint32_t kPcapWrittenSnaplen = 65535;

using PcapGlobalHeader = std::array<std::uint8_t, kPcapGlobalHeaderSize>;
using PcapRecordHeader = std::array<std::uint8_t, kPcapRecordHeaderSize>;

inline PcapGlobalHeader pcap_global_header(std::uint32_t link_type) {
    PcapGlobalHeader out{};
    store_le<std::uint32_t>(out.data(), kPcapMagicMicro);
    store_le<std::uint16_t>(out.data() + 4, 2); // major version
    store_le<std::uint16_t>(out.data() + 6, 4); // minor version
    store_le<std::uint32_t>(out.data() + kPcapSnaplenAt, kPcapWrittenSnaplen);
    store_le<std::uint32_t>(out.data() + kPcapLinkTypeAt, link_type);
    return out;
}

inline PcapRecordHeader pcap_record_header(std::uint32_t ts_sec, std::uint32_t ts_usec,
                                           std::uint32_t caplen, std::uint32_t orig_len) {
    PcapRecordHeader out;
    store_le(out.data(), ts_sec);
    store_le(out.data() + 4, ts_usec);
    store_le(out.data() + 8, caplen);
    store_le(out.data() + 12, orig_len);
    return out;
}

// ---- pcapng -----------------------------------------------------------------

// The section header block's type reads the same in both byte orders; the
// byte-order magic inside it says which one the section uses.
inline constexpr std::uint32_t kPcapngBlockShb = 0x0A0D0D0A;
inline constexpr std::uint32_t kPcapngBlockIdb = 0x00000001;
// The obsolete Packet Block: an EPB whose interface id is a 16-bit field
// followed by a 16-bit drop count.
inline constexpr std::uint32_t kPcapngBlockOpb = 0x00000002;
inline constexpr std::uint32_t kPcapngBlockSpb = 0x00000003;
inline constexpr std::uint32_t kPcapngBlockEpb = 0x00000006;
inline constexpr std::uint32_t kPcapngByteOrderMagic = 0x1A2B3C4D;
inline constexpr std::uint32_t kPcapngByteOrderMagicSwapped = 0x4D3C2B1A;

} // namespace vexlor
