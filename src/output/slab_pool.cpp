#include "output/slab_pool.h"

#include <sys/mman.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace vexlor {

namespace {

// A whole chunk, in huge pages where the system gives them; with `touch`,
// faulted in page by page.  nullptr when there is no memory for it.
std::uint8_t* new_chunk(bool touch) {
    auto* p = static_cast<std::uint8_t*>(::operator new (
        SlabPool::kChunkSize, std::align_val_t{SlabPool::kChunkSize}, std::nothrow));
    if (p == nullptr) {
        return nullptr;
    }
    // Only a hint: without huge pages the pool works the same.
    (void)::madvise(p, SlabPool::kChunkSize, MADV_HUGEPAGE);
    if (touch) {
        volatile std::uint8_t* v = p;
        for (std::size_t i = 0; i < SlabPool::kChunkSize; i += 4096) {
            v[i] = 0;
        }
    }
    return p;
}

void delete_chunk(std::uint8_t* p) {
    ::operator delete (p, std::align_val_t{SlabPool::kChunkSize});
}

} // namespace

// Faults whole chunks in on a thread of its own, at most kWarmAhead ahead of
// the carving.  It and the carving together make no more whole chunks than
// the pool may hold.
class SlabPool::Warmer {
public:
    explicit Warmer(std::size_t whole_chunks) : left_(whole_chunks) {}
    Warmer(const Warmer&) = delete;
    Warmer& operator=(const Warmer&) = delete;

    ~Warmer() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        if (thread_.joinable()) {
            thread_.join();
        }
        for (std::uint8_t* p : ready_) {
            delete_chunk(p);
        }
    }

    // False when no thread could be had: the pool then makes its chunks.
    bool start() {
        try {
            thread_ = std::thread([this] { run(); });
            return true;
        } catch (...) {
            return false;
        }
    }

    // The next whole chunk: a warm one, or nullptr with `may_make` telling
    // whether the caller may still make one itself.  With none left to make
    // but one being faulted in, waits for that one: making another would
    // take the pool past its size.
    std::uint8_t* take(bool& may_make) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return !ready_.empty() || left_ != 0 || !making_; });
        std::uint8_t* p = nullptr;
        may_make = false;
        if (!ready_.empty()) {
            p = ready_.front();
            ready_.pop_front();
        } else if (left_ != 0) {
            --left_;
            may_make = true;
        }
        changed_.notify_one();
        return p;
    }

private:
    void run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            changed_.wait(lock, [this] { return stop_ || (ready_.size() < kWarmAhead && left_); });
            if (stop_) {
                return;
            }
            --left_;
            making_ = true;
            lock.unlock();
            std::uint8_t* p = new_chunk(true);
            lock.lock();
            making_ = false;
            if (p == nullptr) {
                ++left_; // the carving may still find room for it
                changed_.notify_all();
                return;
            }
            ready_.push_back(p);
            changed_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::uint8_t*> ready_;
    std::size_t left_;
    bool making_ = false; // a chunk counted out of left_ is being faulted in
    bool stop_ = false;
    std::thread thread_; // last: started once the rest is in place
};

SlabPool::SlabPool(std::size_t max_slabs, bool warm) : max_slabs_(max_slabs), warm_(warm) {}
SlabPool::SlabPool(SlabPool&&) noexcept = default;
SlabPool& SlabPool::operator=(SlabPool&&) noexcept = default;
SlabPool::~SlabPool() = default;

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
        constexpr std::size_t kPerChunk = kChunkSize / kSlabSize;
        const std::size_t slabs = std::min(kPerChunk, max_slabs_ - carved_);
        if (warm_ && !warmer_ && slabs == kPerChunk && carved_ != 0) {
            // Started with the second chunk, so that a pool that needs no
            // more than one costs no thread and no memory ahead.  The
            // chunks it may make: the whole ones after this.
            warmer_ = std::make_unique<Warmer>((max_slabs_ - carved_) / kPerChunk - 1);
            if (!warmer_->start()) {
                warmer_.reset();
                warm_ = false;
            }
        }
        std::uint8_t* warm = nullptr;
        bool may_make = true;
        if (warmer_ && slabs == kPerChunk && carved_ > kPerChunk) {
            warm = warmer_->take(may_make);
        }
        if (warm != nullptr) {
            chunks_.emplace_back(warm, FreeChunk{std::align_val_t{kChunkSize}});
        } else if (slabs == kPerChunk && may_make) {
            std::uint8_t* p = new_chunk(false);
            if (p == nullptr) {
                throw std::bad_alloc();
            }
            chunks_.emplace_back(p, FreeChunk{std::align_val_t{kChunkSize}});
        } else {
            // The pool's last, partial chunk (whole chunks all went to
            // the warmer's count, which ends before it).
            const std::size_t bytes = slabs * kSlabSize;
            chunks_.emplace_back(
                static_cast<std::uint8_t*>(::operator new (bytes, std::align_val_t{kSlabSize})),
                FreeChunk{std::align_val_t{kSlabSize}});
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
