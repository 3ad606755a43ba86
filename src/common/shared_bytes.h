// Immutable bytes shared by reference count between a reader and its packets.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/file_identity.h"
#include "common/mapping_guard.h"

namespace vexlor {

// Storage behind SharedBytes: a whole-file read-only mapping or an owned heap
// buffer.  The count is atomic because packets made on the producer thread of
// a split are released on the calling thread.
class SharedStorage {
public:
    // `file`: which file is mapped, so that a writer may open it again;
    // `path`, where it was opened, to look later whether it was cut short
    // (a path, not a descriptor: a run over a thousand captures read as one
    // keeps them all mapped, and descriptors may be few).
    static SharedStorage* from_mapping(void* base, std::size_t map_len, std::size_t size,
                                       std::optional<FileIdentity> file = std::nullopt,
                                       std::string path = {});
    static SharedStorage* from_vector(std::vector<std::uint8_t> bytes);
    // An owned buffer of `size` bytes, not cleared first: for bytes about to
    // be read into it, through `*write` (until it is shared).
    static SharedStorage* uninitialized(std::size_t size, std::uint8_t** write);

    void retain() noexcept { refs_.fetch_add(1, std::memory_order_relaxed); }
    void release() noexcept;

    const std::uint8_t* data() const { return data_; }
    std::size_t size() const { return size_; }
    // The mapped file; nothing for a heap buffer.
    const std::optional<FileIdentity>& file() const { return file_; }
    // Whether a page of the mapped file was found gone, its bytes read as
    // zeros (see MappingGuard): cheap enough to ask once a record.
    bool cut() const noexcept { return guard_.cut(); }
    // The same, or the file (still at its path) now shorter than mapped:
    // the rest of the page the file now ends in reads as zeros without any
    // fault.  A system call; asked before anything read from the file is
    // published.
    bool cut_short() const noexcept;

private:
    SharedStorage() = default;
    ~SharedStorage();

    std::atomic<std::uint64_t> refs_{1};
    const std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    void* map_base_ = nullptr; // non-null for a mapping
    std::size_t map_len_ = 0;
    std::optional<FileIdentity> file_;
    std::vector<std::uint8_t> heap_;
    std::unique_ptr<std::uint8_t[]> buffer_;
    MappingGuard guard_;
    std::string path_;
};

// A view of shared storage that keeps the storage alive.  Copies share;
// sub-ranges share the same storage without copying.
//
// A *borrowed* SharedBytes holds no reference at all: whoever makes one
// promises that the bytes outlive it.  The split pipeline uses borrowed frames
// for packets in flight so that the two threads do not bounce one reference
// count between them per packet; each batch of packets carries one real
// reference instead.
class SharedBytes {
public:
    SharedBytes() = default;
    static SharedBytes adopt(SharedStorage* storage) {
        return SharedBytes(storage, storage->data(), storage->size());
    }
    static SharedBytes from_vector(std::vector<std::uint8_t> bytes) {
        return adopt(SharedStorage::from_vector(std::move(bytes)));
    }
    static SharedBytes uninitialized(std::size_t size, std::uint8_t** write) {
        return adopt(SharedStorage::uninitialized(size, write));
    }
    static SharedBytes borrowed(std::span<const std::uint8_t> bytes) {
        return SharedBytes(nullptr, bytes.data(), bytes.size());
    }

    SharedBytes(const SharedBytes& o) : st_(o.st_), data_(o.data_), size_(o.size_) {
        if (st_) {
            st_->retain();
        }
    }
    SharedBytes(SharedBytes&& o) noexcept : st_(o.st_), data_(o.data_), size_(o.size_) {
        o.st_ = nullptr;
        o.data_ = nullptr;
        o.size_ = 0;
    }
    SharedBytes& operator=(SharedBytes o) noexcept {
        swap(o);
        return *this;
    }
    ~SharedBytes() {
        if (st_) {
            st_->release();
        }
    }
    void swap(SharedBytes& o) noexcept {
        std::swap(st_, o.st_);
        std::swap(data_, o.data_);
        std::swap(size_, o.size_);
    }

    const std::uint8_t* data() const { return data_; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    std::span<const std::uint8_t> span() const { return {data_, size_}; }
    bool is_borrowed() const { return st_ == nullptr && data_ != nullptr; }
    // For bytes of a mapped file: which file, and where they start in it.
    std::optional<FileIdentity> file() const { return st_ ? st_->file() : std::nullopt; }
    std::uint64_t file_offset() const {
        return st_ ? static_cast<std::uint64_t>(data_ - st_->data()) : 0;
    }
    // See SharedStorage::cut() and ::cut_short().
    bool cut() const noexcept { return st_ != nullptr && st_->cut(); }
    bool cut_short() const noexcept { return st_ != nullptr && st_->cut_short(); }

    // [offset, offset + len) of this view; the caller has checked the bounds.
    SharedBytes slice(std::size_t offset, std::size_t len) const {
        if (st_) {
            st_->retain();
        }
        return SharedBytes(st_, data_ + offset, len);
    }
    // The same range, without a reference: valid while `*this` (or another
    // owner of the storage) lives.
    SharedBytes borrow(std::size_t offset, std::size_t len) const {
        return SharedBytes(nullptr, data_ + offset, len);
    }

private:
    SharedBytes(SharedStorage* st, const std::uint8_t* d, std::size_t n)
        : st_(st), data_(d), size_(n) {}

    SharedStorage* st_ = nullptr;
    const std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
};

// Whether any of `held` (mapped inputs) was cut short while it was read:
// bytes read from it since may be zeros, and nothing may be published.
inline bool any_cut(std::span<const SharedBytes> held) {
    for (const SharedBytes& b : held) {
        if (b.cut_short()) {
            return true;
        }
    }
    return false;
}

} // namespace vexlor
