#include "common/write_all.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "common/mapping_guard.h"

namespace vexlor {

namespace {

// What is written is our own buffers or pages of a mapped input, so a page
// the kernel cannot read is one of the input's, gone because another program
// cut the file short.
std::unexpected<Error> write_failed(int err) {
    return err == EFAULT ? runtime_error(kInputCutWhileRead) : os_error(err);
}

} // namespace

Status write_all(int fd, std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return write_failed(errno);
        }
        if (n == 0) {
            return os_error(EIO);
        }
        bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
    return {};
}

namespace {

// A split's gathered write holds frames from all over the mapped input, each
// cold in the cache.  Inside the kernel's copy their misses come one after
// another; asking for their lines first lets the memory fetch many at once,
// and the copy then reads from the cache.  So short pieces are warmed, and a
// writev takes at most kWarmBytes of them (a fraction of the core's cache).
// Long pieces (the archive's runs of records) stream well as they are.
constexpr std::size_t kWarmPieceBelow = 4096;
constexpr std::size_t kWarmBytes = std::size_t{256} << 10;

// Warms the short pieces of iov[0, count) up to kWarmBytes of them, and
// returns how many pieces the next writev takes.
int warm_pieces(const iovec* iov, std::size_t count) {
    std::size_t warmed = 0;
    std::size_t n = 0;
    while (n < count && n < IOV_MAX && warmed < kWarmBytes) {
        const iovec& v = iov[n++];
        if (v.iov_len < kWarmPieceBelow) {
            auto p = reinterpret_cast<std::uintptr_t>(v.iov_base) & ~std::uintptr_t{63};
            const auto end = reinterpret_cast<std::uintptr_t>(v.iov_base) + v.iov_len;
            for (; p < end; p += 64) {
                __builtin_prefetch(reinterpret_cast<const void*>(p));
            }
            warmed += v.iov_len;
        }
    }
    return static_cast<int>(n);
}

} // namespace

Status write_all(int fd, std::vector<iovec>& iov) {
    std::size_t first = 0;
    while (first < iov.size()) {
        int n = warm_pieces(iov.data() + first, iov.size() - first);
        ssize_t done = ::writev(fd, iov.data() + first, n);
        if (done < 0) {
            if (errno == EINTR) {
                continue;
            }
            return write_failed(errno);
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
