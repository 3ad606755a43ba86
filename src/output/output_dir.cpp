#include "output/output_dir.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace vexlor {

std::string sanitize_flow_name(std::string_view name) {
    std::string out(name);
    for (char& c : out) {
        auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) {
            c = '_';
            continue;
        }
        switch (c) {
        case '"':
        case '*':
        case '.':
        case '/':
        case ':':
        case '<':
        case '>':
        case '?':
        case '\\':
        case '|':
            c = '_';
            break;
        default:
            break;
        }
    }
    return out;
}

Status create_dir_all(const std::string& path) {
    if (path.empty()) {
        return {};
    }
    if (path.find('\0') != std::string::npos) {
        return io_error("file name contained an unexpected NUL byte");
    }
    // Create the directory itself first; only when its parent is missing,
    // create the parent (recursively) and try again.  Any other failure is
    // fine as long as a directory stands there in the end.
    if (::mkdir(path.c_str(), 0777) == 0) {
        return {};
    }
    int err = errno;
    struct stat st;
    if (err == ENOENT) {
        std::size_t end = path.find_last_not_of('/');
        std::size_t slash = end == std::string::npos ? std::string::npos : path.rfind('/', end);
        if (slash != std::string::npos && slash > 0) {
            if (auto parent = create_dir_all(path.substr(0, slash)); !parent) {
                return parent;
            }
            if (::mkdir(path.c_str(), 0777) == 0) {
                return {};
            }
            err = errno;
        }
    }
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        return {};
    }
    return os_error(err);
}

std::string output_prefix(std::string_view path) {
    // The last normal component: "." components are skipped, trailing
    // slashes ignored; ".." or nothing at all has no stem.
    std::string_view last;
    bool have = false;
    std::size_t pos = 0;
    while (pos <= path.size()) {
        std::size_t slash = path.find('/', pos);
        std::size_t end = slash == std::string_view::npos ? path.size() : slash;
        std::string_view comp = path.substr(pos, end - pos);
        if (!comp.empty() && comp != ".") {
            last = comp;
            have = true;
        }
        if (slash == std::string_view::npos) {
            break;
        }
        pos = slash + 1;
    }
    if (!have || last == "..") {
        return "unknown";
    }
    std::size_t dot = last.rfind('.');
    if (dot == std::string_view::npos || dot == 0) {
        return std::string(last);
    }
    return std::string(last.substr(0, dot));
}

namespace {
constexpr std::string_view kInUse = " is in use by another run";
} // namespace

bool is_in_use(const Error& e) {
    return e.kind == ErrorKind::Io && e.message.starts_with("Output directory ") &&
           e.message.ends_with(kInUse);
}

Result<OutputDir> OutputDir::open(const std::string& path, bool lock) {
    if (auto st = create_dir_all(path); !st) {
        return std::unexpected(st.error());
    }
    const std::string& dir = path.empty() ? std::string(".") : path;
    UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid()) {
        return os_error(errno);
    }
    // Two runs into one directory would truncate and rename each other's
    // files; the second one is refused before it touches anything.  The lock
    // lives as long as the descriptor, which is the whole run.
    if (lock) {
        if (auto st = lock_run_dir(fd.get(), dir); !st) {
            return std::unexpected(st.error());
        }
    }
    return OutputDir(std::move(fd));
}

Status lock_run_dir(int fd, const std::string& named, bool shared) {
    while (::flock(fd, (shared ? LOCK_SH : LOCK_EX) | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            return io_error("Output directory " + named + std::string(kInUse));
        }
        if (errno != EINTR) {
            return os_error(errno);
        }
    }
    return {};
}

Expected<UniqueFd, OutputDir::OpenError> OutputDir::open_file(const std::string& name,
                                                              int flags) const {
    for (;;) {
        int fd = ::openat(fd_.get(), name.c_str(), flags | O_CLOEXEC, 0666);
        if (fd >= 0) {
            return UniqueFd(fd);
        }
        if (errno != EINTR) {
            return std::unexpected(OpenError{errno});
        }
    }
}

Status OutputDir::rename(const std::string& from, const std::string& to) const {
    if (::renameat(fd_.get(), from.c_str(), fd_.get(), to.c_str()) != 0) {
        return os_error(errno);
    }
    return {};
}

void OutputDir::remove(const std::string& name) const {
    (void)::unlinkat(fd_.get(), name.c_str(), 0);
}

bool OutputDir::for_each_name(const std::function<void(const std::string&)>& visit) const {
    // A descriptor of its own: reading a directory moves its position.
    const int fd = ::openat(fd_.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    DIR* d = ::fdopendir(fd);
    if (d == nullptr) {
        ::close(fd);
        return false;
    }
    std::string name;
    errno = 0;
    while (const dirent* e = ::readdir(d)) {
        name = e->d_name;
        if (name != "." && name != "..") {
            visit(name);
        }
        errno = 0;
    }
    const bool read_all = errno == 0;
    ::closedir(d);
    return read_all;
}

std::optional<off_t> OutputDir::size_of(const std::string& name) const {
    struct stat st;
    if (::fstatat(fd_.get(), name.c_str(), &st, 0) != 0) {
        return std::nullopt;
    }
    return st.st_size;
}

} // namespace vexlor
