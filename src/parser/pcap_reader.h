// Reader for classic pcap files: both byte orders, microsecond or nanosecond
// sub-second fields.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>

#include "common/byte_reader.h"
#include "parser/capture_reader.h"
#include "parser/pcap_format.h"

namespace vexlor {

class PcapReader final : public CaptureReader {
public:
    // Whether `magic` (the first four bytes, read little-endian) is one of
    // the four classic magics.
    static bool recognises(std::uint32_t magic);

    // Reads the global header of `source`, which starts with one of the
    // four classic magic numbers.  Fails when the header is incomplete.
    static Expected<std::unique_ptr<PcapReader>, ParseError>
    open(std::unique_ptr<CaptureSource> source);

    // The network field of the global header, all 32 bits.
    std::uint32_t link_type() const override { return link_type_; }
    bool records_in_written_form() const override {
        return endian_ == Endian::Little && !nanosecond_;
    }
    RecordResult next_record() override;

private:
    PcapReader(std::unique_ptr<CaptureSource> source, Endian endian, bool nanosecond,
               std::uint32_t link_type, std::uint32_t snaplen);

    std::uint64_t offset_ = kPcapGlobalHeaderSize; // of the next record header
    Endian endian_;
    bool nanosecond_;
    std::uint32_t link_type_;
    std::uint32_t snaplen_; // as the global header states it; 0 for none
};

} // namespace vexlor
