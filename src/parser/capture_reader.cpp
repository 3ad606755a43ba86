#include "parser/capture_reader.h"

#include <algorithm>

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
    // The packet gets a counted slice of the bytes it was read from, so it
    // outlives the reader.
    return from_pcap_record(r.ts_sec, r.ts_usec, r.orig_len, hold(r), r.link_type);
}

Expected<ByteSpan, ParseError> CaptureReader::window(std::uint64_t offset, std::size_t want) {
    auto w = source_->window(offset, want);
    if (!w) {
        return std::unexpected(ParseError::stream(w.error()));
    }
    // A line at a time, from where the last call stopped.
    const std::uint64_t until = offset + std::min<std::uint64_t>(w->size(), kReadAhead);
    fetched_to_ = std::max(fetched_to_, offset);
    for (; fetched_to_ < until; fetched_to_ += 64) {
        __builtin_prefetch(w->data() + (fetched_to_ - offset));
    }
    return *w;
}

namespace {

Expected<std::unique_ptr<CaptureReader>, ParseError>
open_source(std::unique_ptr<CaptureSource> source, ReaderOptions options) {
    auto head = source->window(0, 4);
    if (!head) {
        return std::unexpected(ParseError::stream(head.error()));
    }
    ByteReader magic_reader(*head, Endian::Little);
    const auto magic = magic_reader.u32();
    if (!magic) {
        return std::unexpected(ParseError::unknown_format());
    }
    if (PcapReader::recognises(*magic)) {
        return PcapReader::open(std::move(source));
    }
    if (PcapngReader::recognises(*magic)) {
        return PcapngReader::open(std::move(source), options);
    }
    if (source->decompressing()) {
        // Damaged compressed data decodes to anything until its check
        // fails, which may come only after a bzip2 block of up to 900 kB (or
        // a gzip or xz member): read on some way for the damage, rather
        // than call it a file of another kind.
        // Bytes after the compressed data leave that data whole: a file of
        // another kind still.
        if (auto more = source->window(0, kDamageLook); !more && !is_trailing_data(more.error())) {
            return std::unexpected(ParseError::stream(more.error()));
        }
    }
    return std::unexpected(ParseError::unknown_format());
}

} // namespace

Expected<std::unique_ptr<CaptureReader>, ParseError> open_reader(SharedBytes bytes,
                                                                 ReaderOptions options) {
    return open_source(std::make_unique<CaptureSource>(std::move(bytes)), options);
}

Expected<std::unique_ptr<CaptureReader>, ParseError> open_reader(std::unique_ptr<ByteStream> stream,
                                                                 ReaderOptions options) {
    return open_source(std::make_unique<CaptureSource>(std::move(stream), options.stream_chunk),
                       options);
}

} // namespace vexlor
