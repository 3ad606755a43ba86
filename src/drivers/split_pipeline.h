// The split driver: one capture in, one file per flow out.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/result.h"
#include "drivers/progress.h"
#include "flow/boundaries.h"
#include "flow/strategy.h"
#include "output/split_writer.h"

namespace vexlor {

struct SplitOptions {
    std::string input_path;
    std::string output_dir;
    SplitStrategy strategy = SplitStrategy::Session;
    // Where one flow of a key ends and the next begins; later flows go to
    // files of their own ("NAME-2", ...).  The default cuts nothing.
    FlowBoundaryOptions boundaries;
    std::uint32_t max_sessions = 10000;
    std::uint64_t buffer_bytes = 10000;
    std::vector<std::string> ip_filters;
    std::vector<std::uint16_t> port_filters;
    OutputType output_type = OutputType::Pcap;
    // Wide: the tool's decoding of link layers, tags, tunnels and fragments.
    Decode decode = Decode::Basic;
    // Filled at the end of a successful run when given.
    DecodeCounts* counts = nullptr;
    // Leading part of every file name; empty: the input's stem.
    std::string prefix;
    // See SplitWriterOptions::shorten_long_names.
    bool shorten_long_names = false;
    // See SplitWriterOptions::writer_threads, ::descriptor_cap and
    // ::buffer_budget.
    unsigned writer_threads = 0;
    std::size_t descriptor_cap = 0;
    std::uint64_t buffer_budget = 0;
    // The buffers' budget when frames are copied into them (a compressed
    // capture or standard input, read as it streams); 0: buffer_budget.
    // Frames of a mapped file can be referred to until written, so a flow
    // leaves in few large writes; copied ones only in as many as the
    // budget allows, each reopening its file.
    std::uint64_t copied_buffer_budget = 0;
    // The caller made output_dir for this run alone and publishes it whole
    // once the run succeeds (see SplitWriterOptions::names_final); the run
    // takes no lock of the directory, which the caller holds if it must.
    bool publish_whole = false;
    ProgressFn progress;
    RunControl control;
};

// Writer threads for one split on this machine: one per core, at most four
// (the file work of a split stops gaining there); none on a single core,
// where they would only take turns with the classifying thread.
unsigned default_writer_threads();

// Errors, in the order they are checked: reading the input (I/O error),
// the capture header (runtime error), creating the output directory (I/O
// error), reading records and writing (runtime errors).
[[nodiscard]] Status run_split(const SplitOptions& options);

} // namespace vexlor
