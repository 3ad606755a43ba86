// Helpers shared by the fuzz targets: the oracle's abort, a scratch directory
// per process, and the run options that the driver targets take from the
// first bytes of their input.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <vector>

namespace vexlor::fuzz {

// The oracle: a broken expectation ends the process so the fuzzer (or ctest)
// reports the input.  Checked in every build: NDEBUG must not switch it off.
[[noreturn]] inline void fail(const char* what, const std::string& detail = {}) {
    std::fprintf(stderr, "fuzz oracle: %s%s%s\n", what, detail.empty() ? "" : ": ", detail.c_str());
    std::fflush(stderr);
    std::abort();
}
inline void require(bool ok, const char* what, const std::string& detail = {}) {
    if (!ok) {
        fail(what, detail);
    }
}

// Removes `dir` and everything below it.  Errors are ignored: a scratch area
// that cannot be cleaned only wastes space.
inline void remove_tree(const std::string& dir) {
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d)) {
            if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) {
                continue;
            }
            std::string p = dir + "/" + e->d_name;
            struct stat st;
            if (::lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
                remove_tree(p);
            } else {
                ::unlink(p.c_str());
            }
        }
        ::closedir(d);
    }
    ::rmdir(dir.c_str());
}

// One scratch directory per process, made on first use and removed at exit.
// Per process, so several fuzzers or replays can run side by side.  It goes
// to memory (/dev/shm) where there is one: the driver targets create, rename
// and delete files on every run, and a disk file system's metadata work
// would otherwise take most of each run.  TMPDIR, and above it
// VEXLOR_FUZZ_TMPDIR, choose another place.
class ScratchDir {
public:
    static const std::string& path() {
        static ScratchDir dir;
        return dir.path_;
    }

private:
    ScratchDir() {
        std::string base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        for (const char* var : {"TMPDIR", "VEXLOR_FUZZ_TMPDIR"}) {
            if (const char* v = std::getenv(var); v && *v) {
                base = v;
            }
        }
        std::string templ = base + "/vexlor_fuzz_XXXXXX";
        std::vector<char> buf(templ.begin(), templ.end());
        buf.push_back('\0');
        if (!::mkdtemp(buf.data())) {
            fail("cannot create a scratch directory", templ);
        }
        path_ = buf.data();
    }
    ~ScratchDir() { remove_tree(path_); }

    std::string path_;
};

// Names of the entries of `dir` (not "." and ".."), unsorted.
inline std::vector<std::string> list_dir(const std::string& dir) {
    std::vector<std::string> out;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d)) {
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
                out.emplace_back(e->d_name);
            }
        }
        ::closedir(d);
    }
    return out;
}

inline void write_whole(const std::string& path, std::span<const std::uint8_t> bytes) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        fail("cannot create a scratch file", path);
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) {
            ::close(fd);
            fail("cannot write a scratch file", path);
        }
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
}

inline bool read_whole(const std::string& path, std::vector<std::uint8_t>& out) {
    out.clear();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    std::uint8_t buf[1 << 16];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            ::close(fd);
            return false;
        }
        if (n == 0) {
            break;
        }
        out.insert(out.end(), buf, buf + n);
    }
    ::close(fd);
    return true;
}

// How a driver target runs, taken from the first kOptionBytes of its input;
// the rest is the capture.  Every value is reachable from one byte or two, so
// the fuzzer moves between strategies, output types, caps and filters as
// easily as it mutates the capture.
//
//   byte 0: bits 0-2 strategy (values 7 wrap to session), bit 3 l7 output,
//           bits 4-5 filters (none, port, address, both), bit 6 second port
//           filter, bit 7 an address filter text that is not an address
//   byte 1: bits 0-2 max_sessions (0..7), bits 3-5 buffer_bytes from a table
//           of sizes around the record and slab sizes
//   bytes 2-3: a port for the port filter (big-endian)
//   bytes 4-7: an IPv4 address for the address filter
inline constexpr std::size_t kOptionBytes = 8;

struct RunOptions {
    std::string strategy;
    bool l7 = false;
    std::uint32_t max_sessions = 0;
    std::uint64_t buffer_bytes = 0;
    std::vector<std::string> ip_filters;
    std::vector<std::uint16_t> port_filters;
};

inline RunOptions decode_options(const std::uint8_t* p) {
    static const char* const kStrategies[] = {"session", "flow",  "host",    "hostpair",
                                              "mac",     "bssid", "nosplit", "SESSION"};
    // 0 writes straight through; 1 and 17 buffer almost nothing; 40 is about
    // one small record; 2047..2049 straddle one slab of the split writer.
    static const std::uint64_t kBufferSizes[] = {0, 1, 17, 40, 2047, 2049, 10000, 100000};
    RunOptions o;
    o.strategy = kStrategies[p[0] & 7];
    o.l7 = (p[0] >> 3) & 1;
    const unsigned filters = (p[0] >> 4) & 3;
    o.max_sessions = p[1] & 7;
    o.buffer_bytes = kBufferSizes[(p[1] >> 3) & 7];
    if (filters & 1) {
        o.port_filters.push_back(static_cast<std::uint16_t>((p[2] << 8) | p[3]));
        if (p[0] & 0x40) {
            o.port_filters.push_back(80);
        }
    }
    if (filters & 2) {
        o.ip_filters.push_back(std::to_string(p[4]) + "." + std::to_string(p[5]) + "." +
                               std::to_string(p[6]) + "." + std::to_string(p[7]));
        if (p[0] & 0x80) {
            o.ip_filters.push_back("not an address");
        }
    }
    return o;
}

} // namespace vexlor::fuzz
