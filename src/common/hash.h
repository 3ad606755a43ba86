// One hash for the keys of the flow and fragment tables.
#pragma once

#include <cstdint>
#include <cstring>

namespace vexlor {

// Multiply-xorshift mixing of a key's 64-bit words: keys here are flat,
// padding-free structs that differ mostly in address and port words, which
// all feed the result.
template <class Key> std::uint64_t hash_words(const Key& key) {
    static_assert(sizeof(Key) % 8 == 0, "a key is hashed as whole 64-bit words");
    std::uint64_t w[sizeof(Key) / 8];
    std::memcpy(w, &key, sizeof w);
    std::uint64_t h = 0x9E3779B97F4A7C15ull;
    for (std::uint64_t x : w) {
        h ^= x;
        h *= 0xBF58476D1CE4E5B9ull;
        h ^= h >> 31;
    }
    h *= 0x94D049BB133111EBull;
    h ^= h >> 29;
    return h;
}

} // namespace vexlor
