// Owns one file descriptor; closes it once.
#pragma once

#include <unistd.h>

#include <cerrno>
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

} // namespace vexlor
