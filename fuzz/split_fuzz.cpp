// The whole split driver (run_split) on a fuzzed capture, into a scratch
// directory cleaned before every run.  The first bytes of the input choose the
// strategy, output type, filters, max_sessions and buffer_bytes (see
// decode_options); small caps and buffers send every run through descriptor
// reuse, reopening and slab shedding.
//
// Afterwards:
//  - a capture that cannot be opened, or that fails part-way, fails the run
//    with the reader's message and leaves no final-named file;
//  - otherwise the run succeeds, leaves no temporary file, and every final
//    file is a complete classic pcap that reads to its end (pcap) and holds
//    exactly its flow's packets, in order, behind one global header; or holds
//    exactly its flow's concatenated payloads (l7).
//
// Two flow names that differ only in characters the file name replaces by
// '_' (IPv6 hostpairs 1::2:3 + 4:: and 1::2 + 3:4:: both give "1__2_3_4__")
// share one file: it holds both flows' packets in the order they were
// written, behind one global header.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "capture_model.h"
#include "drivers/split_pipeline.h"
#include "flow/strategy.h"
#include "fuzz_util.h"
#include "output/split_writer.h"
#include "parser/pcap_format.h"

namespace {

using namespace vexlor;
using fuzz::require;

void append_record(std::vector<std::uint8_t>& out, const Packet& p) {
    const PcapRecordHeader h = pcap_record_header(p.ts_sec, p.ts_usec, p.caplen, p.orig_len);
    out.insert(out.end(), h.begin(), h.end());
    out.insert(out.end(), p.bytes().begin(), p.bytes().end());
}

void check_reads_to_end(const std::string& path, std::uint32_t link_type) {
    auto bytes = read_input_bytes(path);
    require(bytes.has_value(), "an output file cannot be read", path);
    auto reader = open_reader(std::move(*bytes));
    require(reader.has_value(), "an output file is not a capture", path);
    require((*reader)->link_type() == link_type, "an output file has another link type", path);
    for (;;) {
        auto p = (*reader)->next_packet();
        require(p.has_value(), "an output file does not read to its end",
                path + ": " + (p ? "" : p.error().to_error().message));
        if (!*p) {
            break;
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < fuzz::kOptionBytes) {
        return 0;
    }
    const fuzz::RunOptions run = fuzz::decode_options(data);
    const std::vector<std::uint8_t> capture(data + fuzz::kOptionBytes, data + size);
    const std::string& scratch = fuzz::ScratchDir::path();
    const std::string input = scratch + "/capture.pcap";
    const std::string out = scratch + "/out";
    fuzz::remove_tree(out);
    fuzz::write_whole(input, capture);

    SplitOptions opt;
    opt.input_path = input;
    opt.output_dir = out;
    opt.strategy = *parse_strategy(run.strategy);
    opt.max_sessions = run.max_sessions;
    opt.buffer_bytes = run.buffer_bytes;
    opt.ip_filters = run.ip_filters;
    opt.port_filters = run.port_filters;
    opt.output_type = run.l7 ? OutputType::L7 : OutputType::Pcap;

    const SplitStrategy strategy = *parse_strategy(run.strategy);
    const fuzz::CaptureModel model = fuzz::CaptureModel::build(
        capture, strategy, build_filter(run.ip_filters, run.port_filters));

    const Status st = run_split(opt);

    std::vector<std::string> finals;
    std::vector<std::string> temps;
    for (std::string& name : fuzz::list_dir(out)) {
        (name.starts_with(".") ? temps : finals).push_back(std::move(name));
    }
    if (model.open_error || model.read_error) {
        const std::string& want = model.open_error ? *model.open_error : *model.read_error;
        require(!st, "a broken capture was split without an error", want);
        require(st.error().message == want, "split failed with another message",
                st.error().message + " instead of " + want);
        require(finals.empty(), "a failed split left a final-named file",
                finals.empty() ? "" : finals[0]);
        return 0;
    }
    require(st.has_value(), "split failed on a readable capture", st ? "" : st.error().message);
    require(temps.empty(), "a successful split left a temporary file",
            temps.empty() ? "" : temps[0]);

    // The files the model expects, by final name.
    std::map<std::string, std::vector<std::uint8_t>> expected;
    std::vector<std::vector<std::uint8_t>*> file_of(model.flows.size());
    const char* ext = run.l7 ? ".l7" : ".pcap";
    for (std::size_t i = 0; i < model.flows.size(); ++i) {
        std::string name =
            "capture_" + sanitize_flow_name(flow_name(strategy, model.flows[i].key)) + ext;
        auto [it, fresh] = expected.try_emplace(name);
        if (fresh && !run.l7) {
            const PcapGlobalHeader h = pcap_global_header(model.link_type);
            it->second.assign(h.begin(), h.end());
        }
        file_of[i] = &it->second;
    }
    for (const auto& w : model.writes) {
        const Packet& p = model.packets[w.packet];
        std::vector<std::uint8_t>& bytes = *file_of[w.flow];
        if (!run.l7) {
            append_record(bytes, p);
        } else if (p.payload_offset && *p.payload_offset < p.caplen) {
            bytes.insert(bytes.end(), p.bytes().begin() + *p.payload_offset, p.bytes().end());
        }
    }

    for (const std::string& name : finals) {
        const std::string path = out + "/" + name;
        if (!run.l7) {
            check_reads_to_end(path, model.link_type);
        }
        auto it = expected.find(name);
        require(it != expected.end(), "an output file of no flow", name);
        std::vector<std::uint8_t> got;
        require(fuzz::read_whole(path, got), "an output file cannot be read", name);
        require(got == it->second, "an output file differs from its flow's packets", name);
    }
    std::size_t want_files = 0;
    for (const auto& [name, bytes] : expected) {
        want_files += !bytes.empty();
    }
    require(finals.size() == want_files, "a flow has no output file",
            std::to_string(finals.size()) + " files for " + std::to_string(want_files));
    return 0;
}
