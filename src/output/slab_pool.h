// The memory of the split writer's buffers: fixed-size slabs, at most a set
// number of them, carved from large chunks on demand.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <vector>

namespace vexlor {

// Slabs are carved from chunks of kChunkSize, in huge pages where the system
// gives them: appends land in thousands of different buffers, and with small
// pages nearly each one would also miss the TLB.  A chunk is taken only when
// the pool has room for all of it, so a small pool costs only its own size.
//
// A warmed pool has a helper thread fault its next few chunks in before they
// are carved.  The first touch of fresh memory costs the kernel a page clear
// (on a virtual machine also the host's backing of the page): a split that
// copies every frame into a budget of hundreds of megabytes spent a quarter
// of its classifying thread's time there, with the other core idle.
class SlabPool {
public:
    static constexpr std::size_t kSlabSize = 2048;
    static constexpr std::size_t kChunkSize = std::size_t{2} << 20;
    // Chunks a warmed pool keeps faulted in ahead of its carving.
    static constexpr std::size_t kWarmAhead = 4;

    explicit SlabPool(std::size_t max_slabs, bool warm = false);
    SlabPool(SlabPool&&) noexcept;
    SlabPool& operator=(SlabPool&&) noexcept;
    ~SlabPool();

    // A slab, or nullptr when all max_slabs are handed out.
    std::uint8_t* take();
    void give_back(std::span<std::uint8_t* const> slabs);

    std::size_t max_slabs() const { return max_slabs_; }
    // Slabs that can still be handed out: freed ones and those not carved yet.
    std::size_t left() const { return free_.size() + (max_slabs_ - std::min(max_slabs_, carved_)); }
    // Memory taken by slabs so far.
    std::size_t memory() const { return carved_ * kSlabSize; }

private:
    struct FreeChunk {
        std::align_val_t align;
        void operator()(std::uint8_t* p) const { ::operator delete(p, align); }
    };

    std::size_t max_slabs_;
    std::vector<std::unique_ptr<std::uint8_t, FreeChunk>> chunks_;
    std::size_t chunk_next_ = 0; // the next slab of the last chunk
    std::size_t chunk_left_ = 0; // slabs not yet carved from the last chunk
    std::size_t carved_ = 0;
    std::vector<std::uint8_t*> free_;
    // Whole chunks not handed to the carving yet: new ones come from the
    // warmer when it has one ready, else are made cold here.
    class Warmer;
    std::unique_ptr<Warmer> warmer_;
    bool warm_ = false;
};

} // namespace vexlor
