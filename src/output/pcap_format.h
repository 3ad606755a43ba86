// Classic pcap as this system writes it: little-endian, microsecond
// timestamps, version 2.4, snapshot length 65535.
#pragma once

#include "common/result.h"

#include <bit>
#include <cstdint>
#include <cstring>
#include <span>

namespace vexlor {

inline constexpr std::size_t kPcapGlobalHeaderSize = 24;
inline constexpr std::size_t kPcapRecordHeaderSize = 16;
inline constexpr std::uint32_t kPcapWrittenSnaplen = 65535;

inline void put_le32(std::uint8_t* p, std::uint32_t v) {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(p, &v, 4);
        return;
    }
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

inline void pcap_global_header(std::uint8_t out[kPcapGlobalHeaderSize], std::uint32_t link_type) {
    put_le32(out, 0xA1B2C3D4u);
    out[4] = 2; // major version
    out[5] = 0;
    out[6] = 4; // minor version
    out[7] = 0;
    put_le32(out + 8, 0);  // time zone offset
    put_le32(out + 12, 0); // timestamp accuracy
    put_le32(out + 16, kPcapWrittenSnaplen);
    put_le32(out + 20, link_type);
}

inline void pcap_record_header(std::uint8_t out[kPcapRecordHeaderSize], std::uint32_t ts_sec,
                               std::uint32_t ts_usec, std::uint32_t caplen,
                               std::uint32_t orig_len) {
    put_le32(out, ts_sec);
    put_le32(out + 4, ts_usec);
    put_le32(out + 8, caplen);
    put_le32(out + 12, orig_len);
}

// One 16-byte record header and its frame, appended through `out`, anything
// with `Status write(span)`.
template <class Out>
Status write_pcap_frame_raw(Out& out, std::uint32_t ts_sec, std::uint32_t ts_usec,
                            std::uint32_t caplen, std::uint32_t orig_len,
                            std::span<const std::uint8_t> frame) {
    std::uint8_t hdr[kPcapRecordHeaderSize];
    pcap_record_header(hdr, ts_sec, ts_usec, caplen, orig_len);
    if (auto st = out.write(hdr); !st) {
        return st;
    }
    return out.write(frame);
}

} // namespace vexlor
