// Where a capture reader's bytes come from: one whole buffer (a mapped file,
// standard input read to its end), or a stream read front to back in chunks
// (a compressed capture, or any input the tool streams), in memory bounded by
// the largest record and by how many records callers still hold.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

#include "common/result.h"
#include "common/shared_bytes.h"
#include "parser/byte_stream.h"

namespace vexlor {

// The most a stream's window holds at once: a record asking for more has a
// damaged length (real records are at most a few hundred KiB).
inline constexpr std::size_t kMaxRecordWindow = std::size_t{256} << 20;

class CaptureSource {
public:
    explicit CaptureSource(SharedBytes whole) : whole_(std::move(whole)) {}
    // `chunk`: bytes read from the stream at a time.
    CaptureSource(std::unique_ptr<ByteStream> stream, std::size_t chunk);

    CaptureSource(const CaptureSource&) = delete;
    CaptureSource& operator=(const CaptureSource&) = delete;

    // The bytes from `offset` on: at least `want` of them where the data
    // holds that many, fewer only at its end (none when `offset` lies past
    // it).  A stream moves forward only: `offset` never goes back before the
    // start of the previous window.  The span stays valid until the next
    // call; hold() keeps parts of it longer.
    [[nodiscard]] Result<ByteSpan> window(std::uint64_t offset, std::size_t want);

    // A counted hold on `bytes`, a part of the last window, that keeps them
    // alive after the source has moved on.
    SharedBytes hold(ByteSpan bytes) const;

    // Whether the bytes come from a stream: a window's bytes then live only
    // until the next call, unless held.
    bool streaming() const { return stream_ != nullptr; }
    // Whether a compression is taken off the stream's bytes.
    bool decompressing() const {
        return stream_ != nullptr && stream_->compression() != Compression::None;
    }

    // The whole buffer (empty for a stream).
    const SharedBytes& whole() const { return whole_; }

    // The offset where the data ends, once known: always for a buffer, for a
    // stream once a window has reached its end.
    std::optional<std::uint64_t> end() const;

    // Progress: bytes of the input as stored (compressed, for a compressed
    // stream) taken so far, and their total where known.  consumed() may be
    // read from any thread.
    std::uint64_t consumed() const { return consumed_.load(std::memory_order_relaxed); }
    std::optional<std::uint64_t> input_size() const;

private:
    // A new chunk of at least `capacity` bytes that starts at `offset`, with
    // the unread bytes of the current one from there on carried over.
    void start_chunk(std::uint64_t offset, std::size_t capacity);
    [[nodiscard]] Status fill_to(std::size_t want);
    [[nodiscard]] Status skip_to(std::uint64_t offset);

    SharedBytes whole_;
    std::unique_ptr<ByteStream> stream_;
    SharedBytes chunk_;                   // the bytes of [chunk_start_, chunk_start_ + filled_)
    std::uint8_t* chunk_write_ = nullptr; // the same storage, for filling its unread tail
    std::size_t chunk_size_ = 0;
    std::size_t capacity_ = 0;
    std::uint64_t chunk_start_ = 0;
    std::size_t filled_ = 0;
    bool ended_ = false;
    std::atomic<std::uint64_t> consumed_{0};
};

} // namespace vexlor
