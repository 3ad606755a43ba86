// Later fragments of an IP datagram carry no ports: the wide decoding leaves
// them at 0.  The tracker gives them the ports of their datagram's first
// fragment, so that every fragment stays with the flow of its datagram.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "common/lru_table.h"
#include "packet/packet.h"

namespace vexlor {

class FragmentTracker {
public:
    // Datagrams remembered at once, and for how long after their first
    // fragment (capture time): the bound on memory, and about the time a
    // receiving host waits for the rest of a datagram.
    static constexpr std::size_t kMaxDatagrams = 65536;
    static constexpr std::uint64_t kMaxAgeUs = 60'000'000;

    // Looks at one packet of the wide decoding, in capture order: the first
    // fragment of a datagram is remembered, a later one gets its ports.
    // Returns false for a later fragment whose first fragment was not seen
    // (or not recently enough); it keeps ports 0 and is counted.
    bool place(Packet& packet);

    std::uint64_t unmatched() const { return unmatched_; }

private:
    struct Key {
        std::uint8_t family = 0;
        std::uint8_t proto = 0;
        std::uint16_t zero = 0;
        std::uint32_t id = 0;
        std::array<std::uint8_t, 16> src{};
        std::array<std::uint8_t, 16> dst{};
        friend bool operator==(const Key&, const Key&) = default;
    };
    struct KeyHash {
        std::uint64_t operator()(const Key& k) const;
    };
    struct Ports {
        std::uint16_t src = 0;
        std::uint16_t dst = 0;
        std::uint64_t time_us = 0;
    };

    LruTable<Key, Ports, KeyHash> datagrams_;
    std::uint64_t unmatched_ = 0;
};

} // namespace vexlor
