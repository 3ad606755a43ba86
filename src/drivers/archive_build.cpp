#include "drivers/archive_build.h"

#include "archive/archive_writer.h"
#include "flow/filter.h"
#include "flow/flow_key.h"
#include "flow/fragments.h"
#include "parser/capture_reader.h"

namespace vexlor {

Status build_archive(const ArchiveBuildOptions& options) {
    auto input = read_input_bytes(options.input_path);
    if (!input) {
        return std::unexpected(reclassify(input.error(), ErrorKind::Io));
    }
    auto reader =
        open_reader(std::move(*input), ReaderOptions{.wide = options.decode == Decode::Wide});
    if (!reader) {
        return std::unexpected(reader.error().to_error());
    }
    CaptureReader& capture = **reader;
    const SharedBytes& bytes = capture.bytes();
    Progress progress{0, bytes.size(), 0};
    const std::uint32_t link_type = capture.link_type();

    // Only the strategy's naming matters here: every flow gets its own entry,
    // so the live-flow cap of a split (max_sessions) has nothing to limit.
    const PacketFilter filter = build_filter(options.ip_filters, options.port_filters);

    auto writer =
        ArchiveWriter::create(options.output_path + ".tmp", options.output_path, link_type);
    if (!writer) {
        return std::unexpected(writer.error());
    }

    FragmentTracker fragments;
    DecodeCounts counts;
    for (;;) {
        auto rec = capture.next_record();
        if (!rec) {
            return std::unexpected(rec.error().to_error());
        }
        if (!*rec) {
            break;
        }
        const RawRecord& r = **rec;
        if (options.progress && ++progress.packets % kProgressInterval == 0) {
            progress.bytes_done =
                static_cast<std::uint64_t>(r.frame.data() + r.frame.size() - bytes.data());
            options.progress(progress);
        }
        // The frame stays inside the reader's buffer for the whole loop, and
        // the packet does not outlive the iteration: a borrowed view saves a
        // reference-count round trip per packet.
        Packet packet =
            from_pcap_record(r.ts_sec, r.ts_usec, r.orig_len, SharedBytes::borrowed(r.frame),
                             r.link_type, options.decode);
        counts.count(packet);
        if (options.decode == Decode::Wide) {
            (void)fragments.place(packet); // the unmatched are counted there
        }
        if (!filter.matches(packet)) {
            continue;
        }
        for (const FlowKey& key : flow_keys(options.strategy, packet)) {
            if (auto st = writer->add(key, hash_key(key), packet); !st) {
                return st;
            }
        }
    }
    if (options.progress) {
        progress.bytes_done = bytes.size();
        options.progress(progress);
    }
    if (auto st = std::move(*writer).finalize(); !st) {
        return st;
    }
    if (options.counts) {
        counts.unmatched_fragments = fragments.unmatched();
        counts.link_type = link_type;
        *options.counts = counts;
    }
    return {};
}

} // namespace vexlor
