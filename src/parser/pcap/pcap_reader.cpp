#include "parser/pcap/pcap_reader.h"

#include <string>

namespace vexlor {
namespace {

constexpr std::uint32_t kMagicMicro = 0xA1B2C3D4;
constexpr std::uint32_t kMagicNano = 0xA1B23C4D;
constexpr std::uint32_t kMagicMicroSwapped = 0xD4C3B2A1;
constexpr std::uint32_t kMagicNanoSwapped = 0x4D3CB2A1;

} // namespace

PcapReader::PcapReader(SharedBytes bytes, Endian endian, bool nanosecond, std::uint32_t snaplen,
                       std::uint32_t link_type)
    : CaptureReader(std::move(bytes)), cursor_(data_.span(), endian), endian_(endian),
      nanosecond_(nanosecond), snaplen_(snaplen), link_type_(link_type) {
    cursor_.seek(kGlobalHeaderLen);
}

std::expected<std::unique_ptr<PcapReader>, ParseError> PcapReader::open(SharedBytes bytes) {
    ByteReader head(bytes.span(), Endian::Little);
    if (head.remaining() < kGlobalHeaderLen) {
        return std::unexpected(ParseError::invalid_pcap("file too small for global header"));
    }
    Endian endian = Endian::Little;
    bool nanosecond = false;
    switch (*head.u32()) {
    case kMagicMicro:
        break;
    case kMagicNano:
        nanosecond = true;
        break;
    case kMagicMicroSwapped:
        endian = Endian::Big;
        break;
    case kMagicNanoSwapped:
        endian = Endian::Big;
        nanosecond = true;
        break;
    default:
        return std::unexpected(ParseError::unknown_format());
    }
    // Version, thiszone and sigfigs say nothing we use: files with any
    // version number are read alike.
    head.set_endian(endian);
    head.seek(16);
    const std::uint32_t snaplen = *head.u32();
    const std::uint32_t network = *head.u32();
    return std::unique_ptr<PcapReader>(
        new PcapReader(std::move(bytes), endian, nanosecond, snaplen, network));
}

RecordResult PcapReader::next_record() {
    // A trailing fragment shorter than a record header is what a capture
    // killed mid-write leaves behind; it ends the data quietly.
    const auto header = cursor_.bytes(kRecordHeaderLen);
    if (!header) {
        return std::nullopt;
    }
    const std::uint8_t* h = header->data();
    // Records are read in file order: ask for the lines of the next few
    // records early, so their headers are in cache when their turn comes.
    __builtin_prefetch(h + 1024);
    __builtin_prefetch(h + 2048);
    RawRecord rec;
    rec.ts_sec = load<std::uint32_t>(h, endian_);
    const std::uint32_t sub_second = load<std::uint32_t>(h + 4, endian_);
    const std::uint32_t incl_len = load<std::uint32_t>(h + 8, endian_);
    rec.orig_len = load<std::uint32_t>(h + 12, endian_);
    rec.link_type = link_type_;

    // incl_len is taken as the file states it (not capped by snaplen or
    // orig_len), but it must lie inside the buffer: a cut-off last frame is
    // an error, unlike a cut-off header.
    const auto frame = cursor_.bytes(incl_len);
    if (!frame) {
        return std::unexpected(ParseError::invalid_pcap(
            "packet incl_len " + std::to_string(incl_len) + " exceeds remaining data at offset " +
            std::to_string(cursor_.position())));
    }
    rec.frame = *frame;
    rec.ts_usec = nanosecond_ ? sub_second / 1000 : sub_second;
    return rec;
}

} // namespace vexlor
