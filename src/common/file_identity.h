// Which file a name stands for: device and inode, whatever the spelling of
// the path (relative, through symlinks, another hard link).
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <compare>
#include <cstdint>
#include <optional>
#include <string>

namespace vexlor {

struct FileIdentity {
    dev_t dev = 0;
    ino_t ino = 0;
    friend auto operator<=>(const FileIdentity&, const FileIdentity&) = default;
};

// Whether the file `path` names is still `file` and now holds fewer than
// `size` bytes: a file we mapped, cut short by another program since.
inline bool shorter_than(const std::string& path, const FileIdentity& file, std::uint64_t size) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 &&
           FileIdentity{st.st_dev, st.st_ino} == file && st.st_size >= 0 &&
           static_cast<std::uint64_t>(st.st_size) < size;
}

// The identity of the file `path` names (symlinks followed), or nothing when
// there is none (or it cannot be examined).
inline std::optional<FileIdentity> identity_of(const std::string& path) {
    struct stat st {};
    if (path.find('\0') != std::string::npos || ::stat(path.c_str(), &st) != 0) {
        return std::nullopt;
    }
    return FileIdentity{st.st_dev, st.st_ino};
}

// The same for `name` relative to the directory descriptor `dir_fd`.
inline std::optional<FileIdentity> identity_at(int dir_fd, const std::string& name) {
    struct stat st {};
    if (::fstatat(dir_fd, name.c_str(), &st, 0) != 0) {
        return std::nullopt;
    }
    return FileIdentity{st.st_dev, st.st_ino};
}

} // namespace vexlor
