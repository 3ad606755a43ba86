// An output file with its own write buffer.
#pragma once

#include "common/result.h"
#include "common/unique_fd.h"

#include <cstdint>
#include <span>
#include <vector>

namespace vexlor {

// Writes `bytes` whole, retrying short writes and EINTR.
Status write_all(int fd, std::span<const std::uint8_t> bytes);

// Buffering rule: bytes go into the buffer; when they do not fit in the space
// left, the buffer is written out first; bytes at least as long as the
// capacity then go straight to the file.  A capacity of 0 writes everything
// straight through.  Memory is taken as the buffer fills, not up front, so a
// huge capacity costs only what is actually buffered.
class BufferedFile {
public:
    BufferedFile() = default;
    BufferedFile(UniqueFd fd, std::uint64_t capacity) : fd_(std::move(fd)), capacity_(capacity) {}

    bool is_open() const { return fd_.valid(); }

    Status write(std::span<const std::uint8_t> bytes);
    // Two pieces, as one logical write (a record header and its frame).
    Status write2(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b);
    Status flush();
    // Flushes and closes; the first error wins.
    Status close();

private:
    UniqueFd fd_;
    std::uint64_t capacity_ = 0;
    std::vector<std::uint8_t> buf_;
};

// write_pcap_frame_raw: one 16-byte record header and the frame.
Status write_pcap_frame_raw(BufferedFile& file, std::uint32_t ts_sec, std::uint32_t ts_usec,
                            std::uint32_t caplen, std::uint32_t orig_len,
                            std::span<const std::uint8_t> frame);

} // namespace vexlor
