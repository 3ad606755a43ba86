#include "parser/capture_reader.h"

#include "common/byte_reader.h"
#include "parser/pcap/pcap_reader.h"
#include "parser/pcapng/pcapng_reader.h"

namespace vexlor {

PacketResult CaptureReader::next_packet() {
    auto rec = next_record();
    if (!rec) {
        return std::unexpected(std::move(rec.error()));
    }
    if (!*rec) {
        return std::optional<Packet>();
    }
    const RawRecord& r = **rec;
    // The record's frame is a view into data_; the packet gets a counted
    // slice of the same bytes, so it outlives the reader.
    const std::size_t offset =
        r.frame.empty() ? 0 : static_cast<std::size_t>(r.frame.data() - data_.data());
    return from_pcap_record(r.ts_sec, r.ts_usec, r.orig_len, data_.slice(offset, r.frame.size()),
                            r.link_type);
}

std::expected<std::unique_ptr<CaptureReader>, ParseError> open_reader(SharedBytes bytes) {
    ByteReader head(bytes.span(), Endian::Little);
    const auto magic = head.u32();
    if (!magic) {
        return std::unexpected(ParseError::unknown_format());
    }
    switch (*magic) {
    case 0xA1B2C3D4: // little-endian, microseconds
    case 0xA1B23C4D: // little-endian, nanoseconds
    case 0xD4C3B2A1: // big-endian, microseconds
    case 0x4D3CB2A1: // big-endian, nanoseconds
        return PcapReader::open(std::move(bytes));
    case 0x0A0D0D0A: // pcapng section header; byte order follows inside it
        return PcapngReader::open(std::move(bytes));
    default:
        return std::unexpected(ParseError::unknown_format());
    }
}

} // namespace vexlor
