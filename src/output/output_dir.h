// The file-system side of split output: the output directory, names of
// files in it, and the calls made relative to its descriptor.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "common/file_identity.h"
#include "common/result.h"
#include "common/unique_fd.h"

namespace vexlor {

// Replaces control characters and  " * . / : < > ? \ |  by '_', so that no
// flow name can leave the output directory or hide a file.
std::string sanitize_flow_name(std::string_view name);

// The file stem of `input_path`: its last component without the last
// extension ("capture.pcap" -> "capture", "a.b.pcapng" -> "a.b", ".hidden"
// kept whole, "-" stays "-"), or "unknown" when there is no such component.
std::string output_prefix(std::string_view input_path);

// Creates `path` and its missing parents (mode 0777 before the umask); an
// existing directory is fine.
[[nodiscard]] Status create_dir_all(const std::string& path);

// An output directory, created if missing and held open: files in it are
// opened, renamed and removed relative to its descriptor, so a reopen costs
// no walk of the directory's own path.  While open, it holds an
// exclusive flock on the directory: a second OutputDir of the same directory
// fails with the I/O error "Output directory {} is in use by another run".
// Whether `e` is OutputDir::open's refusal of a directory another run holds.
bool is_in_use(const Error& e);

// Takes the run lock of the directory open at `fd` without waiting: held
// alone (a run writing into it), or `shared` (the runs of one job).  Fails
// with the I/O error above, naming the directory `named`, when another run
// holds it; any other failure is the system's error.
[[nodiscard]] Status lock_run_dir(int fd, const std::string& named, bool shared = false);

class OutputDir {
public:
    // `lock`: false only for a second writer of a run that holds the lock.
    [[nodiscard]] static Result<OutputDir> open(const std::string& path, bool lock = true);

    // openat() relative to the directory, EINTR retried; the error is the
    // system's (errno kept in `errnum` for callers that react to it).
    struct OpenError {
        int errnum;
    };
    [[nodiscard]] Expected<UniqueFd, OpenError> open_file(const std::string& name, int flags) const;
    [[nodiscard]] Status rename(const std::string& from, const std::string& to) const;
    void remove(const std::string& name) const;
    // The file's size, or nothing when it is not there.
    std::optional<off_t> size_of(const std::string& name) const;
    // Which file the name stands for, or nothing when it is not there.
    std::optional<FileIdentity> identity_of(const std::string& name) const {
        return identity_at(fd_.get(), name);
    }
    // Calls `visit` with the name of every entry of the directory ("." and
    // ".." left out); false when the directory cannot be read.
    [[nodiscard]] bool for_each_name(const std::function<void(const std::string&)>& visit) const;

private:
    explicit OutputDir(UniqueFd fd) : fd_(std::move(fd)) {}
    UniqueFd fd_;
};

} // namespace vexlor
