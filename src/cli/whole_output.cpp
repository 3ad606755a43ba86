#include "cli/whole_output.h"

#include <fcntl.h>
#include <sys/file.h>
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
    while (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            return io_error("Output directory " + named + " is in use by another run");
        }
        if (errno != EINTR) {
            return std::nullopt;
        }
    }
    return std::optional<UniqueFd>(std::move(fd));
}

bool missing(const fs::path& p) {
    struct stat st {};
    return ::lstat(p.c_str(), &st) != 0 && errno == ENOENT;
}

// Whether the file `path` lies below the directory `dir` (both spelled any
// way, links followed).
bool below(const std::string& path, const std::string& dir) {
    std::error_code ec;
    const fs::path p = fs::weakly_canonical(path, ec);
    const fs::path d = fs::weakly_canonical(dir, ec);
    const fs::path rel = p.lexically_relative(d);
    return !ec && !rel.empty() && *rel.begin() != "..";
}

} // namespace

Result<std::optional<WholeOutputDir>>
WholeOutputDir::prepare(const std::string& out, const std::vector<std::string>& inputs) {
    std::string dir = out;
    while (dir.size() > 1 && dir.back() == '/') {
        dir.pop_back();
    }
    if (dir.empty() || !missing(dir)) {
        return std::nullopt;
    }
    const fs::path path(dir);
    const std::string name = path.filename().string();
    if (name.empty() || name == "." || name == "..") {
        return std::nullopt;
    }
    // From here on, a return without it undoes what was made.
    WholeOutputDir whole;
    whole.out_ = dir;
    for (fs::path p = path.parent_path(); !p.empty() && p != p.root_path() && missing(p);
         p = p.parent_path()) {
        whole.made_.insert(whole.made_.begin(), p.string());
    }
    const fs::path parent = path.parent_path();
    if ((!parent.empty() && !create_dir_all(parent.string())) || ::mkdir(dir.c_str(), 0777) != 0) {
        return std::nullopt;
    }
    whole.made_out_ = true;
    auto out_lock = lock_dir(dir, out);
    if (!out_lock) {
        // Another run took it between its making and our lock: it is theirs.
        whole.made_out_ = false;
        whole.made_.clear();
        return std::unexpected(out_lock.error());
    }
    if (!*out_lock) {
        return std::nullopt;
    }
    whole.out_lock_ = std::move(**out_lock);
    whole.partial_ = (parent / ("." + name + ".vexlor-partial")).string();
    const bool fresh = ::mkdir(whole.partial_.c_str(), 0777) == 0;
    // Not ours to remove until it is locked, unless made just now.
    whole.keep_partial_ = !fresh;
    if (!fresh && errno != EEXIST) {
        return std::nullopt;
    }
    auto partial_lock = lock_dir(whole.partial_, out);
    if (!partial_lock) {
        whole.keep_partial_ = true;
        return std::unexpected(partial_lock.error());
    }
    if (!*partial_lock) {
        return std::nullopt;
    }
    whole.partial_lock_ = std::move(**partial_lock);
    if (!fresh) {
        // Left by a killed run, and cleared; unless an input of this run
        // lies in it, which is then left alone with it.
        for (const std::string& input : inputs) {
            if (input != "-" && below(input, whole.partial_)) {
                return std::nullopt;
            }
        }
        std::error_code ec;
        for (fs::directory_iterator it(whole.partial_, ec), end; !ec && it != end;
             it.increment(ec)) {
            fs::remove_all(it->path(), ec);
        }
        if (ec) {
            return io_error("cannot clear " + whole.partial_ +
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
