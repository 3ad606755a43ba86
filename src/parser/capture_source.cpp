#include "parser/capture_source.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace vexlor {
namespace {

// The largest window a stream gives: no capture record comes near it, and a
// length field from a damaged file must not make us read gigabytes ahead.

} // namespace

// Records are handed out as views of the chunks a stream is read in, so a
// chunk lives as long as the last record held from it.
CaptureSource::CaptureSource(std::unique_ptr<ByteStream> stream, std::size_t chunk)
    : stream_(std::move(stream)), chunk_size_(std::max<std::size_t>(chunk, 64)) {}

std::optional<std::uint64_t> CaptureSource::end() const {
    if (!streaming()) {
        return whole_.size();
    }
    return ended_ ? std::optional<std::uint64_t>(chunk_start_ + filled_) : std::nullopt;
}

std::optional<std::uint64_t> CaptureSource::input_size() const {
    return streaming() ? stream_->input_size() : std::optional<std::uint64_t>(whole_.size());
}

SharedBytes CaptureSource::hold(ByteSpan bytes) const {
    const SharedBytes& base = streaming() ? chunk_ : whole_;
    if (bytes.empty()) {
        return SharedBytes();
    }
    return base.slice(static_cast<std::size_t>(bytes.data() - base.data()), bytes.size());
}

void CaptureSource::start_chunk(std::uint64_t offset, std::size_t capacity) {
    // Not cleared: only the bytes read into it are ever looked at.
    std::uint8_t* write = nullptr;
    SharedBytes fresh = SharedBytes::uninitialized(capacity, &write);
    std::size_t carried = 0;
    if (offset < chunk_start_ + filled_) {
        const auto from = static_cast<std::size_t>(offset - chunk_start_);
        carried = filled_ - from;
        std::memcpy(write, chunk_.data() + from, carried);
    }
    // Records already handed out keep the old chunk alive through their holds.
    chunk_ = std::move(fresh);
    chunk_write_ = write;
    capacity_ = capacity;
    chunk_start_ = offset;
    filled_ = carried;
}

Status CaptureSource::fill_to(std::size_t want) {
    while (filled_ < want && !ended_) {
        auto got = stream_->read(std::span(chunk_write_ + filled_, capacity_ - filled_));
        if (!got) {
            return std::unexpected(got.error());
        }
        if (*got == 0) {
            ended_ = true;
        }
        filled_ += *got;
        consumed_.store(stream_->consumed(), std::memory_order_relaxed);
    }
    return {};
}

// Reads past bytes nobody asked for (padding beyond a block, a record too
// large to hold), until `offset` or the end of the data.
Status CaptureSource::skip_to(std::uint64_t offset) {
    while (chunk_start_ + filled_ < offset && !ended_) {
        start_chunk(chunk_start_ + filled_, chunk_size_);
        const auto gap = std::min<std::uint64_t>(offset - chunk_start_, chunk_size_);
        if (auto st = fill_to(static_cast<std::size_t>(gap)); !st) {
            return st;
        }
    }
    return {};
}

Result<ByteSpan> CaptureSource::window(std::uint64_t offset, std::size_t want) {
    if (!streaming()) {
        consumed_.store(offset, std::memory_order_relaxed);
        // Records already given out may have read zeros where the file was
        // cut under us: the run fails at the next one, whatever it is.
        if (whole_.cut()) {
            return runtime_error(kInputCutWhileRead);
        }
        return offset <= whole_.size() ? whole_.span().subspan(static_cast<std::size_t>(offset))
                                       : ByteSpan{};
    }
    if (offset > chunk_start_ + filled_) {
        if (auto st = skip_to(offset); !st) {
            return std::unexpected(st.error());
        }
        if (offset > chunk_start_ + filled_) {
            return ByteSpan{};
        }
    }
    // Past kMaxRecordWindow, the window says what a cut-off record says: the
    // data ends first.  Only a damaged length field asks for that much, and
    // a whole reading refuses it too, unless the file really holds it.
    const std::size_t limit = std::min(want, kMaxRecordWindow);
    auto rel = static_cast<std::size_t>(offset - chunk_start_);
    while (filled_ - rel < limit && !ended_) {
        if (filled_ == capacity_) {
            // No room left: a new chunk from `offset` on, grown by doubling
            // while one record needs more, so that a length field read from
            // the file costs memory only as the data bears it out.
            const std::size_t have = filled_ - rel;
            start_chunk(offset, std::max(chunk_size_, std::min(limit, 2 * have)));
            rel = 0;
        }
        if (auto st = fill_to(std::min(capacity_, rel + limit)); !st) {
            return std::unexpected(st.error());
        }
    }
    return ByteSpan(chunk_.data() + rel, filled_ - rel);
}

} // namespace vexlor
