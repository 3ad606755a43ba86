#include "output/buffered_file.h"

#include "output/pcap_format.h"

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

Status BufferedFile::write(std::span<const std::uint8_t> bytes) {
    if (bytes.size() > capacity_ - buf_.size()) {
        if (auto st = flush(); !st) {
            return st;
        }
        if (bytes.size() >= capacity_) {
            return write_all(fd_.get(), bytes);
        }
    }
    if (buf_.capacity() < buf_.size() + bytes.size()) {
        // Grow in steps, never beyond the capacity: most buffers fill to it.
        std::uint64_t want = std::max<std::uint64_t>(buf_.size() + bytes.size(),
                                                     std::min<std::uint64_t>(capacity_, 1u << 16));
        buf_.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(
            capacity_, std::max<std::uint64_t>(want, buf_.capacity() * 2))));
    }
    buf_.insert(buf_.end(), bytes.begin(), bytes.end());
    return {};
}

Status BufferedFile::write2(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
    if (auto st = write(a); !st) {
        return st;
    }
    return write(b);
}

Status BufferedFile::flush() {
    if (buf_.empty()) {
        return {};
    }
    Status st = write_all(fd_.get(), buf_);
    buf_.clear();
    return st;
}

Status BufferedFile::close() {
    if (!fd_.valid()) {
        return {};
    }
    Status st = flush();
    int err = fd_.reset();
    std::vector<std::uint8_t>().swap(buf_);
    if (!st) {
        return st;
    }
    if (err != 0) {
        return os_error(err);
    }
    return {};
}

Status write_pcap_frame_raw(BufferedFile& file, std::uint32_t ts_sec, std::uint32_t ts_usec,
                            std::uint32_t caplen, std::uint32_t orig_len,
                            std::span<const std::uint8_t> frame) {
    std::uint8_t hdr[kPcapRecordHeaderSize];
    pcap_record_header(hdr, ts_sec, ts_usec, caplen, orig_len);
    return file.write2(hdr, frame);
}

} // namespace vexlor
