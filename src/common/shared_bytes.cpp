#include "common/shared_bytes.h"

#include <sys/mman.h>

namespace vexlor {

SharedStorage* SharedStorage::from_mapping(void* base, std::size_t map_len, std::size_t size,
                                           std::optional<FileIdentity> file, std::string path) {
    auto* s = new SharedStorage();
    s->path_ = std::move(path);
    s->file_ = file;
    s->map_base_ = base;
    s->map_len_ = map_len;
    s->data_ = static_cast<const std::uint8_t*>(base);
    s->size_ = size;
    s->guard_ = MappingGuard::watch(base, map_len);
    return s;
}

SharedStorage* SharedStorage::from_vector(std::vector<std::uint8_t> bytes) {
    auto* s = new SharedStorage();
    s->heap_ = std::move(bytes);
    s->data_ = s->heap_.data();
    s->size_ = s->heap_.size();
    return s;
}

SharedStorage* SharedStorage::uninitialized(std::size_t size, std::uint8_t** write) {
    auto* s = new SharedStorage();
    s->buffer_ = std::make_unique_for_overwrite<std::uint8_t[]>(size);
    *write = s->buffer_.get();
    s->data_ = s->buffer_.get();
    s->size_ = size;
    return s;
}

bool SharedStorage::cut_short() const noexcept {
    return cut() || (file_ && shorter_than(path_, *file_, size_));
}

void SharedStorage::release() noexcept {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete this;
    }
}

SharedStorage::~SharedStorage() {
    if (map_base_) {
        guard_.reset();
        ::munmap(map_base_, map_len_);
    }
}

} // namespace vexlor
