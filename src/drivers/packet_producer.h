// Reads and dissects a capture in a thread of its own and hands the packets
// over in batches, so that a driver's work on them (writing files, storing
// records) runs beside the reading on a second core.
#pragma once

#include <memory>
#include <optional>
#include <thread>

#include "common/result.h"
#include "drivers/packet_channel.h"
#include "drivers/progress.h"
#include "parser/capture_reader.h"

namespace vexlor {

class PacketProducer {
public:
    // Starts the thread.  The packets' frames are borrowed views of the
    // reader's input (its whole_input()): the caller keeps its own hold on
    // the input for as long as it uses them.  A streaming reader's frames
    // hold their own bytes instead.
    [[nodiscard]] static Result<std::unique_ptr<PacketProducer>>
    start(std::unique_ptr<CaptureReader> reader, Decode decode = Decode::Basic);

    PacketProducer(const PacketProducer&) = delete;
    PacketProducer& operator=(const PacketProducer&) = delete;
    // Without finish(): the thread is told to stop at its next batch and let
    // go, so that an early return of the driver never waits for the rest of
    // the capture nor leaves a joinable thread behind.
    ~PacketProducer();

    // The next batch, in capture order; false once everything the thread
    // produced has been received.
    bool receive(PacketChannel::Batch& batch) { return channel_->receive(batch); }

    // After receive() returned false: joins the thread and returns how the
    // reading ended (a parse error of the capture, or success).
    Status finish();

    // Bytes of the input (as stored) read as of the last batch sent: for
    // progress displays, callable while receiving.
    std::uint64_t input_done() const;

    // After finish(): the reader's incomplete last record, if it dropped one.
    const std::optional<CutOff>& cut_off() const;
    // Records the reader skipped (packets of interfaces never declared).
    std::uint64_t skipped() const;
    // Input bytes taken in all (of a pipe, what it gave), after finish().
    std::uint64_t input_read() const;

    struct Outcome; // shared with the thread, which may outlive this object

private:
    PacketProducer() = default;

    std::shared_ptr<PacketChannel> channel_;
    std::shared_ptr<Outcome> outcome_;
    std::thread thread_;
};

// Hands every batch of `producer` to `on_batch` (Status from a Batch&), with
// what every driver of a producer does around its work: counting the packets
// into `summary` (before the batch is handed on), looking at the cancel flag
// and the progress clock once per batch, the reader's own error when the
// data ends, and the summary's and the progress display's last word.  The
// cancel flag is looked at once more at the end: what follows publishes.
template <class OnBatch>
Status drain(PacketProducer& producer, const RunControl& control, const ProgressFn& report,
             std::uint64_t input_size, RunSummary& summary, OnBatch&& on_batch) {
    Progress progress{0, input_size, 0};
    ProgressClock clock;
    PacketChannel::Batch batch;
    while (producer.receive(batch)) {
        if (control.cancelled()) {
            return runtime_error("interrupted");
        }
        summary.packets += batch.size();
        if (report && !batch.empty() && clock.due(summary.packets)) {
            progress.packets = summary.packets;
            progress.bytes_done = producer.input_done();
            report(progress);
            clock.reported(summary.packets);
        }
        if (Status st = on_batch(batch); !st) {
            return st;
        }
        batch.clear();
    }
    if (auto st = producer.finish(); !st) {
        return st;
    }
    summary.cut_off = producer.cut_off();
    summary.skipped = producer.skipped();
    if (report) {
        progress.packets = summary.packets;
        // All of it; of a pipe, whose size was not known, what it gave.
        progress.bytes_done = input_size != 0 ? input_size : producer.input_read();
        report(progress);
    }
    return control.cancelled() ? runtime_error("interrupted") : Status{};
}

} // namespace vexlor
