#include "parser/pcapng_reader.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <string>

namespace vexlor {
namespace {

constexpr std::uint16_t kOptEnd = 0;
constexpr std::uint16_t kOptTsresol = 9;
constexpr std::uint16_t kOptTsoffset = 14;

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
constexpr InterfaceInfo kUnknownInterface{
    .tsresol = 6, .units_per_second = 1000000, .snaplen = 0, .link_type = kLinkEthernet};

ParseError invalid(const char* detail) {
    return ParseError::invalid_pcapng(detail);
}

// A block's type and total length, when its 8-byte head is there.
struct BlockHead {
    std::uint32_t type = 0;
    std::uint32_t total = 0;
};

std::optional<BlockHead> read_head(ByteReader& head) {
    const auto type = head.u32();
    const auto total = head.u32();
    if (!type || !total) {
        return std::nullopt;
    }
    return BlockHead{*type, *total};
}

// The options of an IDB, `body` running from the first option to the
// trailing length copy.  Only if_tsresol matters to us, and in a wide
// reading if_tsoffset.
void walk_idb_options(ByteSpan body, Endian endian, InterfaceInfo& info, bool wide) {
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
            // With the high bit set the unit is a power of two, which the
            // module's reading leaves at its default.  A later if_tsresol
            // overrides.
            if ((v & 0x80) == 0) {
                info.set_tsresol(v);
            } else if (wide) {
                info.set_binary_tsresol(v & 0x7F);
            }
        }
        if (*code == kOptTsoffset && wide && value->size() == 8) {
            ByteReader offset(*value, endian);
            info.offset_secs = static_cast<std::int64_t>(*offset.u64());
        }
        if (!opts.skip(round_up4(*len) - *len)) {
            return;
        }
    }
}

} // namespace

void InterfaceInfo::set_tsresol(std::uint8_t exponent) {
    tsresol = exponent;
    binary_units = false;
    units_per_second = exponent < kPow10.size() ? kPow10[exponent] : 0;
}

void InterfaceInfo::set_binary_tsresol(std::uint8_t exponent) {
    tsresol = exponent;
    binary_units = true;
}

TickTime InterfaceInfo::to_time(std::uint64_t ticks) const {
    TickTime t = decimal_or_binary_time(ticks);
    // Wraps as the 32-bit seconds of a pcap record do.
    t.sec = static_cast<std::uint32_t>(static_cast<std::uint64_t>(t.sec) +
                                       static_cast<std::uint64_t>(offset_secs));
    return t;
}

