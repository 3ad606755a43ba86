// Owns one file descriptor; closes it once.
#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <utility>

namespace vexlor {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& o) noexcept {
        if (this != &o) {
            reset(std::exchange(o.fd_, -1));
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    // Closes the descriptor now; returns close()'s errno, or 0.
    int reset(int fd = -1) {
        int err = 0;
        if (fd_ >= 0 && ::close(fd_) != 0) {
            err = errno;
        }
        fd_ = fd;
        return err;
    }

private:
    int fd_ = -1;
};

// Grows the process's descriptor table at once to hold `count` descriptors
// (within the soft limit).  The kernel doubles the table as descriptors are
// opened, and in a process with threads each doubling waits for an RCU grace
// period (5 to 15 ms on a virtual machine) while every thread that opens a
// file waits with it: a split that opened 10,000 files stood still for six
// of them.  Grown in one step the wait comes once, and not at all while the
// process has a single thread.
inline void reserve_descriptors(std::size_t count) {
    rlimit limit{};
    if (count < 2 || ::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return;
    }
    if (limit.rlim_cur != RLIM_INFINITY) {
        count = std::min<std::size_t>(count, limit.rlim_cur);
    }
    count = std::min<std::size_t>(count, INT_MAX);
    const UniqueFd any(::open("/", O_PATH | O_CLOEXEC));
    if (any.valid()) {
        // The lowest free descriptor at or above the last one asked for: the
        // table grows to hold it, and it is closed again.
        const UniqueFd high(::fcntl(any.get(), F_DUPFD_CLOEXEC, static_cast<int>(count - 1)));
    }
}

} // namespace vexlor
