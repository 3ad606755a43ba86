// Byte layout of a .vexlor archive.
//
//     header (64) | packet records | offset lists | flow table | index region | footer (128)
//
// The regions follow one another without gaps.  Every integer is unsigned and
// little-endian, and nothing is aligned: readers use unaligned loads only.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "common/byte_reader.h"
#include "packet/packet.h"
#include "parser/pcap_format.h"

namespace vexlor {

inline constexpr std::string_view kArchiveMagic = "VEXLOR02";
inline constexpr std::string_view kFooterMagic = "VXLRFOOT";
inline constexpr std::uint32_t kArchiveVersion = 2;

inline constexpr std::size_t kArchiveHeaderSize = 64;
inline constexpr std::size_t kFlowEntrySize = 96;
inline constexpr std::size_t kIndexHeaderSize = 36;
inline constexpr std::size_t kFooterSize = 128;
inline constexpr std::size_t kMaxVarintSize = 10;

// The packet records always start right after the header.  Each is a
// classic pcap record: its header (pcap_record_header) and the frame.
inline constexpr std::uint64_t kDataStart = kArchiveHeaderSize;

using Address16 = std::array<std::uint8_t, 16>;

// The 16-byte address form of flow entries and the IP index: IPv6 as is,
// IPv4 as IPv4-mapped IPv6 (so both families sort in one key space).
inline Address16 address16(const IpAddress& addr) {
    return addr.mapped16();
}

// The 64-byte archive header: magic, version, link type, zero padding.
std::array<std::uint8_t, kArchiveHeaderSize> encode_archive_header(std::uint32_t link_type);

// Which address of a flow's entry the flow belongs to, for strategies that
// put one packet into a flow per address (host): the two flows of a packet
// have the same addresses otherwise.  Stored in the entry's byte 9, which
// older writers (and the module) leave zero.
enum class HostSide : std::uint8_t { Unknown = 0, Source = 1, Destination = 2 };

// One row of the flow table.  Reserved bytes are written as zero and not kept.
struct FlowEntry {
    std::uint64_t id = 0;
    std::uint8_t proto = 0;
    HostSide host_side = HostSide::Unknown;
    // The same for the mac strategy, whose two flows of a packet are its
    // source's and destination's link addresses: stored in byte 9 as 3 and
    // 4, which readers that know only the host strategy's take for unknown.
    HostSide mac_side = HostSide::Unknown;
    Address16 src_addr{};
    Address16 dst_addr{};
    std::uint16_t src_port = 0;
    std::uint16_t dst_port = 0;
    std::uint64_t offset_list_offset = 0;
    std::uint32_t offset_list_length = 0;
    std::uint32_t packet_count = 0;
    std::uint64_t start_ts = 0; // microseconds
    std::uint64_t end_ts = 0;   // of the packet stored last, not the latest time
    std::uint64_t total_bytes = 0;

    void encode(std::span<std::uint8_t, kFlowEntrySize> out) const;
    std::array<std::uint8_t, kFlowEntrySize> encode() const;
    static FlowEntry decode(std::span<const std::uint8_t, kFlowEntrySize> in);

    friend bool operator==(const FlowEntry&, const FlowEntry&) = default;
};

// The last 128 bytes of an archive.  An archive without index region has
// index_offset == index_length == 0.
struct ArchiveFooter {
    std::uint32_t version = kArchiveVersion; // stored as u64; only the low half is kept
    std::uint64_t data_offset = kDataStart;
    std::uint64_t data_length = 0;
    std::uint64_t lists_offset = 0;
    std::uint64_t lists_length = 0;
    std::uint64_t table_offset = 0;
    std::uint64_t table_length = 0;
    std::uint64_t flow_count = 0;
    std::uint64_t index_offset = 0;
    std::uint64_t index_length = 0;

    std::array<std::uint8_t, kFooterSize> encode() const;
    // Nothing when the bytes do not start with the footer magic.  Nothing
    // else is checked here: the reader decides which fields it trusts.
    static std::optional<ArchiveFooter> decode(std::span<const std::uint8_t, kFooterSize> in);

    friend bool operator==(const ArchiveFooter&, const ArchiveFooter&) = default;
};

// Unsigned LEB128, shortest form: 1 byte for 0..127, 2 for 128..16383, ...,
// 10 for the top of the 64-bit range.
std::size_t varint_size(std::uint64_t v);
std::size_t encode_varint(std::uint64_t v, std::uint8_t* out); // room for kMaxVarintSize
void append_varint(std::vector<std::uint8_t>& out, std::uint64_t v);

struct DecodedVarint {
    std::uint64_t value = 0;
    std::size_t size = 0; // bytes read
};
// Nothing when the bytes end before the varint does, or when its tenth byte
// is above 1 (a value beyond 64 bits).
std::optional<DecodedVarint> decode_varint(ByteSpan bytes);

// A flow's offset list: the first offset as u64, then the varint differences
// between neighbours.  `offsets` is non-empty and ascending.
void append_offset_list(std::vector<std::uint8_t>& out, std::span<const std::uint64_t> offsets);

// Decodes up to `packet_count` offsets from a list already known to lie in
// the file.  Damage shortens the answer and is never an error: a list under
// 8 bytes gives nothing, decoding ends at the list's end, at a varint cut off
// by it, or at a varint beyond 64 bits.  The cursor advances by the shortest
// form of each decoded value (the writer never produces another form).
std::vector<std::uint64_t> decode_offset_list(ByteSpan list, std::uint32_t packet_count);

} // namespace vexlor
