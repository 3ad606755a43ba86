#include "common/buffered_file.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace vexlor {

Status write_all(int fd, std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return os_error(errno);
        }
        if (n == 0) {
            return os_error(EIO);
        }
        bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
    return {};
}

void WriteBuffer::append(std::span<const std::uint8_t> bytes) {
    std::size_t need = buf_.size() + bytes.size(); // <= capacity_ here
    if (buf_.capacity() < need) {
        // Grow by doubling from a small start, never past the capacity: a
        // writer with thousands of quiet flows then holds about what they
        // have buffered, not thousands of full-sized buffers.
        constexpr std::uint64_t kFirst = 1024;
        std::uint64_t want = std::max<std::uint64_t>({need, kFirst, buf_.capacity() * 2u});
        buf_.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(want, capacity_)));
    }
    buf_.insert(buf_.end(), bytes.begin(), bytes.end());
}

Status BufferedFile::close() {
    if (!fd_.valid()) {
        return {};
    }
    Status st = flush();
    int err = fd_.reset();
    buf_.release();
    if (!st) {
        return st;
    }
    if (err != 0) {
        return os_error(err);
    }
    return {};
}

} // namespace vexlor
