// One bounds-checked cursor for every parse of file and frame bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "common/byte_order.h"

namespace vexlor {

// True when [pos, pos + len) lies inside a buffer of `size` bytes.  Written so
// that no sum can wrap, whatever a hostile file puts in `pos` and `len`.
constexpr bool fits(std::uint64_t pos, std::uint64_t len, std::uint64_t size) {
    return pos <= size && len <= size - pos;
}

// A cursor over a byte span.  Every read checks `n <= remaining()` first and
// leaves the cursor where it was when the check fails.
class ByteReader {
public:
    explicit ByteReader(ByteSpan bytes, Endian endian = Endian::Big)
        : bytes_(bytes), endian_(endian) {}

    std::size_t position() const { return pos_; }
    std::size_t remaining() const { return bytes_.size() - pos_; }
    std::size_t size() const { return bytes_.size(); }
    Endian endian() const { return endian_; }
    void set_endian(Endian e) { endian_ = e; }

    bool seek(std::size_t pos) {
        if (pos > bytes_.size()) {
            return false;
        }
        pos_ = pos;
        return true;
    }
    bool skip(std::size_t n) {
        if (n > remaining()) {
            return false;
        }
        pos_ += n;
        return true;
    }

    std::optional<std::uint8_t> u8() { return read<std::uint8_t>(); }
    std::optional<std::uint16_t> u16() { return read<std::uint16_t>(); }
    std::optional<std::uint32_t> u32() { return read<std::uint32_t>(); }
    std::optional<std::uint64_t> u64() { return read<std::uint64_t>(); }

    std::optional<ByteSpan> bytes(std::size_t n) {
        if (n > remaining()) {
            return std::nullopt;
        }
        ByteSpan out = bytes_.subspan(pos_, n);
        pos_ += n;
        return out;
    }

private:
    template <class T> std::optional<T> read() {
        if (sizeof(T) > remaining()) {
            return std::nullopt;
        }
        T v = load<T>(bytes_.data() + pos_, endian_);
        pos_ += sizeof(T);
        return v;
    }

    ByteSpan bytes_;
    std::size_t pos_ = 0;
    Endian endian_;
};

} // namespace vexlor
