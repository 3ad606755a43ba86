// Reader for pcapng files: the first section's byte order and interfaces,
// Enhanced and Simple Packet Blocks.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <vector>

#include "common/byte_reader.h"
#include "parser/capture_reader.h"
#include "parser/pcap_format.h"

namespace vexlor {

// Seconds (low 32 bits) and microseconds of a pcapng tick count.
struct TickTime {
    std::uint32_t sec = 0;
    std::uint32_t usec = 0;
    friend bool operator==(const TickTime&, const TickTime&) = default;
};

// One interface declared before the first packet block.
struct InterfaceInfo {
    // Ticks are 10^-tsresol seconds.  Exponents up to 19 give a tick rate
    // that fits 64 bits, held in `units_per_second`; above that it is 0 and
    // `to_time` works from the exponent alone.
    std::uint8_t tsresol = 6;
    std::uint64_t units_per_second = 1000000;
    std::uint32_t snaplen = 0;
    std::uint16_t link_type = 0;

    void set_tsresol(std::uint8_t exponent);
    TickTime to_time(std::uint64_t ticks) const;
};

class PcapngReader final : public CaptureReader {
public:
    // Whether `magic` (the first four bytes) opens a pcapng section.
    static bool recognises(std::uint32_t magic) { return magic == kPcapngBlockShb; }

    // Scans the blocks in front of the first packet block: byte order from
    // the section header, interface table from the interface descriptions.
    static Expected<std::unique_ptr<PcapngReader>, ParseError> open(SharedBytes bytes);

    // Interface 0's link type, or Ethernet when no interface was declared.
    std::uint32_t link_type() const override;
    RecordResult next_record() override;

private:
    PcapngReader(SharedBytes bytes, Endian endian, std::vector<InterfaceInfo> interfaces,
                 std::uint64_t offset)
        : CaptureReader(std::move(bytes)), interfaces_(std::move(interfaces)), endian_(endian),
          offset_(offset) {}

    std::vector<InterfaceInfo> interfaces_; // fixed at opening, indexed by interface id
    Endian endian_;
    std::uint64_t offset_; // start of the next block
};

} // namespace vexlor
