// Reader for classic pcap files: both byte orders, microsecond or nanosecond
// sub-second fields.
#pragma once

#include "common/byte_reader.h"
#include "parser/capture_reader.h"

#include <cstdint>
#include <expected>
#include <memory>

namespace vexlor {

class PcapReader final : public CaptureReader {
public:
    static constexpr std::size_t kGlobalHeaderLen = 24;
    static constexpr std::size_t kRecordHeaderLen = 16;

    // Reads the global header of `bytes`, which starts with one of the four
    // classic magic numbers.  Fails when the header is incomplete.
    static std::expected<std::unique_ptr<PcapReader>, ParseError> open(SharedBytes bytes);

    // The network field of the global header, all 32 bits.
    std::uint32_t link_type() const override { return link_type_; }
    bool records_in_written_form() const override {
        return endian_ == Endian::Little && !nanosecond_;
    }
    RecordResult next_record() override;

    std::uint32_t snaplen() const { return snaplen_; }
    bool nanosecond() const { return nanosecond_; }
    bool swapped() const { return endian_ == Endian::Big; }
    // Where the next record header starts.
    std::uint64_t offset() const { return cursor_.position(); }

private:
    PcapReader(SharedBytes bytes, Endian endian, bool nanosecond, std::uint32_t snaplen,
               std::uint32_t link_type);

    ByteReader cursor_; // over the whole buffer; stands at the next record header
    Endian endian_;
    bool nanosecond_;
    std::uint32_t snaplen_;
    std::uint32_t link_type_;
};

} // namespace vexlor
