// Buffered writing to one descriptor that remembers its first failure, so
// that callers write freely and look at the outcome once at the end.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace vexlor::cli {

class FdWriter {
public:
    explicit FdWriter(int fd) : fd_(fd) { buf_.reserve(kCapacity); }
    FdWriter(const FdWriter&) = delete;
    FdWriter& operator=(const FdWriter&) = delete;

    void write(std::span<const std::uint8_t> bytes) {
        if (buf_.size() + bytes.size() > kCapacity) {
            flush();
        }
        if (bytes.size() >= kCapacity) {
            put(bytes);
        } else if (error_ == 0) {
            buf_.insert(buf_.end(), bytes.begin(), bytes.end());
        }
    }
    void write(std::string_view text) {
        write(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    }
    // False once any write has failed; error() then holds its errno.
    bool flush() {
        put(buf_);
        buf_.clear();
        return error_ == 0;
    }
    int error() const { return error_; }

private:
    static constexpr std::size_t kCapacity = 256 * 1024;

    void put(std::span<const std::uint8_t> bytes) {
        while (error_ == 0 && !bytes.empty()) {
            ssize_t n = ::write(fd_, bytes.data(), bytes.size());
            if (n < 0) {
                if (errno != EINTR) {
                    error_ = errno;
                }
                continue;
            }
            bytes = bytes.subspan(static_cast<std::size_t>(n));
        }
    }

    int fd_;
    int error_ = 0;
    std::vector<std::uint8_t> buf_;
};

} // namespace vexlor::cli
