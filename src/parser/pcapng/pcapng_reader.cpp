#include "parser/pcapng/pcapng_reader.h"

#include <array>
#include <cstdio>
#include <string>

namespace vexlor {
namespace {

constexpr std::uint32_t kBlockShb = 0x0A0D0D0A;
constexpr std::uint32_t kBlockIdb = 0x00000001;
constexpr std::uint32_t kBlockSpb = 0x00000003;
constexpr std::uint32_t kBlockEpb = 0x00000006;

constexpr std::uint32_t kByteOrderMagic = 0x1A2B3C4D;
constexpr std::uint32_t kByteOrderMagicSwapped = 0x4D3C2B1A;

constexpr std::uint16_t kOptEnd = 0;
constexpr std::uint16_t kOptTsresol = 9;

constexpr std::size_t kBlockHeadLen = 8;  // type and total length
constexpr std::uint32_t kMinBlockLen = 12; // head and trailing length copy
constexpr std::uint32_t kMinShbLen = 16;
constexpr std::uint32_t kMinIdbLen = 20;
constexpr std::uint32_t kIdbOptionsStart = 16;
constexpr std::uint32_t kMinIdbWithOptionsLen = 24; // room for one option head
constexpr std::uint32_t kMinEpbLen = 32;
constexpr std::uint32_t kEpbDataStart = 28;
constexpr std::uint32_t kMinSpbLen = 16;
constexpr std::uint32_t kSpbDataStart = 12;
constexpr std::uint32_t kTrailerLen = 4;

constexpr std::array<std::uint64_t, 20> kPow10 = [] {
    std::array<std::uint64_t, 20> p{};
    std::uint64_t v = 1;
    for (auto& x : p) {
        x = v;
        v *= 10;
    }
    return p;
}();

// Block lengths are padded to 32-bit boundaries.  64-bit, so 0xFFFFFFFD
// rounds to 2^32 instead of wrapping to 0.
constexpr std::uint64_t round_up4(std::uint64_t n) { return (n + 3) & ~std::uint64_t{3}; }

// Packets naming an interface that was not declared before the first packet
// block: microsecond ticks, Ethernet.
constexpr InterfaceInfo kUnknownInterface{6, 1000000, 0, 1};

ParseError invalid(const char* detail) { return ParseError::invalid_pcapng(detail); }

// The options of an IDB, `body` running from the first option to the
// trailing length copy.  Only if_tsresol matters to us.
void walk_idb_options(ByteSpan body, Endian endian, InterfaceInfo& info) {
    ByteReader opts(body, endian);
    for (;;) {
        const auto code = opts.u16();
        const auto len = opts.u16();
        if (!code || !len || *code == kOptEnd) {
            return;
        }
        const auto value = opts.bytes(*len);
        if (!value) {
            return; // the value runs past the block: ignore the rest
        }
        if (*code == kOptTsresol && !value->empty()) {
            const std::uint8_t v = (*value)[0];
            // With the high bit set the unit is a power of two; we keep the
            // default rather than guess.  A later if_tsresol overrides.
            if ((v & 0x80) == 0) {
                info.set_tsresol(v);
            }
        }
        if (!opts.skip(round_up4(*len) - *len)) {
            return;
        }
    }
}

} // namespace

void InterfaceInfo::set_tsresol(std::uint8_t exponent) {
    tsresol = exponent;
    units_per_second = exponent < kPow10.size() ? kPow10[exponent] : 0;
}

TickTime InterfaceInfo::to_time(std::uint64_t ticks) const {
    if (units_per_second != 0) {
        const std::uint64_t secs = ticks / units_per_second;
        const std::uint64_t rem = ticks % units_per_second;
        // rem < units, so rem * 10^6 stays below 10^12 in the first branch.
        const std::uint64_t usec = units_per_second <= 999999
                                       ? rem * 1000000 / units_per_second
                                       : rem / (units_per_second / 1000000);
        return {static_cast<std::uint32_t>(secs), static_cast<std::uint32_t>(usec)};
    }
    // 10^tsresol ticks per second is more than 2^64, so every 64-bit tick
    // count lies within the first second.  The exact microseconds are
    // ticks * 10^6 / 10^tsresol = ticks / 10^(tsresol - 6), computed without a
    // wider type; from tsresol 26 on, that divisor exceeds any tick count.
    const std::size_t shift = tsresol - 6u;
    const std::uint64_t usec = shift < kPow10.size() ? ticks / kPow10[shift] : 0;
    return {0, static_cast<std::uint32_t>(usec)};
}

std::expected<std::unique_ptr<PcapngReader>, ParseError> PcapngReader::open(SharedBytes bytes) {
    const ByteSpan data = bytes.span();
    Endian endian = Endian::Little;
    std::vector<InterfaceInfo> interfaces;
    std::uint64_t offset = 0;
    while (fits(offset, kBlockHeadLen, data.size())) {
        const ByteSpan rest = data.subspan(offset);
        ByteReader head(rest, endian);
        // The SHB type reads the same in both byte orders.
        const std::uint32_t type = *head.u32();
        if (type == kBlockShb) {
            ByteReader magic_at(rest, Endian::Little);
            magic_at.seek(8);
            if (const auto magic = magic_at.u32()) {
                if (*magic == kByteOrderMagic) {
                    endian = Endian::Little;
                } else if (*magic == kByteOrderMagicSwapped) {
                    endian = Endian::Big;
                } else {
                    char hex[9];
                    std::snprintf(hex, sizeof hex, "%08X", *magic);
                    return std::unexpected(ParseError::invalid_pcapng(
                        std::string("Unknown byte order magic: 0x") + hex));
                }
                head.set_endian(endian);
            }
        }
        const std::uint32_t total = *head.u32();
        if (total < kMinBlockLen || total > rest.size()) {
            // A block with a broken length, or one cut off by the end of the
            // file, ends the scan; reading resumes just past its head.
            offset += kBlockHeadLen;
            break;
        }
        const ByteSpan block = rest.first(total);
        if (type == kBlockEpb || type == kBlockSpb) {
            break;
        }
        if (type == kBlockShb && total < kMinShbLen) {
            return std::unexpected(invalid("SHB too short"));
        }
        if (type == kBlockIdb) {
            if (total < kMinIdbLen) {
                return std::unexpected(invalid("IDB too short"));
            }
            ByteReader idb(block, endian);
            idb.seek(8);
            InterfaceInfo info;
            info.link_type = *idb.u16();
            idb.skip(2); // reserved
            info.snaplen = *idb.u32();
            if (total >= kMinIdbWithOptionsLen) {
                walk_idb_options(
                    block.subspan(kIdbOptionsStart, total - kIdbOptionsStart - kTrailerLen),
                    endian, info);
            }
            interfaces.push_back(info);
        }
        offset += round_up4(total);
    }
    return std::unique_ptr<PcapngReader>(
        new PcapngReader(std::move(bytes), endian, std::move(interfaces), offset));
}

std::uint32_t PcapngReader::link_type() const {
    return interfaces_.empty() ? 1 : interfaces_.front().link_type;
}

RecordResult PcapngReader::next_record() {
    const ByteSpan data = data_.span();
    for (;;) {
        if (!fits(offset_, kBlockHeadLen, data.size())) {
            return std::nullopt;
        }
        const std::uint64_t start = offset_;
        const ByteSpan rest = data.subspan(start);
        ByteReader head(rest, endian_);
        const std::uint32_t type = *head.u32();
        const std::uint32_t total = *head.u32();
        offset_ = start + kBlockHeadLen;
        // A file cut off inside its last block (a capture still being
        // written, or truncated in transfer) ends the data without an error.
        if (total < kMinBlockLen || total > rest.size()) {
            return std::nullopt;
        }
        const ByteSpan block = rest.first(total);

        if (type == kBlockEpb) {
            if (total < kMinEpbLen) {
                return std::unexpected(invalid("EPB too short"));
            }
            ByteReader epb(block, endian_);
            epb.seek(8);
            const std::uint32_t interface_id = *epb.u32();
            const std::uint32_t ts_high = *epb.u32();
            const std::uint32_t ts_low = *epb.u32();
            const std::uint32_t caplen = *epb.u32();
            const std::uint32_t orig_len = *epb.u32();
            // Checked in 64 bits: a captured length near 2^32 must not wrap
            // into something that seems to fit.
            if (!fits(kEpbDataStart, caplen, total - kTrailerLen)) {
                return std::unexpected(invalid("EPB packet data exceeds block"));
            }
            offset_ = start + total;
            const InterfaceInfo& iface =
                interface_id < interfaces_.size() ? interfaces_[interface_id] : kUnknownInterface;
            const TickTime t = iface.to_time((std::uint64_t{ts_high} << 32) | ts_low);
            return RawRecord{t.sec, t.usec, orig_len, iface.link_type,
                             block.subspan(kEpbDataStart, caplen)};
        }
        if (type == kBlockSpb) {
            if (total < kMinSpbLen) {
                return std::unexpected(invalid("SPB too short"));
            }
            ByteReader spb(block, endian_);
            spb.seek(8);
            const std::uint32_t orig_len = *spb.u32();
            // The whole rest of the body is the frame, padding included: an
            // SPB does not say how much of it was captured.
            const ByteSpan frame = block.subspan(kSpbDataStart, total - kMinSpbLen);
            offset_ = start + total;
            if (frame.empty()) {
                // An SPB of 16 bytes carries no frame at all.  It yields no
                // packet, but ending the capture there would silently drop
                // every packet after it: skip it and read on.
                continue;
            }
            // No timestamp and no interface id: time 0 on Ethernet.
            return RawRecord{0, 0, orig_len, 1, frame};
        }
        // Anything else, including an SHB or IDB after the first packet
        // block: the table built at opening stays as it is.
        offset_ = start + round_up4(total);
    }
}

} // namespace vexlor
