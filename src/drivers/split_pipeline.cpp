#include "drivers/split_pipeline.h"

#include <algorithm>
#include <map>
#include <memory>
#include <span>
#include <thread>
#include <vector>

#include "common/file_identity.h"
#include "drivers/packet_producer.h"
#include "flow/boundaries.h"
#include "flow/filter.h"
#include "flow/fragments.h"
#include "output/split_writer.h"
#include "parser/capture_reader.h"

namespace vexlor {

namespace {

// Failures to write are failures of the run; the writer's refusal of a file
// that is the input keeps its class.
Error write_error(Error e) {
    return e.kind == ErrorKind::Value ? e : reclassify(std::move(e), ErrorKind::Runtime);
}

// What consume() needs to know of the capture it reads.
struct InputFacts {
    std::uint32_t link_type = 0;
    bool headers_in_place = false;
    // Frames stay where they are for the whole run (a whole input, held by
    // run_split), so that buffers may refer to them rather than copy them.
    bool stable_frames = false;
    std::uint64_t size = 0; // as stored, for progress; 0 when unknown
    // Of several captures read as one: the largest's size (see
    // SplitWriterOptions::reference_window); 0 for one capture.
    std::uint64_t largest_of_many = 0;
    // The mapped inputs, which another program may cut short under us.
    std::span<const SharedBytes> held{};
};

Status consume(const SplitOptions& opt, const InputFacts& input, const PacketFilter& filter,
               PacketProducer& producer) {
    const std::uint32_t link_type = input.link_type;
    std::string prefix = opt.prefix.empty() ? output_prefix(opt.input_path) : opt.prefix;
    // The writer's table of files is the only per-flow state a split needs:
    // a flow manager's counters and live-flow cap would change nothing in
    // the files (names come from keys, not ids), so none is kept.
    auto make_writer = [&](const std::string& name_prefix, std::uint32_t type, bool first) {
        SplitWriterOptions wopt{opt.output_dir,      name_prefix,           type,
                                opt.output_type,     opt.buffer_bytes,      opt.max_sessions,
                                input.stable_frames, input.headers_in_place};
        if (opt.input_path != "-") {
            wopt.input_identity = identity_of(opt.input_path);
            wopt.input_name = opt.input_path;
        }
        wopt.remove_on_failure = opt.control.remove_on_failure;
        wopt.shorten_long_names = opt.shorten_long_names;
        wopt.lock_directory = first && !opt.publish_whole;
        wopt.names_final = opt.publish_whole;
        wopt.writer_threads = opt.writer_threads;
        wopt.descriptor_cap = opt.descriptor_cap;
        wopt.buffer_budget = !input.stable_frames && opt.copied_buffer_budget != 0
                                 ? opt.copied_buffer_budget
                                 : opt.buffer_budget;
        wopt.reference_window = input.largest_of_many;
        return SplitWriter::create(std::move(wopt), [strat = opt.strategy](const FlowKey& key) {
            return flow_name(strat, key);
        });
    };
    auto writer = make_writer(prefix, link_type, true);
    if (!writer) {
        // A directory another run holds stays an I/O error, as the module's
        // other failures to use the output directory are.
        return std::unexpected(reclassify(
            writer.error(), is_in_use(writer.error()) ? ErrorKind::Io : ErrorKind::Runtime));
    }
    // In the wide decoding, frames of another link type than the capture's
    // first (interfaces of several types in one pcapng) go to files of their
    // own, named with their type, whose pcap header says that type: a file
    // never holds frames of one type under the header of another.
    const bool wide = opt.decode == Decode::Wide;
    // A flow's packets of each type go to that type's file of its name,
    // but where a flow ends is the same for all of them: a packet's gap is
    // from the previous packet of its key, whatever the type of either, as
    // tables and archives of the capture have it.  The flows of a key are
    // numbered across the sets of files.
    struct Output {
        SplitWriter* writer;
        FlowBoundaries* boundaries;
    };
    std::map<std::uint32_t, SplitWriter> other_types;
    FlowBoundaries boundaries(opt.boundaries, opt.strategy, [&](const FlowKey& key) {
        return writer->has_flow(key) || std::ranges::any_of(other_types, [&](const auto& t) {
                   return t.second.has_flow(key);
               });
    });
    auto writer_of = [&](const Packet& p) -> Result<Output> {
        if (!wide || p.link_type == link_type) {
            return Output{&*writer, &boundaries};
        }
        auto it = other_types.find(p.link_type);
        if (it == other_types.end()) {
            auto w = make_writer(prefix + "_lt" + std::to_string(p.link_type), p.link_type, false);
            if (!w) {
                return std::unexpected(w.error());
            }
            it = other_types.emplace(p.link_type, std::move(*w)).first;
        }
        return Output{&it->second, &boundaries};
    };
    FragmentTracker fragments;
    DecodeCounts counts;

    // Keys of a whole batch are worked out first, so that the table
    // lookups of a packet a few places ahead can be started early: with
    // thousands of live flows, each lookup is otherwise a cache miss or two.
    struct Keyed {
        FlowKeys keys;
        std::uint64_t hash[2];
    };
    std::vector<Keyed> keyed;
    std::vector<const Packet*> passed;
    // Far enough ahead that a miss to memory is over by the time the packet
    // comes: the frames streaming through the cache evict the tables, and 8
    // and 4 places ahead left the writer's lookup a quarter of this thread's
    // time (32 and 16: split of L 1.39 s against 1.44 s, 6 rounds).
    constexpr std::size_t kSlotAhead = 32;
    constexpr std::size_t kNodeAhead = 16;
    auto hint = [&](std::size_t j, bool node) {
        if (j >= keyed.size()) {
            return;
        }
        for (std::uint8_t k = 0; k < keyed[j].keys.count; ++k) {
            std::uint64_t h = keyed[j].hash[k];
            if (node) {
                writer->prefetch_node(h);
            } else {
                writer->prefetch_slot(h);
            }
        }
    };

    RunSummary summary;
    auto split_batch = [&](PacketChannel::Batch& batch) -> Status {
        keyed.clear();
        passed.clear();
        for (Packet& p : batch) {
            counts.count(p);
            note_time(summary, p.time_us());
            summary.packets_no_ip += p.ip ? 0 : 1;
            if (wide) {
                (void)fragments.place(p); // the unmatched are counted there
            }
            if (!filter.matches(p)) {
                continue;
            }
            Keyed k{flow_keys(opt.strategy, p), {}};
            for (std::uint8_t i = 0; i < k.keys.count; ++i) {
                k.hash[i] = hash_key(k.keys.keys[i]);
            }
            keyed.push_back(k);
            passed.push_back(&p);
        }
        for (std::size_t i = 0; i < keyed.size(); ++i) {
            hint(i + kSlotAhead, false);
            hint(i + kNodeAhead, true);
            const Packet& p = *passed[i];
            auto out = writer_of(p);
            if (!out) {
                return std::unexpected(reclassify(out.error(), ErrorKind::Runtime));
            }
            for (std::uint8_t k = 0; k < keyed[i].keys.count; ++k) {
                // Placed here, not with the keys above: a key forgotten and
                // seen again within one batch must find the flows written
                // before it.
                const FlowKey key =
                    out->boundaries->place(keyed[i].keys.keys[k], keyed[i].hash[k], p);
                const std::uint64_t h = key.seq == 0 ? keyed[i].hash[k] : hash_key(key);
                if (auto st = out->writer->write(key, h, p); !st) {
                    return std::unexpected(write_error(st.error()));
                }
            }
        }
        return {};
    };
    // The last chance to stop is at the end of drain(): past it the files
    // are published.
    Status drained = drain(producer, opt.control, opt.progress, input.size, summary, split_batch);
    if (!drained) {
        return drained;
    }
    summary.link_type = link_type;
    summary.flows = writer->flow_count();
    for (const auto& [type, other] : other_types) {
        summary.flows += other.flow_count();
    }
    // Every file of every link type is written before any is named: the
    // writes copy frames from the mapped input, and an input cut short
    // under us meanwhile must leave no final name.
    Status written = writer->finish();
    for (auto& [type, other] : other_types) {
        if (written) {
            written = other.finish();
        }
    }
    if (any_cut(input.held)) {
        // Bytes written from pages of the input that are gone fail the
        // write, or were read as zeros.
        return runtime_error(kInputCutWhileRead);
    }
    if (!written) {
        return std::unexpected(write_error(written.error()));
    }
    Status closed = std::move(*writer).publish();
    summary.files = writer->published().files;
    summary.bytes_written = writer->published().bytes;
    if (opt.control.summary) {
        *opt.control.summary = summary;
    }
    if (!closed) {
        return std::unexpected(write_error(closed.error()));
    }
    for (auto& [type, other] : other_types) {
        if (auto st = std::move(other).publish(); !st) {
            return std::unexpected(write_error(st.error()));
        }
        summary.files += other.published().files;
        summary.bytes_written += other.published().bytes;
    }
    if (opt.control.summary) {
        *opt.control.summary = summary;
    }
    if (opt.counts) {
        counts.unmatched_fragments = fragments.unmatched();
        counts.link_type = link_type;
        *opt.counts = counts;
    }
    return {};
}

} // namespace

unsigned default_writer_threads() {
    const unsigned cores = std::thread::hardware_concurrency();
    return cores < 2 ? 0 : std::min(cores, 4u);
}

Status run_split(const SplitOptions& opt) {
    auto reader = open_run_input(opt.input_path, opt.control, opt.decode);
    if (!reader) {
        return std::unexpected(reader.error());
    }
    // Our own hold on a whole input: packets in flight borrow from it.
    const std::vector<SharedBytes> inputs = (*reader)->stable_inputs();
    (*reader)->tolerate_cut_off(opt.control.tolerate_cut_off);
    (*reader)->refuse_cut_off(opt.control.refuse_cut_off);
    InputFacts facts{(*reader)->link_type(), (*reader)->records_in_written_form(),
                     !(*reader)->streaming(), (*reader)->input_size().value_or(0)};
    facts.held = inputs;
    if (inputs.size() > 1) {
        for (const SharedBytes& one : inputs) {
            facts.largest_of_many = std::max<std::uint64_t>(facts.largest_of_many, one.size());
        }
    }
    PacketFilter filter = build_filter(opt.ip_filters, opt.port_filters, opt.control.ip_prefixes);
    if (auto st = create_dir_all(opt.output_dir); !st) {
        return std::unexpected(reclassify(st.error(), ErrorKind::Io));
    }

    auto producer = PacketProducer::start(std::move(*reader), opt.decode);
    if (!producer) {
        return std::unexpected(producer.error());
    }
    // An early return lets the producer go (see ~PacketProducer); whatever
    // escaped (an allocation failure, say) does the same on its way out.
    try {
        return consume(opt, facts, filter, **producer);
    } catch (...) {
        return fail(ErrorKind::Panic, "split failed with an unexpected internal error");
    }
}

} // namespace vexlor
