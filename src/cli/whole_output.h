// A split into a directory that does not exist yet is made in a hidden
// directory beside it, its files under their final names, and published
// whole by one rename of that directory.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/result.h"
#include "common/unique_fd.h"

namespace vexlor::cli {

// The files' own renames at the end of a split are one file-system call
// each, all in one directory and so one at a time: a fifth of a split of
// many small flows.  A directory made for the run is published with one
// instead.  OUTDIR itself is made empty at the start and locked as any
// output directory is, so that a second run into it (tool or module) is
// refused at once; the hidden directory is renamed over it at the end.  A
// failed or interrupted run leaves nothing, not even the directories made
// for it; one killed leaves OUTDIR empty and the hidden directory, which
// the next run into the same OUTDIR clears and takes over with it.
class WholeOutputDir {
public:
    // OUTDIR `out` made (or a killed run's taken over) and locked, and the
    // hidden ".NAME.vexlor-partial" beside it; nothing when `out` exists
    // already or its place cannot be used so (the run then writes into
    // `out` as usual, and meets any failure there in its own words).  `inputs`: the run's captures,
    // which a hidden directory left by a killed run must not take with it.
    static Result<std::optional<WholeOutputDir>> prepare(const std::string& out,
                                                         const std::vector<std::string>& inputs);

    WholeOutputDir(WholeOutputDir&& o) noexcept
        : out_(std::move(o.out_)), partial_(std::move(o.partial_)), made_(std::move(o.made_)),
          out_lock_(std::move(o.out_lock_)), partial_lock_(std::move(o.partial_lock_)),
          made_out_(o.made_out_), keep_partial_(o.keep_partial_),
          done_(std::exchange(o.done_, true)) {}
    WholeOutputDir& operator=(WholeOutputDir&&) = delete;
    ~WholeOutputDir();

    const std::string& path() const { return partial_; }
    // Renames the hidden directory over the empty OUTDIR.  Should that fail
    // (another program put something there meanwhile), the files stay where
    // they are, and the error says where.
    [[nodiscard]] Status publish();

private:
    WholeOutputDir() = default;

    std::string out_;
    std::string partial_;
    std::vector<std::string> made_; // directories made above OUTDIR, outermost first
    UniqueFd out_lock_;
    UniqueFd partial_lock_;
    bool made_out_ = false;     // OUTDIR made by this run
    bool keep_partial_ = false; // the hidden directory is not ours to remove
    bool done_ = false;         // nothing to undo: moved from, or publish() was called
};

} // namespace vexlor::cli
