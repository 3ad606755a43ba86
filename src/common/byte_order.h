// Loads and stores of fixed-width integers in a stated byte order, at any
// alignment: the one family of byte readers and writers of every format here
// (capture files, frames, archives).
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace vexlor {

using ByteSpan = std::span<const std::uint8_t>;

enum class Endian { Little, Big };

// Unaligned loads: file formats here have no alignment guarantees.
template <class T> inline T load_le(const std::uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big) {
        v = std::byteswap(v);
    }
    return v;
}
template <class T> inline T load_be(const std::uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::little) {
        v = std::byteswap(v);
    }
    return v;
}
template <class T> inline T load(const std::uint8_t* p, Endian e) {
    return e == Endian::Little ? load_le<T>(p) : load_be<T>(p);
}

template <class T> inline void store_le(std::uint8_t* p, T v) {
    if constexpr (std::endian::native == std::endian::big) {
        v = std::byteswap(v);
    }
    std::memcpy(p, &v, sizeof v);
}
template <class T> inline void store_be(std::uint8_t* p, T v) {
    if constexpr (std::endian::native == std::endian::little) {
        v = std::byteswap(v);
    }
    std::memcpy(p, &v, sizeof v);
}
template <class T> inline void append_le(std::vector<std::uint8_t>& out, T v) {
    std::uint8_t b[sizeof(T)];
    store_le(b, v);
    out.insert(out.end(), b, b + sizeof b);
}

} // namespace vexlor
