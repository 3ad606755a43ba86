// Progress reports of the two drivers, for front ends that show them.
#pragma once

#include <cstdint>
#include <functional>

#include "packet/packet.h"

namespace vexlor {

struct Progress {
    std::uint64_t bytes_done = 0;  // input bytes consumed so far
    std::uint64_t bytes_total = 0; // size of the whole input
    std::uint64_t packets = 0;     // records read so far
};

// Called on the driver's own thread, every kProgressInterval records and once
// more when the input is exhausted.  Empty means no reports.
using ProgressFn = std::function<void(const Progress&)>;

inline constexpr std::uint64_t kProgressInterval = 1 << 16;

// What the decoding made of a run's packets, for summaries: a capture whose
// packets mostly have no IP header was probably read with the wrong link
// layer, and a run should say so rather than write one useless flow.
struct DecodeCounts {
    std::uint32_t link_type = 0; // the capture's (its first interface's, for pcapng)
    std::uint64_t packets = 0;
    std::uint64_t without_ip = 0;
    std::uint64_t decapsulated = 0;        // had a tag, label or tunnel removed (wide decoding)
    std::uint64_t unmatched_fragments = 0; // later fragments whose first was not seen

    void count(const Packet& p) {
        ++packets;
        without_ip += !p.ip;
        decapsulated += p.layers != 0;
    }
};

} // namespace vexlor
