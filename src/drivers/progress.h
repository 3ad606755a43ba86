// Progress reports of the two drivers, for front ends that show them.
#pragma once

#include <cstdint>
#include <functional>

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

} // namespace vexlor
