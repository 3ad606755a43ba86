#include "common/write_all.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

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

Status write_all(int fd, std::vector<iovec>& iov) {
    std::size_t first = 0;
    while (first < iov.size()) {
        int n = static_cast<int>(std::min<std::size_t>(iov.size() - first, IOV_MAX));
        ssize_t done = ::writev(fd, iov.data() + first, n);
        if (done < 0) {
            if (errno == EINTR) {
                continue;
            }
            return os_error(errno);
        }
        if (done == 0) {
            return os_error(EIO);
        }
        auto left = static_cast<std::size_t>(done);
        while (first < iov.size() && left >= iov[first].iov_len) {
            left -= iov[first].iov_len;
            ++first;
        }
        if (left > 0) {
            iov[first].iov_base = static_cast<std::uint8_t*>(iov[first].iov_base) + left;
            iov[first].iov_len -= left;
        }
    }
    return {};
}

} // namespace vexlor
