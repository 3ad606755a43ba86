#include "parser/pcap_reader.h"

#include <algorithm>
#include <string>

namespace vexlor {

bool PcapReader::recognises(std::uint32_t magic) {
    return magic == kPcapMagicMicro || magic == kPcapMagicNano || magic == kPcapMagicMicroSwapped ||
           magic == kPcapMagicNanoSwapped;
}

namespace {

// The longest frame capture tools write by default.  Some writers state a
// smaller snapshot length than the frames they write, so the limit of a
// cut-off record is the larger of the two.
constexpr std::uint32_t kLongestFrame = 262144;

} // namespace

PcapReader::PcapReader(std::unique_ptr<CaptureSource> source, Endian endian, bool nanosecond,
                       std::uint32_t link_type, std::uint32_t snaplen)
    : CaptureReader(std::move(source)), endian_(endian), nanosecond_(nanosecond),
      link_type_(link_type), snaplen_(snaplen) {}

Expected<std::unique_ptr<PcapReader>, ParseError>
PcapReader::open(std::unique_ptr<CaptureSource> source) {
    auto head = source->window(0, kPcapGlobalHeaderSize);
    if (!head) {
        return std::unexpected(ParseError::stream(head.error()));
    }
    const ByteSpan data = *head;
    if (data.size() < kPcapGlobalHeaderSize) {
        return std::unexpected(ParseError::invalid_pcap("file too small for global header"));
    }
    const std::uint32_t magic = load_le<std::uint32_t>(data.data());
    if (!recognises(magic)) {
        return std::unexpected(ParseError::unknown_format());
    }
    const Endian endian =
        magic == kPcapMagicMicro || magic == kPcapMagicNano ? Endian::Little : Endian::Big;
    const bool nanosecond = magic == kPcapMagicNano || magic == kPcapMagicNanoSwapped;
    // Version, thiszone and sigfigs say nothing we use: files with any
    // version number are read alike.  The snapshot length only tells a
    // cut-off last record from damage (see next_record).
    const std::uint32_t network = load<std::uint32_t>(data.data() + kPcapLinkTypeAt, endian);
    const std::uint32_t snaplen = load<std::uint32_t>(data.data() + kPcapSnaplenAt, endian);
    return std::unique_ptr<PcapReader>(
        new PcapReader(std::move(source), endian, nanosecond, network, snaplen));
}

RecordResult PcapReader::next_record() {
    // A trailing fragment shorter than a record header is what a capture
    // killed mid-write leaves behind; it ends the data quietly.
    const std::uint64_t start = offset_;
    const auto header = window(start, kPcapRecordHeaderSize);
    if (!header) {
        return std::unexpected(header.error());
    }
    if (header->size() < kPcapRecordHeaderSize) {
        if (!header->empty()) {
            return end_cut_off(start, false);
        }
        return data_end();
    }
    const std::uint8_t* h = header->data();
    RawRecord rec;
    rec.ts_sec = load<std::uint32_t>(h, endian_);
    const std::uint32_t sub_second = load<std::uint32_t>(h + 4, endian_);
    const std::uint32_t incl_len = load<std::uint32_t>(h + 8, endian_);
    rec.orig_len = load<std::uint32_t>(h + 12, endian_);
    rec.link_type = link_type_;
    rec.ts_usec = nanosecond_ ? sub_second / 1000 : sub_second;

    // incl_len is taken as the file states it (not capped by snaplen or
    // orig_len), but it must lie inside the data: a cut-off last frame is
    // an error, unlike a cut-off header.  Header and frame come as one
    // window, so that they stand together (records_in_written_form()).
    const std::uint64_t length = kPcapRecordHeaderSize + std::uint64_t{incl_len};
    const auto record = window(start, static_cast<std::size_t>(length));
    if (!record) {
        return std::unexpected(record.error());
    }
    if (record->size() < length) {
        // A capture cut off while it was written ends in a record of a
        // length its writer could write.  A longer one is damage (the
        // records after it unread), however close to the end it claims to
        // run.
        if (tolerate_cut_off_ && incl_len <= std::max(snaplen_, kLongestFrame)) {
            return end_cut_off(start, false);
        }
        if (auto cut = data_end(); !cut) {
            return cut;
        }
        return std::unexpected(ParseError::invalid_pcap(
            "packet incl_len " + std::to_string(incl_len) + " exceeds remaining data at offset " +
            std::to_string(start + kPcapRecordHeaderSize)));
    }
    rec.frame = record->subspan(kPcapRecordHeaderSize, incl_len);
    offset_ = start + length;
    return rec;
}

} // namespace vexlor
