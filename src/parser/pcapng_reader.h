// Reader for pcapng files.  By default: the first section's byte order and
// interfaces, Enhanced and Simple Packet Blocks.  In a wide reading: every
// section as written, obsolete Packet Blocks too.
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

// One interface of the table packets name by index.
struct InterfaceInfo {
    // Ticks are 10^-tsresol seconds.  Exponents up to 19 give a tick rate
    // that fits 64 bits, held in `units_per_second`; above that it is 0 and
    // `to_time` works from the exponent alone.
    std::uint8_t tsresol = 6;
    std::uint64_t units_per_second = 1000000;
    // A wide reading's other two timestamp options: ticks of 2^-tsresol
    // seconds (if_tsresol with its high bit set), and if_tsoffset, seconds
    // added to every time.  Left as they are, the module's reading.
    bool binary_units = false;
    std::int64_t offset_secs = 0;
    std::uint32_t snaplen = 0;
    std::uint16_t link_type = 0;

    void set_tsresol(std::uint8_t exponent);
    void set_binary_tsresol(std::uint8_t exponent);
    TickTime to_time(std::uint64_t ticks) const;

private:
    TickTime decimal_or_binary_time(std::uint64_t ticks) const;
};

class PcapngReader final : public CaptureReader {
public:
    // Whether `magic` (the first four bytes) opens a pcapng section.
    static bool recognises(std::uint32_t magic) { return magic == kPcapngBlockShb; }

    // Scans the blocks in front of the first packet block: byte order from
    // the section header, interface table from the interface descriptions.
    //
    // By default that table and byte order stay fixed: later SHBs and IDBs
    // are skipped, packets of an undeclared interface get microseconds and
    // Ethernet, SPBs Ethernet.
    //
    // With `options.wide`, each SHB starts a section with its own byte order
    // and an empty table, and each IDB, wherever it stands, adds to the
    // current section's table.  Packets (EPB, SPB, obsolete Packet Blocks)
    // take their interface's link type and time unit; an SPB belongs to
    // interface 0 and holds at most its original length and the snapshot
    // length.  A packet whose interface is not in the table is skipped and
    // counted in skipped_records().
    static Expected<std::unique_ptr<PcapngReader>, ParseError>
    open(std::unique_ptr<CaptureSource> source, ReaderOptions options = {});

    // Interface 0's link type at the first packet block, or Ethernet when no
    // interface was declared.
    std::uint32_t link_type() const override;
    RecordResult next_record() override;
    std::vector<std::uint32_t> link_types_seen() const override { return seen_; }
    std::uint64_t skipped_records() const override { return skipped_; }

private:
    PcapngReader(std::unique_ptr<CaptureSource> source, bool wide)
        : CaptureReader(std::move(source)), wide_(wide) {}

    // The bytes from `start` on, enough of them for a block's head.
    Expected<ByteSpan, ParseError> head_window(std::uint64_t start);
    // `rest` (from `start` on), grown to hold the whole block of `total`
    // bytes where the data has it.
    Expected<ByteSpan, ParseError> block_window(std::uint64_t start, std::uint32_t total,
                                                ByteSpan rest);
    Expected<void, ParseError> scan_to_first_packet();
    bool is_packet_block(std::uint32_t type) const;
    // Applies an SHB (read in `order`) or an IDB to the section state.
    Expected<void, ParseError> take_section_block(std::uint32_t type, ByteSpan block, Endian order);
    // The interface a packet names; nullptr when a wide reading must skip it.
    const InterfaceInfo* interface(std::uint32_t id) const;
    // `r`, its link type noted for link_types_seen().
    RawRecord seen(RawRecord r);

    bool wide_;
    std::vector<InterfaceInfo> interfaces_; // indexed by interface id
    Endian endian_ = Endian::Little;
    std::uint64_t offset_ = 0; // start of the next block
    std::vector<std::uint32_t> seen_;
    std::uint64_t skipped_ = 0;
};

} // namespace vexlor
