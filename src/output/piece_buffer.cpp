#include "output/piece_buffer.h"

#include <algorithm>

namespace vexlor {

template <bool Commit>
std::size_t PieceBuffer::lay_out(SlabPool* pool, std::span<const std::uint8_t> head,
                                 std::span<const std::uint8_t> body, bool by_reference) {
    std::size_t fresh = 0;
    std::uint8_t* slab = tail_;
    bool have = slab != nullptr;
    std::size_t used = used_;        // end of the last slab's pieces, padded
    std::uint32_t open = open_copy_; // a copied piece that can still grow
    std::uint32_t open_len = open_len_;
    auto new_slab = [&] {
        if constexpr (Commit) {
            if (have && kSlabSize - used >= kTagSize) {
                put_tag(slab + used, 0, kSlabEnd);
            }
        }
        ++fresh;
        have = true;
        used = 0;
        open = kNone;
        if constexpr (Commit) {
            slab = pool->take();
            slabs_.push_back(slab);
        }
    };

    // The copied bytes: appended to the last piece when it is a copy.
    std::size_t from = 0; // position in head, then body
    const std::size_t copied = head.size() + (by_reference ? 0 : body.size());
    for (std::size_t left = copied; left > 0;) {
        if (open == kNone) {
            const std::size_t room = have ? kSlabSize - used : 0;
            // A copy that does not fit starts a new slab, unless it is too
            // long for any slab: then it fills this one first.
            if (room < kTagSize + 8 || (kTagSize + left > room && left <= kSlabSize - kTagSize)) {
                new_slab();
            }
            open = static_cast<std::uint32_t>(used);
            open_len = 0;
        }
        const std::size_t end = open + kTagSize + open_len;
        const std::size_t k = std::min(left, kSlabSize - end);
        if constexpr (Commit) {
            for (std::size_t n = k, at = end; n > 0;) {
                auto src =
                    from < head.size() ? head.subspan(from) : body.subspan(from - head.size());
                const std::size_t m = std::min(n, src.size());
                std::memcpy(slab + at, src.data(), m);
                at += m;
                from += m;
                n -= m;
            }
            put_tag(slab + open, open_len + k, kCopied);
        }
        open_len += static_cast<std::uint32_t>(k);
        used = open + kTagSize + padded(open_len);
        left -= k;
        if (left > 0) {
            new_slab(); // this slab is full
        }
    }
    if (by_reference) {
        if (!have || kSlabSize - used < kTagSize + sizeof(void*)) {
            new_slab();
        }
        if constexpr (Commit) {
            put_tag(slab + used, body.size(), kReferenced);
            const std::uint8_t* ptr = body.data();
            std::memcpy(slab + used + kTagSize, &ptr, sizeof ptr);
        }
        used += kTagSize + sizeof(void*);
        open = kNone;
    }
    if constexpr (Commit) {
        tail_ = slab;
        used_ = static_cast<std::uint32_t>(used);
        open_copy_ = open;
        open_len_ = open_len;
    }
    return fresh;
}

bool PieceBuffer::add(SlabPool& pool, std::span<const std::uint8_t> head,
                      std::span<const std::uint8_t> body, bool by_reference) {
    // A write that surely fits what is left of the last slab (the usual
    // case) is laid out at once.  The bound: a new copy piece with its
    // padding and room for at least a short one, then a reference piece.
    const std::size_t copied = head.size() + (by_reference ? 0 : body.size());
    const std::size_t most = kTagSize + std::max<std::size_t>(padded(copied), 8) +
                             (by_reference ? kTagSize + sizeof(void*) : 0);
    const bool fits_tail = tail_ != nullptr && most <= kSlabSize - used_;
    // Otherwise the new slabs are counted first: all or nothing.
    if (!fits_tail && lay_out<false>(nullptr, head, body, by_reference) > pool.left()) {
        return false;
    }
    lay_out<true>(&pool, head, body, by_reference);
    size_ += head.size() + body.size();
    if (by_reference) {
        referenced_ += body.size();
    }
    return true;
}

void PieceBuffer::clear(SlabPool& pool) {
    pool.give_back(slabs_);
    slabs_.clear();
    tail_ = nullptr;
    used_ = 0;
    open_copy_ = kNone;
    open_len_ = 0;
    size_ = 0;
    referenced_ = 0;
}

} // namespace vexlor
