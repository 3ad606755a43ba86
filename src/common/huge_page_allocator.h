// An allocator for large, randomly accessed tables: blocks of a megabyte or
// more come in 2 MiB-aligned multiples of 2 MiB and are offered to the kernel
// as huge pages.  With small pages, a lookup in a table of tens of megabytes
// misses the TLB as well as the cache.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <new>

namespace vexlor {

inline constexpr std::size_t kHugePageSize = std::size_t{2} << 20;

template <class T> struct HugePageAllocator {
    using value_type = T;

    HugePageAllocator() = default;
    template <class U> HugePageAllocator(const HugePageAllocator<U>&) noexcept {}

    static bool huge(std::size_t bytes) { return bytes >= kHugePageSize / 2; }
    static std::size_t rounded(std::size_t bytes) {
        return (bytes + kHugePageSize - 1) & ~(kHugePageSize - 1);
    }

    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / 2 / sizeof(T)) {
            throw std::bad_array_new_length();
        }
        const std::size_t bytes = n * sizeof(T);
        if (!huge(bytes)) {
            return static_cast<T*>(::operator new (bytes, std::align_val_t{alignof(T)}));
        }
        void* p = ::operator new (rounded(bytes), std::align_val_t{kHugePageSize});
        (void)::madvise(p, rounded(bytes), MADV_HUGEPAGE);
        return static_cast<T*>(p);
    }
    void deallocate(T* p, std::size_t n) noexcept {
        const std::size_t bytes = n * sizeof(T);
        if (!huge(bytes)) {
            ::operator delete (p, std::align_val_t{alignof(T)});
        } else {
            ::operator delete (p, std::align_val_t{kHugePageSize});
        }
    }

    template <class U> bool operator==(const HugePageAllocator<U>&) const noexcept { return true; }
};

} // namespace vexlor
