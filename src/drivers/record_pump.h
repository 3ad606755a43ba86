// Records of a capture read on a driver's own thread, with what every such
// driver does beside the work: counting them, looking at the cancel flag and
// the progress clock, and the summary's and the progress display's last word
// when the data ends.
#pragma once

#include <optional>

#include "drivers/progress.h"
#include "parser/capture_reader.h"

namespace vexlor {

class RecordPump {
public:
    RecordPump(CaptureReader& capture, const RunControl& control, const ProgressFn& report,
               RunSummary& summary)
        : capture_(capture), control_(control), report_(report),
          summary_(summary), progress_{0, capture.input_size().value_or(0), 0} {}

    // The next record, valid until the next call; nullopt once the data has
    // ended (the summary then holds the cut-off record and the link type,
    // and a last progress report has gone out); an error for a damaged
    // capture, or "interrupted" once the run is cancelled.
    Result<std::optional<RawRecord>> next() {
        auto rec = capture_.next_record();
        if (!rec) {
            return std::unexpected(rec.error().to_error());
        }
        if (!*rec) {
            summary_.cut_off = capture_.cut_off();
            summary_.skipped = capture_.skipped_records();
            summary_.link_type = capture_.link_type();
            progress_.packets = summary_.packets;
            // All of it; of a pipe, whose size was not known, what it gave.
            progress_.bytes_done =
                progress_.bytes_total != 0 ? progress_.bytes_total : capture_.input_done();
            if (report_) {
                report_(progress_);
            }
            // The last chance to stop: what follows publishes.
            return control_.cancelled() ? runtime_error("interrupted")
                                        : Result<std::optional<RawRecord>>();
        }
        ++summary_.packets;
        // The clock and the flag are looked at once per 256 records: often
        // enough for a prompt stop, rarely enough to cost nothing.
        if (summary_.packets % 256 == 0) {
            if (control_.cancelled()) {
                return runtime_error("interrupted");
            }
            if (report_ && clock_.due(summary_.packets)) {
                progress_.packets = summary_.packets;
                progress_.bytes_done = capture_.input_done();
                report_(progress_);
                clock_.reported(summary_.packets);
            }
        }
        return *rec;
    }

    // Calls `on_record` (Status from a RawRecord) for every record, until
    // the data ends or something fails.
    template <class F> Status each(F&& on_record) {
        for (;;) {
            auto rec = next();
            if (!rec) {
                return std::unexpected(rec.error());
            }
            if (!*rec) {
                return {};
            }
            if (Status st = on_record(**rec); !st) {
                return st;
            }
        }
    }

private:
    CaptureReader& capture_;
    const RunControl& control_;
    const ProgressFn& report_;
    RunSummary& summary_;
    Progress progress_;
    ProgressClock clock_;
};

} // namespace vexlor
