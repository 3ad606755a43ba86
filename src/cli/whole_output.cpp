#include "cli/whole_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "output/output_dir.h"

namespace vexlor::cli {

namespace fs = std::filesystem;

namespace {

// The directory opened and locked as an output directory's run lock is:
// nothing when it cannot be opened, an error when another run holds it.
Result<std::optional<UniqueFd>> lock_dir(const std::string& path, const std::string& named) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid()) {
        return std::nullopt;
    }
    if (auto st = lock_run_dir(fd.get(), named); !st) {
        if (is_in_use(st.error())) {
            return std::unexpected(st.error());
        }
        return std::nullopt;
    }
    return std::optional<UniqueFd>(std::move(fd));
}

bool missing(const fs::path& p) {
    struct stat st {};
    return ::lstat(p.c_str(), &st) != 0 && errno == ENOENT;
}

bool empty_dir(const std::string& dir) {
    std::error_code ec;
    return fs::is_empty(dir, ec) && !ec;
}

// Whether one of the run's inputs lies in the directory `dir`: a path below
// it (spelled any way, links followed), or standard input redirected from
// a file in it.
bool holds_input(const std::string& dir, const std::vector<std::string>& inputs) {
    std::error_code ec;
    const fs::path d = fs::weakly_canonical(dir, ec);
    for (const std::string& input : inputs) {
        if (input == "-") {
            struct stat in {};
            if (::fstat(STDIN_FILENO, &in) != 0 || !S_ISREG(in.st_mode)) {
                continue;
            }
            for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end;
                 it.increment(ec)) {
                struct stat st {};
                if (::lstat(it->path().c_str(), &st) == 0 && st.st_dev == in.st_dev &&
                    st.st_ino == in.st_ino) {
                    return true;
                }
            }
            continue;
        }
        const fs::path rel = fs::weakly_canonical(input, ec).lexically_relative(d);
        if (!ec && !rel.empty() && *rel.begin() != "..") {
            return true;
        }
    }
    return false;
}

} // namespace

Result<std::optional<WholeOutputDir>>
WholeOutputDir::prepare(const std::string& out, const std::vector<std::string>& inputs) {
    std::string dir = out;
    while (dir.size() > 1 && dir.back() == '/') {
        dir.pop_back();
    }
    const fs::path path(dir);
    const std::string name = path.filename().string();
    if (dir.empty() || name.empty() || name == "." || name == "..") {
        return std::nullopt;
    }
    const fs::path parent = path.parent_path();
    const std::string partial = (parent / ("." + name + ".vexlor-partial")).string();
    // An OUTDIR that exists is written into as usual, unless a killed run
    // left the hidden directory beside it; if OUTDIR is empty, it was that
    // run's, and this run takes both over.
    const bool existed = !missing(dir);
    if (existed && missing(partial)) {
        return std::nullopt;
    }
    // From here on, a return without it undoes what was made.
    WholeOutputDir whole;
    whole.out_ = dir;
    if (!existed) {
        for (fs::path p = parent; !p.empty() && p != p.root_path() && missing(p);
             p = p.parent_path()) {
            whole.made_.insert(whole.made_.begin(), p.string());
        }
        if ((!parent.empty() && !create_dir_all(parent.string())) ||
            ::mkdir(dir.c_str(), 0777) != 0) {
            return std::nullopt;
        }
        whole.made_out_ = true;
    }
    // Locked, then looked at: a run that found OUTDIR made before our lock
    // may have written into it, and it is then theirs.
    auto out_lock = lock_dir(dir, out);
    if (!out_lock || !*out_lock || !empty_dir(dir)) {
        whole.made_out_ = whole.made_out_ && out_lock && *out_lock;
        whole.made_.clear();
        if (!out_lock) {
            return std::unexpected(out_lock.error());
        }
        return std::nullopt;
    }
    whole.out_lock_ = std::move(**out_lock);
    whole.partial_ = partial;
    const bool fresh = ::mkdir(partial.c_str(), 0777) == 0;
    // Not ours to remove until it is locked, unless made just now.
    whole.keep_partial_ = !fresh;
    if (!fresh && errno != EEXIST) {
        return std::nullopt;
    }
    auto partial_lock = lock_dir(partial, out);
    if (!partial_lock) {
        return std::unexpected(partial_lock.error());
    }
    if (!*partial_lock) {
        return std::nullopt;
    }
    whole.partial_lock_ = std::move(**partial_lock);
    if (!fresh) {
        // Left by a killed run, and cleared; unless an input of this run
        // lies in it, which is then left alone with it.
        if (holds_input(partial, inputs)) {
            return std::nullopt;
        }
        std::error_code ec;
        for (fs::directory_iterator it(partial, ec), end; !ec && it != end; it.increment(ec)) {
            fs::remove_all(it->path(), ec);
        }
        if (ec) {
            return io_error("cannot clear " + partial +
                            ", left by an earlier run: " + ec.message());
        }
        whole.keep_partial_ = false;
    }
    return std::optional<WholeOutputDir>(std::move(whole));
}

WholeOutputDir::~WholeOutputDir() {
    if (done_) {
        return; // moved from, or published (or its files kept) by publish()
    }
    if (!partial_.empty() && !keep_partial_) {
        std::error_code ec;
        fs::remove_all(partial_, ec);
    }
    // Only empty directories go: anything another program put there stays.
    if (made_out_) {
        (void)::rmdir(out_.c_str());
    }
    for (auto it = made_.rbegin(); it != made_.rend(); ++it) {
        (void)::rmdir(it->c_str());
    }
}

Status WholeOutputDir::publish() {
    done_ = true;
    // The empty OUTDIR is replaced; one that is no longer empty is not.
    if (::rename(partial_.c_str(), out_.c_str()) == 0) {
        return {};
    }
    const int err = errno;
    if (err == EEXIST || err == ENOTEMPTY) {
        return io_error("another program wrote into it while the split ran; the files are in " +
                        partial_);
    }
    return io_error("cannot rename " + partial_ + " to " + out_ + " (" + os_error_text(err) +
                    "); the files are in " + partial_);
}

} // namespace vexlor::cli
