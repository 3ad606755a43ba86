// Many captures in one command: expanding INPUT arguments (files,
// directories, glob patterns) and running one job per input on every core,
// with a manifest that makes a rerun redo only what is not done.
#pragma once

#include <atomic>
#include <csignal>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "cli/args.h"
#include "cli/commands.h"
#include "common/result.h"
#include "drivers/progress.h"

namespace vexlor::cli {

struct InputFile {
    std::string path;
    // Its path below the directory it was found in (its own name for an
    // input named directly): what its output is named after.
    std::string relative;
};

struct Inputs {
    std::vector<InputFile> files;
    // Files met in directories (or matched by patterns) that are plainly not
    // captures, compressed or not.  A file that cannot be read, or whose
    // compressed stream fails before its first bytes, is an input all the
    // same: its run says why.
    std::uint64_t skipped = 0;
    // Directories below an input directory that hold a job's outputs (its
    // manifest): not walked, unless named as an input themselves.
    std::uint64_t job_outputs = 0;
    // Files a pattern matched in the job's own output directory, left out.
    std::uint64_t in_output = 0;
    // Links to directories below an input directory: not followed.
    std::uint64_t linked_dirs = 0;
    // A directory or a pattern was given: several outputs are wanted even
    // when it held one capture.
    bool expanded = false;
};

// Expands INPUT arguments in order: a directory is walked recursively (its
// files sorted by path, captures recognised by their first bytes; one it
// cannot read is an error; the output directories of jobs below it left
// out), a pattern with *, ? or [ that names no file is
// matched with glob(3), its matches named after their path below its
// leading directories without wildcards.  The same file twice is kept
// once.  "-" may only stand alone.
// With `root`, a file named directly is named after its path below it.
// `output`: the job's output directory, never walked into (a file in it
// named directly is still read).
std::expected<Inputs, Failure> expand_inputs(const std::vector<std::string>& args,
                                             const std::string& root = "",
                                             const std::string& output = "");

// Whether `path` is a regular file that holds a capture (compressed or not).
bool is_capture_file(const std::string& path);

// The name an input's output takes: its relative path without the
// compression and capture extensions ("day1/a.pcap.gz": "day1/a").  Inputs
// whose names would collide keep their whole relative path.
std::vector<std::string> output_names(const std::vector<InputFile>& files);

// The archives an ARCHIVE argument names: the file itself; every *.vexlor
// below a directory, sorted by path; or the archives a manifest
// (vexlor-manifest.jsonl) shows done, each output once.  `set` is raised
// for the last two, which are an error when they hold no archive.
std::expected<std::vector<std::string>, Failure> archives_named(const std::string& arg, bool& set);
// The job manifests that directories among `args` hold at their top, which
// a command reading those directories must not write over.
std::vector<std::string> manifests_of(std::span<const std::string> args);

// One input's run: `output` is the path for its output (a directory for a
// split, an archive file otherwise); `progress` (maybe empty) takes the
// driver's reports.
using RunOne = std::function<Status(const InputFile& input, const std::string& output,
                                    RunControl& control, const ProgressFn& progress)>;

struct Batch {
    std::string command;   // "split" or "archive"
    std::string outdir;    // where every output goes
    std::string suffix;    // of each output: "" (a directory) or ".vexlor"
    std::string signature; // the options that shape outputs, for the manifest
    unsigned jobs = 1;
    bool quiet = false;
    bool list = false; // only print the plan (see run_batch)
    const std::atomic<bool>* cancel = nullptr;
    const volatile std::sig_atomic_t* signal = nullptr;
    // A progress line on standard error while inputs run (on a terminal,
    // without --quiet: as for one input).
    bool progress = false;
};

// Runs `run_one` for every input on `batch.jobs` threads.  Each output is
// published whole (a split's directory under a temporary name, renamed when
// complete; an archive by its own rename), and the manifest
// OUTDIR/vexlor-manifest.jsonl records every input (path, size, mtime,
// first and last packet time, packets, link type, output, status, and the
// warning of a last record cut off): a line appended as each input ends,
// the lines sorted by path, one per output, at the start (when a killed
// run left them otherwise) and at the end.  Inputs the manifest shows done
// with the same options, size and mtime, whose output is there, are
// skipped, however their paths are spelt.  The run holds its outputs from
// its start: a second run with one of them fails at once.  Two inputs whose
// outputs would take one path, or one inside the other, are refused before
// anything is done (or listed), both named.  A failing input is reported with its path and the
// rest go on; the status then says that something failed.
// With `batch.list`, nothing runs: the plan goes to standard output as one
// JSON object per input (path, relative, output, done).
CommandStatus run_batch(const Batch& batch, const Inputs& inputs, const RunOne& run_one);

} // namespace vexlor::cli
