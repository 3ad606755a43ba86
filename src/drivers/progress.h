// Progress reports and end-of-run figures of the two drivers, and the
// controls a front end has over a run.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "packet/packet.h"
#include "parser/capture_reader.h"
#include "parser/combined_reader.h"

namespace vexlor {

struct Progress {
    std::uint64_t bytes_done = 0;  // input bytes consumed so far
    std::uint64_t bytes_total = 0; // size of the whole input
    std::uint64_t packets = 0;     // records read so far
};

// Called on the driver's own thread, every kProgressInterval records or
// kProgressPeriod of time, whichever comes first (so that a slow input shows
// up at once too), and once more when the input is exhausted.  Empty means
// no reports.
using ProgressFn = std::function<void(const Progress&)>;

inline constexpr std::uint64_t kProgressInterval = 1 << 16;
inline constexpr auto kProgressPeriod = std::chrono::milliseconds(200);

// What a run did, filled in by the driver as far as it got.
struct RunSummary {
    std::uint64_t packets = 0;       // records read
    std::uint32_t link_type = 0;     // the input's
    std::uint64_t first_us = 0;      // the earliest and latest packet times,
    std::uint64_t last_us = 0;       // microseconds since the epoch (0: none)
    std::uint64_t packets_no_ip = 0; // of those, packets without an IP header
    std::uint64_t flows = 0;         // flows with a file (split) or an entry (archive)
    std::uint64_t files = 0;         // files published
    std::uint64_t bytes_written = 0; // in the published files
    std::optional<CutOff> cut_off;   // the incomplete last record, dropped
    std::uint64_t skipped = 0;       // packets of interfaces never declared, skipped
    // An archive read: its flows were made by the host (or mac) strategy,
    // which the tool records in their entries (RunControl::record_host_side).
    bool host_flows = false;
    bool mac_flows = false;
};

// The options of a run that only the tool sets; the defaults are the
// module's behaviour.
struct RunControl {
    // Polled once per batch of packets: when it reads true, the run stops
    // and fails with the runtime error "interrupted" before publishing.
    const std::atomic<bool>* cancel = nullptr;
    // A run that fails (or is cancelled) removes its temporary files
    // instead of leaving them for inspection.
    bool remove_on_failure = false;
    // A classic pcap cut off inside its last record keeps the records
    // before it (see CaptureReader::tolerate_cut_off).
    bool tolerate_cut_off = false;
    // Any capture whose data ends inside a record fails the run (see
    // CaptureReader::refuse_cut_off); the module's reading does not.
    bool refuse_cut_off = false;
    // Address filters may be prefixes ("10.0.0.0/8"); the module skips
    // such texts, as it skips any text that is no address.
    bool ip_prefixes = false;
    // Archives of the host strategy record which address each flow is for
    // (FlowEntry::host_side); the module's archives leave it unrecorded.
    bool record_host_side = false;
    // A file that cannot be created is told with the system's reason
    // ("...: No such file or directory (os error 2)"); the module's
    // messages end at the path.
    bool system_reasons = false;
    // How the input is read: Streamed takes compressed captures and
    // standard input in bounded memory (see open_capture).
    InputReading reading = InputReading::Whole;
    // When not empty, the run reads these captures as one (see
    // open_combined) instead of its input path, which then only names it.
    std::vector<std::string> combined_inputs;
    Combine combine = Combine::Concatenate;
    // Filled in when not null.
    RunSummary* summary = nullptr;

    bool cancelled() const { return cancel && cancel->load(std::memory_order_relaxed); }
};

// The reader of a run's input: `path`, or the captures read as one.
inline Result<std::unique_ptr<CaptureReader>>
open_run_input(const std::string& path, const RunControl& control, Decode decode) {
    const ReaderOptions options{.wide = decode == Decode::Wide};
    if (control.combined_inputs.empty()) {
        return open_capture(path, control.reading, options);
    }
    return open_combined(control.combined_inputs, control.combine, control.reading, options);
}

// Notes a packet's time in a run's summary.
inline void note_time(RunSummary& s, std::uint64_t time_us) {
    if (s.first_us == 0 || time_us < s.first_us) {
        s.first_us = time_us;
    }
    s.last_us = std::max(s.last_us, time_us);
}

// Decides when the next progress report is due: by count or by time.
class ProgressClock {
public:
    bool due(std::uint64_t packets) {
        if (packets >= next_count_) {
            return true;
        }
        return Clock::now() >= next_time_;
    }
    void reported(std::uint64_t packets) {
        next_count_ = packets + kProgressInterval;
        next_time_ = Clock::now() + kProgressPeriod;
    }

private:
    using Clock = std::chrono::steady_clock;
    std::uint64_t next_count_ = kProgressInterval;
    Clock::time_point next_time_ = Clock::now() + kProgressPeriod;
};

// What the decoding made of a run's packets, for summaries: a capture whose
// packets mostly have no IP header was probably read with the wrong link
// layer, and a run should say so rather than write one useless flow.
struct DecodeCounts {
    std::uint32_t link_type = 0; // the capture's (its first interface's, for pcapng)
    std::uint64_t packets = 0;
    std::uint64_t without_ip = 0;
    std::uint64_t decapsulated = 0;        // had a tag, label or tunnel removed (wide decoding)
    std::uint64_t unmatched_fragments = 0; // later fragments whose first was not seen
    // Archive builds: packets of interfaces of another link type than the
    // capture's, stored under the archive's one link type all the same.
    std::uint64_t other_link_type = 0;

    void count(const Packet& p) {
        ++packets;
        without_ip += !p.ip;
        decapsulated += p.layers != 0;
    }
};

} // namespace vexlor
