#include "cli/whole_output.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "output/output_dir.h"

namespace vexlor::cli {

namespace fs = std::filesystem;

Result<std::optional<WholeOutputDir>> WholeOutputDir::prepare(const std::string& out) {
    std::string dir = out;
    while (dir.size() > 1 && dir.back() == '/') {
        dir.pop_back();
    }
    struct stat st {};
    if (dir.empty() || ::lstat(dir.c_str(), &st) == 0 || errno != ENOENT) {
        return std::nullopt;
    }
    const fs::path path(dir);
    const std::string name = path.filename().string();
    if (name.empty() || name == "." || name == "..") {
        return std::nullopt;
    }
    const fs::path parent = path.parent_path();
    if (!parent.empty() && !create_dir_all(parent.string())) {
        return std::nullopt;
    }
    std::string partial = (parent / ("." + name + ".vexlor-partial")).string();
    if (::mkdir(partial.c_str(), 0777) != 0 && errno != EEXIST) {
        return std::nullopt;
    }
    UniqueFd lock(::open(partial.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!lock.valid()) {
        return std::nullopt;
    }
    while (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            return io_error("Output directory " + out + " is in use by another run");
        }
        if (errno != EINTR) {
            return std::nullopt;
        }
    }
    // What a killed run left there goes; the directory itself stays, since
    // its lock is ours now.
    std::error_code ec;
    for (const fs::directory_entry& e : fs::directory_iterator(partial, ec)) {
        fs::remove_all(e.path(), ec);
        if (ec) {
            return io_error("cannot clear " + partial +
                            ", left by an earlier run: " + ec.message());
        }
    }
    if (ec) {
        return io_error("cannot clear " + partial + ", left by an earlier run: " + ec.message());
    }
    return WholeOutputDir(dir, std::move(partial), std::move(lock));
}

WholeOutputDir::~WholeOutputDir() {
    if (!partial_.empty() && !keep_) {
        std::error_code ec;
        fs::remove_all(partial_, ec);
    }
}

Status WholeOutputDir::publish() {
    keep_ = true;
    int err = 0;
    if (::renameat2(AT_FDCWD, partial_.c_str(), AT_FDCWD, out_.c_str(), RENAME_NOREPLACE) != 0) {
        err = errno;
        // A file system without the flag: a plain rename still refuses a
        // directory that holds anything.
        if ((err == EINVAL || err == ENOSYS) && ::rename(partial_.c_str(), out_.c_str()) == 0) {
            err = 0;
        } else if (err == EINVAL || err == ENOSYS) {
            err = errno;
        }
    }
    if (err == EEXIST || err == ENOTEMPTY) {
        return io_error("it was made by another program while the split ran; the files are in " +
                        partial_);
    }
    if (err != 0) {
        return io_error("cannot rename " + partial_ + " to " + out_ + " (" + os_error_text(err) +
                        "); the files are in " + partial_);
    }
    return {};
}

} // namespace vexlor::cli
