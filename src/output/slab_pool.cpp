#include "output/slab_pool.h"

#include <sys/mman.h>

#include <algorithm>

namespace vexlor {

std::uint8_t* SlabPool::take() {
    if (!free_.empty()) {
        std::uint8_t* s = free_.back();
        free_.pop_back();
        return s;
    }
    if (carved_ >= max_slabs_) {
        return nullptr;
    }
    if (chunk_left_ == 0) {
        const std::size_t slabs = std::min(kChunkSize / kSlabSize, max_slabs_ - carved_);
        const std::size_t bytes = slabs * kSlabSize;
        const std::align_val_t align{bytes == kChunkSize ? kChunkSize : kSlabSize};
        chunks_.emplace_back(static_cast<std::uint8_t*>(::operator new(bytes, align)),
                             FreeChunk{align});
        if (bytes == kChunkSize) {
            // Only a hint: without huge pages the pool works the same.
            (void)::madvise(chunks_.back().get(), bytes, MADV_HUGEPAGE);
        }
        chunk_left_ = slabs;
        chunk_next_ = 0;
    }
    std::uint8_t* s = chunks_.back().get() + chunk_next_ * kSlabSize;
    ++chunk_next_;
    --chunk_left_;
    ++carved_;
    return s;
}

void SlabPool::give_back(std::span<std::uint8_t* const> slabs) {
    free_.insert(free_.end(), slabs.begin(), slabs.end());
}

} // namespace vexlor