TickTime InterfaceInfo::decimal_or_binary_time(std::uint64_t ticks) const {
    if (binary_units) {
        // 2^-tsresol seconds a tick; the fraction's microseconds taken
        // from a 128-bit product, exact for every exponent up to 127.
        const unsigned e = tsresol;
        const std::uint64_t secs = e >= 64 ? 0 : ticks >> e;
        const unsigned __int128 rem = e >= 64 ? ticks : ticks & ((std::uint64_t{1} << e) - 1);
        const auto usec = static_cast<std::uint64_t>((rem * 1000000u) >> e);
        return {static_cast<std::uint32_t>(secs), static_cast<std::uint32_t>(usec)};
    }
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

namespace {

// A block's head read in the byte order it is written in, and that order.
struct SectionedHead {
    BlockHead head;
    Endian order;
};

// The head of the block at the start of `rest`, nullopt when it is cut off.
// The SHB type reads the same in both byte orders; with `follow_shb`, its
// byte-order magic decides how everything after it is read, its own length
// included.  An SHB whose magic is cut off keeps `current`: its length cannot
// fit then.
Expected<std::optional<SectionedHead>, ParseError> head_at(ByteSpan rest, Endian current,
                                                           bool follow_shb) {
    ByteReader head(rest, current);
    auto h = read_head(head);
    if (!h) {
        return std::optional<SectionedHead>();
    }
    if (!follow_shb || h->type != kPcapngBlockShb) {
        return std::optional(SectionedHead{*h, current});
    }
    ByteReader le(rest, Endian::Little);
    const auto magic = le.skip(kBlockHeadLen) ? le.u32() : std::nullopt;
    if (!magic) {
        return std::optional(SectionedHead{*h, current});
    }
    Endian order = Endian::Little;
    if (*magic == kPcapngByteOrderMagicSwapped) {
        order = Endian::Big;
    } else if (*magic != kPcapngByteOrderMagic) {
        char hex[9];
        std::snprintf(hex, sizeof hex, "%08X", *magic);
        return std::unexpected(
            ParseError::invalid_pcapng(std::string("Unknown byte order magic: 0x") + hex));
    }
    ByteReader again(rest, order); // the same eight bytes, in the section's order
    h = read_head(again);
    return h ? std::optional(SectionedHead{*h, order}) : std::nullopt;
}

// A block with a broken length, or one cut off by the end of the file.
bool broken_length(const BlockHead& h, ByteSpan rest) {
    return h.total < kMinBlockLen || h.total > rest.size();
}

ParseError short_block(std::uint64_t start, std::uint32_t total) {
    return ParseError::invalid_pcapng("block at byte " + std::to_string(start) +
                                      " has a total length of " + std::to_string(total) +
                                      ", below the 12 bytes of any block");
}

} // namespace

Expected<std::unique_ptr<PcapngReader>, ParseError>
PcapngReader::open(std::unique_ptr<CaptureSource> source, ReaderOptions options) {
    std::unique_ptr<PcapngReader> reader(new PcapngReader(std::move(source), options.wide));
    if (auto scanned = reader->scan_to_first_packet(); !scanned) {
        return std::unexpected(std::move(scanned.error()));
    }
    return reader;
}

Expected<ByteSpan, ParseError> PcapngReader::head_window(std::uint64_t start) {
    // Room for a section header's byte-order magic after the head.
    return window(start, kBlockHeadLen + 4);
}

Expected<ByteSpan, ParseError> PcapngReader::block_window(std::uint64_t start, std::uint32_t total,
                                                          ByteSpan rest) {
    if (total <= rest.size() || total < kMinBlockLen) {
        return rest;
    }
    return window(start, total);
}

Expected<void, ParseError> PcapngReader::scan_to_first_packet() {
    for (;;) {
        auto head = head_window(offset_);
        if (!head) {
            return std::unexpected(std::move(head.error()));
        }
        auto found = head_at(*head, endian_, true);
        if (!found) {
            return std::unexpected(std::move(found.error()));
        }
        if (!*found) {
            return {};
        }
        const auto [h, order] = **found;
        auto whole = block_window(offset_, h.total, *head);
        if (!whole) {
            return std::unexpected(std::move(whole.error()));
        }
        const ByteSpan rest = *whole;
        if (broken_length(h, rest)) {
            endian_ = order;
            if (wide_ || refuses_cut_off()) {
                // Told as the reading meets it: a length no block can have,
                // or the block the data ends in, from its start.
                return h.total < kMinBlockLen ? std::unexpected(short_block(offset_, h.total))
                                              : Expected<void, ParseError>{};
            }
            // This ends the scan; reading resumes just past the block's head.
            offset_ += kBlockHeadLen;
            return {};
        }
        if (is_packet_block(h.type)) {
            return {};
        }
        if (auto took = take_section_block(h.type, rest.first(h.total), order); !took) {
            return std::unexpected(std::move(took.error()));
        }
        offset_ += round_up4(h.total);
    }
}

bool PcapngReader::is_packet_block(std::uint32_t type) const {
    return type == kPcapngBlockEpb || type == kPcapngBlockSpb || (wide_ && type == kPcapngBlockOpb);
}

// An SHB sets the byte order of what follows it and, in a wide reading,
// empties the interface table; an IDB adds to the table.  Other blocks leave
// both alone.
Expected<void, ParseError> PcapngReader::take_section_block(std::uint32_t type, ByteSpan block,
                                                            Endian order) {
    if (type == kPcapngBlockShb) {
        if (block.size() < kMinShbLen) {
            return std::unexpected(invalid("SHB too short"));
        }
        endian_ = order;
        if (wide_) {
            interfaces_.clear();
        }
    }
    if (type == kPcapngBlockIdb) {
        ByteReader idb(block, endian_);
        InterfaceInfo info;
        const auto link_type = idb.skip(kBlockHeadLen) ? idb.u16() : std::nullopt;
        const auto snaplen = idb.skip(2) ? idb.u32() : std::nullopt; // after a reserved u16
        if (block.size() < kMinIdbLen || !link_type || !snaplen) {
            return std::unexpected(invalid("IDB too short"));
        }
        info.link_type = *link_type;
        info.snaplen = *snaplen;
        if (block.size() >= kMinIdbWithOptionsLen) {
            walk_idb_options(
                block.subspan(kIdbOptionsStart, block.size() - kIdbOptionsStart - kTrailerLen),
                endian_, info, wide_);
        }
        interfaces_.push_back(info);
    }
    return {};
}

std::uint32_t PcapngReader::link_type() const {
    return interfaces_.empty() ? kLinkEthernet : interfaces_.front().link_type;
}

namespace {

// The fixed fields of an EPB, or of an obsolete Packet Block, after its head.
struct EpbFields {
    std::uint32_t interface_id;
    std::uint64_t ticks;
    std::uint32_t caplen;
    std::uint32_t orig_len;
};
std::optional<EpbFields> read_epb(ByteReader& epb, bool obsolete) {
    // The obsolete block splits the interface id's 32 bits into a 16-bit id
    // and a drop count, in the section's byte order.
    const auto interface_id = obsolete ? std::optional<std::uint32_t>(epb.u16()) : epb.u32();
    const auto drops = obsolete ? epb.u16() : std::optional<std::uint16_t>(0);
    const auto ts_high = epb.u32();
    const auto ts_low = epb.u32();
    const auto caplen = epb.u32();
    const auto orig_len = epb.u32();
    if (!interface_id || !drops || !ts_high || !ts_low || !caplen || !orig_len) {
        return std::nullopt;
    }
    return EpbFields{*interface_id, (std::uint64_t{*ts_high} << 32) | *ts_low, *caplen, *orig_len};
}

} // namespace

const InterfaceInfo* PcapngReader::interface(std::uint32_t id) const {
    if (id < interfaces_.size()) {
        return &interfaces_[id];
    }
    return wide_ ? nullptr : &kUnknownInterface;
}

RawRecord PcapngReader::seen(RawRecord r) {
    // Nearly every record repeats the last link type: test that one first.
    if (seen_.empty() || (seen_.back() != r.link_type &&
                          std::find(seen_.begin(), seen_.end(), r.link_type) == seen_.end())) {
        seen_.push_back(r.link_type);
    }
    return r;
}

RecordResult PcapngReader::next_record() {
    for (;;) {
        const std::uint64_t start = offset_;
        auto head = head_window(start);
        if (!head) {
            return std::unexpected(std::move(head.error()));
        }
        // Only a wide reading follows a later SHB's byte order.
        auto found = head_at(*head, endian_, wide_);
        if (!found) {
            return std::unexpected(std::move(found.error()));
        }
        if (!*found) {
            if (!head->empty()) {
                return end_cut_off(start, true);
            }
            return data_end();
        }
        const auto [h, order] = **found;
        auto whole = block_window(start, h.total, *head);
        if (!whole) {
            return std::unexpected(std::move(whole.error()));
        }
        const ByteSpan rest = *whole;
        offset_ = start + kBlockHeadLen;
        // A file cut off inside its last block (a capture still being
        // written, or truncated in transfer) ends the data without an error.
        if (broken_length(h, rest)) {
            if (h.total > rest.size()) {
                return end_cut_off(start, true);
            }
            // A length no block can have: the blocks after it cannot be
            // found.  The module's reading ends there without a word; the
            // tool's tells the damage.
            if (wide_ || refuses_cut_off()) {
                return std::unexpected(short_block(start, h.total));
            }
            return data_end();
        }
        const ByteSpan block = rest.first(h.total);
        ByteReader body(block, endian_);
        (void)body.skip(kBlockHeadLen);

        if (h.type == kPcapngBlockEpb || (wide_ && h.type == kPcapngBlockOpb)) {
            const bool obsolete = h.type == kPcapngBlockOpb;
            const auto epb = h.total < kMinEpbLen ? std::nullopt : read_epb(body, obsolete);
            if (!epb) {
                return std::unexpected(invalid(obsolete ? "OPB too short" : "EPB too short"));
            }
            // Checked in 64 bits: a captured length near 2^32 must not wrap
            // into something that seems to fit.
            if (!fits(kEpbDataStart, epb->caplen, h.total - kTrailerLen)) {
                return std::unexpected(invalid(obsolete ? "OPB packet data exceeds block"
                                                        : "EPB packet data exceeds block"));
            }
            offset_ = start + h.total;
            const InterfaceInfo* iface = interface(epb->interface_id);
            if (!iface) {
                // Guessing a link type would split garbage into flows.
                ++skipped_;
                continue;
            }
            const TickTime t = iface->to_time(epb->ticks);
            return seen(RawRecord{t.sec, t.usec, epb->orig_len, iface->link_type,
                                  block.subspan(kEpbDataStart, epb->caplen)});
        }
        if (h.type == kPcapngBlockSpb) {
            const auto orig_len = h.total < kMinSpbLen ? std::nullopt : body.u32();
            if (!orig_len) {
                return std::unexpected(invalid("SPB too short"));
            }
            // By default the whole rest of the body is the frame, padding
            // included, on Ethernet.
            ByteSpan frame = block.subspan(kSpbDataStart, h.total - kMinSpbLen);
            offset_ = start + h.total;
            std::uint32_t link_type = kLinkEthernet;
            if (wide_) {
                // An SPB belongs to the section's first interface, and holds
                // the packet's first bytes up to that interface's snapshot
                // length (0: none); the rest of the body is padding.
                if (interfaces_.empty()) {
                    ++skipped_;
                    continue;
                }
                const InterfaceInfo& iface = interfaces_.front();
                std::uint64_t caplen = std::min<std::uint64_t>(frame.size(), *orig_len);
                if (iface.snaplen != 0) {
                    caplen = std::min<std::uint64_t>(caplen, iface.snaplen);
                }
                frame = frame.first(static_cast<std::size_t>(caplen));
                link_type = iface.link_type;
            }
            if (frame.empty()) {
                // An SPB of 16 bytes carries no frame at all.  It yields no
                // packet, but ending the capture there would silently drop
                // every packet after it: skip it and read on.
                continue;
            }
            // No timestamp.
            return seen(RawRecord{0, 0, *orig_len, link_type, frame});
        }
        if (wide_) {
            // A new section, or one more interface of the current one.
            if (auto took = take_section_block(h.type, block, order); !took) {
                return std::unexpected(std::move(took.error()));
            }
        }
        // Anything else is skipped; by default that includes an SHB or IDB
        // after the first packet block: the table built at opening stays.
        offset_ = start + round_up4(h.total);
    }
}

} // namespace vexlor
