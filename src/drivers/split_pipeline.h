// The split driver: one capture in, one file per flow out.
#pragma once

#include "common/result.h"
#include "drivers/progress.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vexlor {

struct SplitOptions {
    std::string input_path;
    std::string output_dir;
    std::string strategy = "session";
    std::uint32_t max_sessions = 10000;
    std::uint64_t buffer_bytes = 10000;
    std::vector<std::string> ip_filters;
    std::vector<std::uint16_t> port_filters;
    // Matched after ASCII lower-casing.  Callers that need full Unicode
    // lower-casing in the error text lower-case it themselves first (the
    // result is the same text for every accepted value).
    std::string output_type = "pcap";
    ProgressFn progress;
};

Status run_split(const SplitOptions& options);

// The file stem of `input_path`: its last component without the last
// extension ("capture.pcap" -> "capture", "a.b.pcapng" -> "a.b", ".hidden"
// kept whole, "-" stays "-"), or "unknown" when there is no such component.
std::string output_prefix(std::string_view input_path);

// ASCII lower-casing; texts with other characters are returned unchanged.
std::string ascii_lower(std::string_view text);

} // namespace vexlor
