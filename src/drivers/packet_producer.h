// Reads and dissects a capture in a thread of its own and hands the packets
// over in batches, so that a driver's work on them (writing files, storing
// records) runs beside the reading on a second core.
#pragma once

#include <memory>
#include <optional>
#include <thread>

#include "common/result.h"
#include "drivers/packet_channel.h"
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

    struct Outcome; // shared with the thread, which may outlive this object

private:
    PacketProducer() = default;

    std::shared_ptr<PacketChannel> channel_;
    std::shared_ptr<Outcome> outcome_;
    std::thread thread_;
};

} // namespace vexlor
