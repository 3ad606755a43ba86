#include "archive/format.h"

#include <algorithm>

namespace vexlor {

std::array<std::uint8_t, kArchiveHeaderSize> encode_archive_header(std::uint32_t link_type) {
    std::array<std::uint8_t, kArchiveHeaderSize> out{};
    std::copy(kArchiveMagic.begin(), kArchiveMagic.end(), out.begin());
    store_le<std::uint32_t>(out.data() + 8, kArchiveVersion);
    store_le<std::uint32_t>(out.data() + 12, link_type);
    return out;
}

void FlowEntry::encode(std::span<std::uint8_t, kFlowEntrySize> out) const {
    std::uint8_t* p = out.data();
    std::fill(out.begin(), out.end(), std::uint8_t{0});
    store_le(p, id);
    p[8] = proto;
    p[9] = host_side != HostSide::Unknown  ? static_cast<std::uint8_t>(host_side)
           : mac_side != HostSide::Unknown ? static_cast<std::uint8_t>(2 + int(mac_side))
                                           : 0;
    std::copy(src_addr.begin(), src_addr.end(), p + 16);
    std::copy(dst_addr.begin(), dst_addr.end(), p + 32);
    store_le(p + 48, src_port);
    store_le(p + 50, dst_port);
    store_le(p + 56, offset_list_offset);
    store_le(p + 64, offset_list_length);
    store_le(p + 68, packet_count);
    store_le(p + 72, start_ts);
    store_le(p + 80, end_ts);
    store_le(p + 88, total_bytes);
}

std::array<std::uint8_t, kFlowEntrySize> FlowEntry::encode() const {
    std::array<std::uint8_t, kFlowEntrySize> out;
    encode(std::span<std::uint8_t, kFlowEntrySize>(out));
    return out;
}

FlowEntry FlowEntry::decode(std::span<const std::uint8_t, kFlowEntrySize> in) {
    const std::uint8_t* p = in.data();
    FlowEntry e;
    e.id = load_le<std::uint64_t>(p);
    e.proto = p[8];
    e.host_side = p[9] <= 2 ? static_cast<HostSide>(p[9]) : HostSide::Unknown;
    e.mac_side = p[9] == 3 || p[9] == 4 ? static_cast<HostSide>(p[9] - 2) : HostSide::Unknown;
    std::copy(p + 16, p + 32, e.src_addr.begin());
    std::copy(p + 32, p + 48, e.dst_addr.begin());
    e.src_port = load_le<std::uint16_t>(p + 48);
    e.dst_port = load_le<std::uint16_t>(p + 50);
    e.offset_list_offset = load_le<std::uint64_t>(p + 56);
    e.offset_list_length = load_le<std::uint32_t>(p + 64);
    e.packet_count = load_le<std::uint32_t>(p + 68);
    e.start_ts = load_le<std::uint64_t>(p + 72);
    e.end_ts = load_le<std::uint64_t>(p + 80);
    e.total_bytes = load_le<std::uint64_t>(p + 88);
    return e;
}

std::array<std::uint8_t, kFooterSize> ArchiveFooter::encode() const {
    std::array<std::uint8_t, kFooterSize> out{};
    std::uint8_t* p = out.data();
    std::copy(kFooterMagic.begin(), kFooterMagic.end(), p);
    store_le<std::uint64_t>(p + 8, version);
    store_le(p + 16, data_offset);
    store_le(p + 24, data_length);
    store_le(p + 32, lists_offset);
    store_le(p + 40, lists_length);
    store_le(p + 48, table_offset);
    store_le(p + 56, table_length);
    store_le(p + 64, flow_count);
    store_le(p + 72, index_offset);
    store_le(p + 80, index_length);
    return out;
}

std::optional<ArchiveFooter> ArchiveFooter::decode(std::span<const std::uint8_t, kFooterSize> in) {
    const std::uint8_t* p = in.data();
    if (!std::equal(kFooterMagic.begin(), kFooterMagic.end(), p)) {
        return std::nullopt;
    }
    ArchiveFooter f;
    f.version = static_cast<std::uint32_t>(load_le<std::uint64_t>(p + 8));
    f.data_offset = load_le<std::uint64_t>(p + 16);
    f.data_length = load_le<std::uint64_t>(p + 24);
    f.lists_offset = load_le<std::uint64_t>(p + 32);
    f.lists_length = load_le<std::uint64_t>(p + 40);
    f.table_offset = load_le<std::uint64_t>(p + 48);
    f.table_length = load_le<std::uint64_t>(p + 56);
    f.flow_count = load_le<std::uint64_t>(p + 64);
    f.index_offset = load_le<std::uint64_t>(p + 72);
    f.index_length = load_le<std::uint64_t>(p + 80);
    return f;
}

std::size_t varint_size(std::uint64_t v) {
    std::size_t n = 1;
    while (v >= 0x80) {
        v >>= 7;
        ++n;
    }
    return n;
}

std::size_t encode_varint(std::uint64_t v, std::uint8_t* out) {
    std::size_t n = 0;
    while (v >= 0x80) {
        out[n++] = static_cast<std::uint8_t>((v & 0x7F) | 0x80);
        v >>= 7;
    }
    out[n++] = static_cast<std::uint8_t>(v);
    return n;
}

void append_varint(std::vector<std::uint8_t>& out, std::uint64_t v) {
    std::uint8_t b[kMaxVarintSize];
    out.insert(out.end(), b, b + encode_varint(v, b));
}

std::optional<DecodedVarint> decode_varint(ByteSpan bytes) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::uint8_t b = bytes[i];
        // The tenth byte holds bit 63 only; anything more would not fit.
        if (i == kMaxVarintSize - 1 && b > 1) {
            return std::nullopt;
        }
        value |= static_cast<std::uint64_t>(b & 0x7F) << (7 * i);
        if ((b & 0x80) == 0) {
            return DecodedVarint{value, i + 1};
        }
    }
    return std::nullopt;
}

void append_offset_list(std::vector<std::uint8_t>& out, std::span<const std::uint64_t> offsets) {
    append_le<std::uint64_t>(out, offsets[0]);
    for (std::size_t i = 1; i < offsets.size(); ++i) {
        append_varint(out, offsets[i] - offsets[i - 1]);
    }
}

std::vector<std::uint64_t> decode_offset_list(ByteSpan list, std::uint32_t packet_count) {
    std::vector<std::uint64_t> out;
    if (list.size() < 8 || packet_count == 0) {
        return out;
    }
    std::uint64_t offset = load_le<std::uint64_t>(list.data());
    // A damaged packet_count must not size the allocation: every further
    // offset costs at least one byte of the list.
    out.reserve(std::min<std::uint64_t>(packet_count, list.size() - 7));
    out.push_back(offset);
    std::size_t pos = 8;
    while (out.size() < packet_count && pos < list.size()) {
        auto v = decode_varint(list.subspan(pos));
        if (!v) {
            break;
        }
        offset += v->value; // wraps like the writer's difference did
        out.push_back(offset);
        pos += varint_size(v->value);
    }
    return out;
}

} // namespace vexlor
