#include "drivers/archive_build.h"

#include <vector>

#include "archive/archive_writer.h"
#include "common/file_identity.h"
#include "drivers/record_pump.h"
#include "flow/boundaries.h"
#include "flow/filter.h"
#include "flow/flow_key.h"
#include "flow/fragments.h"
#include "parser/capture_reader.h"

namespace vexlor {

namespace {

// Renaming the archive over its own input, or truncating a ".tmp" that is
// the input, would destroy the capture: refused before anything is read.
std::string temp_path_of(const ArchiveBuildOptions& options) {
    return options.temp_path.empty() ? options.output_path + ".tmp" : options.temp_path;
}

Status refuse_own_input(const ArchiveBuildOptions& options) {
    if (options.input_path == "-") {
        return {};
    }
    const auto input = identity_of(options.input_path);
    if (!input) {
        return {}; // reading it fails next, with the system's words
    }
    for (const std::string& out : {options.output_path, temp_path_of(options)}) {
        if (identity_of(out) == input) {
            return value_error("Output path " + out + " is the input capture " +
                               options.input_path);
        }
    }
    return {};
}

} // namespace

Status build_archive(const ArchiveBuildOptions& options) {
    if (auto st = refuse_own_input(options); !st) {
        return st;
    }
    auto reader = open_run_input(options.input_path, options.control, options.decode);
    if (!reader) {
        return std::unexpected(reader.error());
    }
    CaptureReader& capture = **reader;
    capture.tolerate_cut_off(options.control.tolerate_cut_off);
    capture.refuse_cut_off(options.control.refuse_cut_off);
    RunSummary summary;
    const std::uint32_t link_type = capture.link_type();

    // Only the strategy's naming matters here: every flow gets its own entry,
    // so the live-flow cap of a split (max_sessions) has nothing to limit.
    const PacketFilter filter =
        build_filter(options.ip_filters, options.port_filters, options.control.ip_prefixes);

    auto writer = ArchiveWriter::create(temp_path_of(options), options.output_path, link_type,
                                        options.control.system_reasons);
    if (!writer) {
        return std::unexpected(writer.error());
    }
    writer->set_remove_on_failure(options.control.remove_on_failure);
    // The reader, declared before the writer, outlives it: with a mapped
    // input (or several), records refer to its frames, and the system
    // copies them once.
    if (!capture.streaming()) {
        writer->set_stable_frames(capture.records_in_written_form());
        // One capture: its file may be read again by name (inputs read as
        // one are copied through their mappings).
        if (options.control.combined_inputs.empty()) {
            for (const SharedBytes& input : capture.stable_inputs()) {
                writer->add_input(options.input_path, input);
            }
        }
    }

    FragmentTracker fragments;
    FlowBoundaries boundaries(options.boundaries, options.strategy,
                              [&](const FlowKey& key) { return writer->has_flow(key); });
    DecodeCounts counts;
    RecordPump pump(capture, options.control, options.progress, summary);
    const Status read = pump.each([&](const RawRecord& r) -> Status {
        // The frame stays valid until the next record is read, and the
        // packet does not outlive the iteration: a borrowed view saves a
        // reference-count round trip per packet.
        Packet packet =
            from_pcap_record(r.ts_sec, r.ts_usec, r.orig_len, SharedBytes::borrowed(r.frame),
                             r.link_type, options.decode);
        counts.count(packet);
        counts.other_link_type += r.link_type != link_type;
        note_time(summary, packet.time_us());
        summary.packets_no_ip += packet.ip ? 0 : 1;
        if (options.decode == Decode::Wide) {
            (void)fragments.place(packet); // the unmatched are counted there
        }
        if (!filter.matches(packet)) {
            return Status{};
        }
        const FlowKeys keys = flow_keys(options.strategy, packet);
        // The host and mac strategies list the source's flow first (and
        // the destination's second, when it is another address).
        const bool mac = options.strategy == SplitStrategy::Mac;
        const bool sides =
            options.control.record_host_side &&
            ((options.strategy == SplitStrategy::Host && packet.ip) || (mac && keys.count == 2));
        for (std::uint8_t i = 0; i < keys.count; ++i) {
            const HostSide side = !sides   ? HostSide::Unknown
                                  : i == 0 ? HostSide::Source
                                           : HostSide::Destination;
            const std::uint64_t hash = hash_key(keys.keys[i]);
            const FlowKey key = boundaries.place(keys.keys[i], hash, packet);
            if (auto st = writer->add(key, key.seq == 0 ? hash : hash_key(key), packet, side, mac);
                !st) {
                return st;
            }
        }
        return {};
    });
    if (!read) {
        return read;
    }
    // A mapped input cut short under us gives zeros for its lost bytes (or
    // fails the copy of them), also while the writer copies referred-to
    // records at its end: nothing is published then.
    const std::vector<SharedBytes> held = capture.stable_inputs();
    summary.flows = writer->flow_count();
    Status st = std::move(*writer).finalize(
        [&] { return any_cut(held) ? Status(runtime_error(kInputCutWhileRead)) : Status{}; });
    if (!st && any_cut(held)) {
        return runtime_error(kInputCutWhileRead);
    }
    if (st) {
        summary.files = 1;
        summary.bytes_written = writer->size();
    }
    if (options.control.summary) {
        *options.control.summary = summary;
    }
    if (st && options.counts) {
        counts.unmatched_fragments = fragments.unmatched();
        counts.link_type = link_type;
        *options.counts = counts;
    }
    return st;
}

} // namespace vexlor
