// A split into a directory that does not exist yet is made in a hidden
// directory beside it, its files under their final names, and published
// whole by one rename of that directory.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "common/result.h"
#include "common/unique_fd.h"

namespace vexlor::cli {

// The files' own renames at the end of a split are one file-system call
// each, all in one directory and so one at a time: a fifth of a split of
// many small flows.  A directory made for the run is published with one
// instead; a failed or interrupted run leaves no directory at all, and one
// killed leaves only the hidden one, which the next run into the same
// directory clears.  Two runs into it at once are told apart by a lock on
// the hidden directory, in the words of the output directory's own lock.
class WholeOutputDir {
public:
    // The hidden directory ".NAME.vexlor-partial" beside `out`, made and
    // locked; nothing when `out` exists already or its place cannot be
    // used so (the run then writes into `out` as usual, and meets any
    // failure there in its own words).
    static Result<std::optional<WholeOutputDir>> prepare(const std::string& out);

    WholeOutputDir(WholeOutputDir&& o) noexcept
        : out_(std::move(o.out_)), partial_(std::exchange(o.partial_, {})),
          lock_(std::move(o.lock_)), keep_(o.keep_) {}
    WholeOutputDir& operator=(WholeOutputDir&&) = delete;
    ~WholeOutputDir();

    const std::string& path() const { return partial_; }
    // Renames the hidden directory to `out`.  Should that fail (something
    // took the name meanwhile), the files stay where they are, and the
    // error says where.
    [[nodiscard]] Status publish();

private:
    WholeOutputDir(std::string out, std::string partial, UniqueFd lock)
        : out_(std::move(out)), partial_(std::move(partial)), lock_(std::move(lock)) {}

    std::string out_;
    std::string partial_; // empty once moved from
    UniqueFd lock_;
    bool keep_ = false; // published, or its files must stay where they are
};

} // namespace vexlor::cli
