#include "parser/pcapng_reader.h"

#include <array>
#include <cstdio>
#include <string>

namespace vexlor {
namespace {

constexpr std::uint16_t kOptEnd = 0;
constexpr std::uint16_t kOptTsresol = 9;

constexpr std::size_t kBlockHeadLen = 8;   // type and total length
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
constexpr std::uint64_t round_up4(std::uint64_t n) {
    return (n + 3) & ~std::uint64_t{3};
}

// Packets naming an interface that was not declared before the first packet
// block: microsecond ticks, Ethernet.
constexpr InterfaceInfo kUnknownInterface{6, 1000000, 0, kLinkEthernet};

ParseError invalid(const char* detail) {
    return ParseError::invalid_pcapng(detail);
}

// A block's type and total length, when its 8-byte head is there.
struct BlockHead {
    std::uint32_t type = 0;
    std::uint32_t total = 0;
};

// The bytes of `data` from `offset` on; none when it lies beyond the end.
ByteSpan bytes_from(ByteSpan data, std::uint64_t offset) {
    return offset <= data.size() ? data.subspan(static_cast<std::size_t>(offset)) : ByteSpan{};
}

std::optional<BlockHead> read_head(ByteReader& head) {
    const auto type = head.u32();
    const auto total = head.u32();
    if (!type || !total) {
        return std::nullopt;
    }
    return BlockHead{*type, *total};
}

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
        const std::uint64_t usec = units_per_second <= 999999 ? rem * 1000000 / units_per_second
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

Expected<std::unique_ptr<PcapngReader>, ParseError> PcapngReader::open(SharedBytes bytes) {
    const ByteSpan data = bytes.span();
    Endian endian = Endian::Little;
    std::vector<InterfaceInfo> interfaces;
    std::uint64_t offset = 0;
    for (;;) {
        const ByteSpan rest = bytes_from(data, offset);
        ByteReader head(rest, endian);
        auto h = read_head(head);
        if (!h) {
            break;
        }
        // The SHB type reads the same in both byte orders; its byte-order
        // magic decides how everything after it is read, its own length
        // included.
        if (h->type == kPcapngBlockShb) {
            ByteReader le(rest, Endian::Little);
            const auto magic = le.skip(kBlockHeadLen) ? le.u32() : std::nullopt;
            if (magic) {
                if (*magic == kPcapngByteOrderMagic) {
                    endian = Endian::Little;
                } else if (*magic == kPcapngByteOrderMagicSwapped) {
                    endian = Endian::Big;
                } else {
                    char hex[9];
                    std::snprintf(hex, sizeof hex, "%08X", *magic);
                    return std::unexpected(ParseError::invalid_pcapng(
                        std::string("Unknown byte order magic: 0x") + hex));
                }
                ByteReader again(rest, endian);
                h = read_head(again); // the same eight bytes, in the section's order
            }
        }
        if (h->total < kMinBlockLen || h->total > rest.size()) {
            // A block with a broken length, or one cut off by the end of the
            // file, ends the scan; reading resumes just past its head.
            offset += kBlockHeadLen;
            break;
        }
        const ByteSpan block = rest.first(h->total);
        if (h->type == kPcapngBlockEpb || h->type == kPcapngBlockSpb) {
            break;
        }
        if (h->type == kPcapngBlockShb && h->total < kMinShbLen) {
            return std::unexpected(invalid("SHB too short"));
        }
        if (h->type == kPcapngBlockIdb) {
            ByteReader idb(block, endian);
            InterfaceInfo info;
            const auto link_type = idb.skip(kBlockHeadLen) ? idb.u16() : std::nullopt;
            const auto snaplen = idb.skip(2) ? idb.u32() : std::nullopt; // after a reserved u16
            if (h->total < kMinIdbLen || !link_type || !snaplen) {
                return std::unexpected(invalid("IDB too short"));
            }
            info.link_type = *link_type;
            info.snaplen = *snaplen;
            if (h->total >= kMinIdbWithOptionsLen) {
                walk_idb_options(
                    block.subspan(kIdbOptionsStart, h->total - kIdbOptionsStart - kTrailerLen),
                    endian, info);
            }
            interfaces.push_back(info);
        }
        offset += round_up4(h->total);
    }
    return std::unique_ptr<PcapngReader>(
        new PcapngReader(std::move(bytes), endian, std::move(interfaces), offset));
}

std::uint32_t PcapngReader::link_type() const {
    return interfaces_.empty() ? kLinkEthernet : interfaces_.front().link_type;
}

namespace {

// The fixed fields of an EPB after its head.
struct EpbFields {
    std::uint32_t interface_id;
    std::uint64_t ticks;
    std::uint32_t caplen;
    std::uint32_t orig_len;
};
std::optional<EpbFields> read_epb(ByteReader& epb) {
    const auto interface_id = epb.u32();
    const auto ts_high = epb.u32();
    const auto ts_low = epb.u32();
    const auto caplen = epb.u32();
    const auto orig_len = epb.u32();
    if (!interface_id || !ts_high || !ts_low || !caplen || !orig_len) {
        return std::nullopt;
    }
    return EpbFields{*interface_id, (std::uint64_t{*ts_high} << 32) | *ts_low, *caplen, *orig_len};
}

} // namespace

RecordResult PcapngReader::next_record() {
    const ByteSpan data = data_.span();
    for (;;) {
        const std::uint64_t start = offset_;
        const ByteSpan rest = bytes_from(data, start);
        ByteReader head(rest, endian_);
        const auto found = read_head(head);
        if (!found) {
            if (!rest.empty()) {
                note_cut_off(start);
            }
            return std::nullopt;
        }
        const BlockHead h = *found;
        offset_ = start + kBlockHeadLen;
        // A file cut off inside its last block (a capture still being
        // written, or truncated in transfer) ends the data without an error.
        if (h.total < kMinBlockLen || h.total > rest.size()) {
            if (h.total > rest.size()) {
                note_cut_off(start);
            }
            return std::nullopt;
        }
        const ByteSpan block = rest.first(h.total);
        ByteReader body(block, endian_);
        (void)body.skip(kBlockHeadLen);

        if (h.type == kPcapngBlockEpb) {
            const auto epb = h.total < kMinEpbLen ? std::nullopt : read_epb(body);
            if (!epb) {
                return std::unexpected(invalid("EPB too short"));
            }
            // Checked in 64 bits: a captured length near 2^32 must not wrap
            // into something that seems to fit.
            if (!fits(kEpbDataStart, epb->caplen, h.total - kTrailerLen)) {
                return std::unexpected(invalid("EPB packet data exceeds block"));
            }
            offset_ = start + h.total;
            const InterfaceInfo& iface = epb->interface_id < interfaces_.size()
                                             ? interfaces_[epb->interface_id]
                                             : kUnknownInterface;
            const TickTime t = iface.to_time(epb->ticks);
            return RawRecord{t.sec, t.usec, epb->orig_len, iface.link_type,
                             block.subspan(kEpbDataStart, epb->caplen)};
        }
        if (h.type == kPcapngBlockSpb) {
            const auto orig_len = h.total < kMinSpbLen ? std::nullopt : body.u32();
            if (!orig_len) {
                return std::unexpected(invalid("SPB too short"));
            }
            // The whole rest of the body is the frame, padding included: an
            // SPB does not say how much of it was captured.
            const ByteSpan frame = block.subspan(kSpbDataStart, h.total - kMinSpbLen);
            offset_ = start + h.total;
            if (frame.empty()) {
                // An SPB of 16 bytes carries no frame at all.  It yields no
                // packet, but ending the capture there would silently drop
                // every packet after it: skip it and read on.
                continue;
            }
            // No timestamp and no interface id: time 0 on Ethernet.
            return RawRecord{0, 0, *orig_len, kLinkEthernet, frame};
        }
        // Anything else, including an SHB or IDB after the first packet
        // block: the table built at opening stays as it is.
        offset_ = start + round_up4(h.total);
    }
}

} // namespace vexlor
