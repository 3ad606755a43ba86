// Later fragments of an IP datagram carry no ports: the wide decoding leaves
// them at 0.  The tracker gives them the ports of their datagram's first
// fragment, so that every fragment stays with the flow of its datagram.  A
// tunnel's outer datagram in fragments goes the same way: its first
// fragment is decoded on into the packet inside, and its later fragments
// take that inner packet's addresses, protocol and ports.
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
    // Keyed by datagram_key(), already a hash.
    struct KeyHash {
        std::uint64_t operator()(std::uint64_t k) const { return k; }
    };
    // What a datagram's later fragments take from its first: its ports, or,
    // for a tunnel's outer datagram, the whole inner IP of its flow.
    struct Datagram {
        IpInfo ip;
        bool inner = false;
        std::uint64_t time_us = 0;
    };

    LruTable<std::uint64_t, Datagram, KeyHash> datagrams_;
    std::uint64_t unmatched_ = 0;
};

} // namespace vexlor
