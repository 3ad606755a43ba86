// One flow's bytes waiting to be written: pieces laid out in slabs of a
// SlabPool, each either a copy of the bytes or a reference to bytes that the
// caller keeps unchanged until the buffer is written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <utility>
#include <vector>

#include "output/slab_pool.h"

namespace vexlor {

// A piece is an 8-byte tag (length, kind) followed by the bytes themselves,
// padded to 8, or by a pointer to them.  A piece never straddles two slabs.
// Copied bytes are appended to the last piece while it is a copy, so that a
// run of small records leaves the buffer as one piece of a gathered write.
class PieceBuffer {
public:
    PieceBuffer() = default;
    // A buffer handed to a writer thread leaves an empty one behind.
    PieceBuffer(PieceBuffer&& o) noexcept { *this = std::move(o); }
    PieceBuffer& operator=(PieceBuffer&& o) noexcept {
        slabs_ = std::exchange(o.slabs_, {});
        tail_ = std::exchange(o.tail_, nullptr);
        used_ = std::exchange(o.used_, 0);
        open_copy_ = std::exchange(o.open_copy_, kNone);
        open_len_ = std::exchange(o.open_len_, 0);
        size_ = std::exchange(o.size_, 0);
        referenced_ = std::exchange(o.referenced_, 0);
        return *this;
    }

    // Adds `head` (always copied) and `body` (copied, or referred to when
    // `by_reference`), all or nothing: false when the pool has too few slabs
    // left for them.
    bool add(SlabPool& pool, std::span<const std::uint8_t> head, std::span<const std::uint8_t> body,
             bool by_reference);

    // Visits the pieces in order as (pointer, length).
    template <class F> void for_each_piece(F&& visit) const;

    // Empties the buffer, its slabs back to the pool.
    void clear(SlabPool& pool);

    std::uint64_t size() const { return size_; }             // bytes the pieces stand for
    std::uint64_t referenced() const { return referenced_; } // of which held by reference
    bool empty() const { return size_ == 0; }
    std::size_t slab_count() const { return slabs_.size(); }

private:
    static constexpr std::size_t kSlabSize = SlabPool::kSlabSize;
    static constexpr std::size_t kTagSize = 8;
    static constexpr std::uint32_t kCopied = 0;
    static constexpr std::uint32_t kReferenced = 1;
    static constexpr std::uint32_t kSlabEnd = 2; // the rest of the slab is unused
    static constexpr std::uint32_t kNone = ~std::uint32_t{0};

    static constexpr std::size_t padded(std::size_t n) { return (n + 7) & ~std::size_t{7}; }
    static void put_tag(std::uint8_t* at, std::size_t len, std::uint32_t kind) {
        const auto n = static_cast<std::uint32_t>(len);
        std::memcpy(at, &n, 4);
        std::memcpy(at + 4, &kind, 4);
    }

    // The layout rule.  Lays the pieces out (Commit, slabs from `pool`) or
    // only counts the new slabs that would take.
    template <bool Commit>
    std::size_t lay_out(SlabPool* pool, std::span<const std::uint8_t> head,
                        std::span<const std::uint8_t> body, bool by_reference);

    std::vector<std::uint8_t*> slabs_;
    // The last slab and the state of its last piece are kept here, so that
    // appending reads nothing from the (cache-cold) slab.
    std::uint8_t* tail_ = nullptr;
    std::uint32_t used_ = 0;          // bytes of pieces in the last slab
    std::uint32_t open_copy_ = kNone; // offset of a last piece that is a copy
    std::uint32_t open_len_ = 0;      // and its length
    std::uint64_t size_ = 0;
    std::uint64_t referenced_ = 0;
};

template <class F> void PieceBuffer::for_each_piece(F&& visit) const {
    for (std::size_t i = 0; i < slabs_.size(); ++i) {
        const std::uint8_t* s = slabs_[i];
        const std::size_t end = i + 1 == slabs_.size() ? used_ : kSlabSize;
        for (std::size_t at = 0; at + kTagSize <= end;) {
            std::uint32_t len;
            std::uint32_t kind;
            std::memcpy(&len, s + at, 4);
            std::memcpy(&kind, s + at + 4, 4);
            if (kind == kSlabEnd) {
                break;
            }
            if (kind == kReferenced) {
                const std::uint8_t* ptr;
                std::memcpy(&ptr, s + at + kTagSize, sizeof ptr);
                visit(ptr, std::size_t{len});
                at += kTagSize + sizeof ptr;
            } else {
                visit(s + at + kTagSize, std::size_t{len});
                at += kTagSize + padded(len);
            }
        }
    }
}

} // namespace vexlor
