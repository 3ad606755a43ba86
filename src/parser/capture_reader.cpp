#include "parser/capture_reader.h"

#include "common/byte_reader.h"
#include "parser/pcap_reader.h"
#include "parser/pcapng_reader.h"

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

Expected<std::unique_ptr<CaptureReader>, ParseError> open_reader(SharedBytes bytes,
                                                                 ReaderOptions options) {
    ByteReader head(bytes.span(), Endian::Little);
    const auto magic = head.u32();
    if (!magic) {
        return std::unexpected(ParseError::unknown_format());
    }
    if (PcapReader::recognises(*magic)) {
        return PcapReader::open(std::move(bytes));
    }
    if (PcapngReader::recognises(*magic)) {
        return PcapngReader::open(std::move(bytes), options);
    }
    return std::unexpected(ParseError::unknown_format());
}

} // namespace vexlor
