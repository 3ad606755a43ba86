// A flow's identity in binary form.  Every strategy maps a packet to one or
// two keys; the flow name (the text users see) is derived from a key once,
// when its flow is first met, and two keys of one strategy give the same name
// exactly when they are equal.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

#include "common/hash.h"
#include "common/lru_table.h"

namespace vexlor {

struct FlowKey {
    // kFallback marks the strategy's fallback flow ("no_session", ...).
    static constexpr std::uint8_t kFallback = 0;
    static constexpr std::uint8_t kNormal = 1;

    std::uint8_t tag = kFallback;
    std::uint8_t proto = 0;
    std::uint8_t family_a = 0; // 4 or 6 for addresses, 0 when unused
    std::uint8_t family_b = 0;
    std::uint16_t port_a = 0;
    std::uint16_t port_b = 0;
    std::array<std::uint8_t, 16> a{}; // first address, or a MAC in a[0..6]
    std::array<std::uint8_t, 16> b{};
    // Which of the flows of these endpoints: 0 for the first, n for the
    // (n+1)-th, when flow boundaries (see boundaries.h) cut one key's packets
    // into several flows.  Strategies always give 0.
    std::uint32_t seq = 0;
    std::uint32_t spare = 0; // keeps the key padding-free

    friend bool operator==(const FlowKey& x, const FlowKey& y) {
        return std::memcmp(&x, &y, sizeof(FlowKey)) == 0;
    }
};
static_assert(sizeof(FlowKey) == 48, "FlowKey must have no padding: it is compared bytewise");

inline std::uint64_t hash_key(const FlowKey& k) {
    return hash_words(k);
}

struct FlowKeyHash {
    std::uint64_t operator()(const FlowKey& k) const { return hash_key(k); }
};

// A table of flows that knows which one was used least recently.
template <class V> using FlowTable = LruTable<FlowKey, V, FlowKeyHash>;

} // namespace vexlor
