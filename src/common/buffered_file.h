// Write buffering for output files.
#pragma once

#include "common/result.h"
#include "common/unique_fd.h"

#include <sys/uio.h>

#include <cstdint>
#include <span>
#include <vector>

namespace vexlor {

// Writes `bytes` whole, retrying short writes and EINTR.
Status write_all(int fd, std::span<const std::uint8_t> bytes);
// The same for pieces gathered in `iov` (which it changes as it goes).
Status write_all(int fd, std::vector<iovec>& iov);

// The buffering rule of output files: bytes go into the buffer; when they do
// not fit in the space left, the buffer is written out first; bytes at least
// as long as the capacity then go straight out.  A capacity of 0 writes
// everything straight through.  The buffer takes memory as it fills, not up
// front, so a huge capacity costs only what is actually buffered.
//
// Where the bytes go is the caller's: `out(span)` must write them to the file.
class WriteBuffer {
public:
    explicit WriteBuffer(std::uint64_t capacity = 0) : capacity_(capacity) {}

    template <class Out> Status write(std::span<const std::uint8_t> bytes, Out&& out) {
        if (bytes.size() > capacity_ - buf_.size()) {
            if (auto st = flush(out); !st) {
                return st;
            }
            if (bytes.size() >= capacity_) {
                return out(bytes);
            }
        }
        append(bytes);
        return {};
    }
    template <class Out> Status flush(Out&& out) {
        if (buf_.empty()) {
            return {};
        }
        Status st = out(std::span<const std::uint8_t>(buf_));
        buf_.clear();
        return st;
    }

    std::size_t size() const { return buf_.size(); }
    bool empty() const { return buf_.empty(); }
    // Memory held, buffered or not.
    std::size_t reserved() const { return buf_.capacity(); }
    // Gives the memory back; the buffer must be empty.
    void release() { std::vector<std::uint8_t>().swap(buf_); }

private:
    void append(std::span<const std::uint8_t> bytes);

    std::uint64_t capacity_;
    std::vector<std::uint8_t> buf_;
};

// An open file with its own write buffer.
class BufferedFile {
public:
    BufferedFile() = default;
    BufferedFile(UniqueFd fd, std::uint64_t capacity) : fd_(std::move(fd)), buf_(capacity) {}

    bool is_open() const { return fd_.valid(); }
    Status write(std::span<const std::uint8_t> bytes) { return buf_.write(bytes, Sink{fd_.get()}); }
    Status flush() { return buf_.flush(Sink{fd_.get()}); }
    // Flushes and closes; the first error wins.
    Status close();
    // Flushes what it can and closes, ignoring errors.
    void abandon() { (void)close(); }

private:
    struct Sink {
        int fd;
        Status operator()(std::span<const std::uint8_t> b) const { return write_all(fd, b); }
    };
    UniqueFd fd_;
    WriteBuffer buf_;
};

} // namespace vexlor
