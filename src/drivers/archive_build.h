// The archive build driver: one capture in, one indexed archive out.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/result.h"
#include "drivers/progress.h"
#include "flow/boundaries.h"
#include "flow/strategy.h"

namespace vexlor {

struct ArchiveBuildOptions {
    std::string input_path; // "-" reads standard input
    std::string output_path;
    // Where the archive is written until whole; empty: output_path + ".tmp".
    std::string temp_path;
    SplitStrategy strategy = SplitStrategy::Session;
    // Where one flow of a key ends and the next begins; later flows are
    // entries of their own.  The default cuts nothing.
    FlowBoundaryOptions boundaries;
    // Accepted for symmetry with split; an archive keeps every flow, so it
    // does not cap anything here.
    std::uint32_t max_sessions = 10000;
    std::vector<std::string> ip_filters;
    std::vector<std::uint16_t> port_filters;
    Decode decode = Decode::Basic;
    DecodeCounts* counts = nullptr; // filled at the end of a successful build when given
    ProgressFn progress;
    RunControl control;
};

// Builds the archive under output_path + ".tmp" and renames it into place.
// Errors, in the order they are checked: reading the input (I/O error), the capture header (runtime
// error), creating the temporary file (I/O error), reading a record, writing, finalizing (runtime
// errors).  On any failure the output path is left untouched.  Before all of
// these: an output path (or its ".tmp") that is the input file, under any
// spelling, is the value error "Output path {output} is the input capture
// {input}".
[[nodiscard]] Status build_archive(const ArchiveBuildOptions& options);

} // namespace vexlor
