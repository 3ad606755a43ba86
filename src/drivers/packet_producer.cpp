#include "drivers/packet_producer.h"

#include <atomic>
#include <optional>

namespace vexlor {

namespace {

// Packets per batch: the two threads meet on the channel's lock once per
// batch.
constexpr std::size_t kBatch = 256;
// Packets in flight between the threads at most.
constexpr std::size_t kChannelCapacity = 4096;

} // namespace

// What the thread leaves for finish(), read after the join (or never, when
// the driver gives up and lets the thread go).
struct PacketProducer::Outcome {
    std::optional<ParseError> error;
    std::optional<CutOff> cut_off;
    std::uint64_t skipped = 0;
    std::uint64_t input_read = 0; // input bytes taken in all, once the data ended
    bool panicked = false;
    // Input bytes taken as of the last batch sent, for progress displays.
    std::atomic<std::uint64_t> input_done{0};
};

namespace {

void produce(std::unique_ptr<CaptureReader> reader, Decode decode,
             std::shared_ptr<PacketChannel> channel,
             std::shared_ptr<PacketProducer::Outcome> outcome) {
    try {
        // Frames are borrowed views of the input: the driver keeps the input
        // alive for as long as it receives, and the reader keeps it alive for
        // this thread.  That saves two atomic operations per packet on a
        // count both threads would otherwise share.  A streamed input is
        // read in chunks that the reader lets go as it moves on: there each
        // frame holds its chunk.
        const bool hold = reader->streaming();
        PacketChannel::Batch batch;
        batch.reserve(kBatch);
        bool receiver_alive = true;
        for (;;) {
            RecordResult r = reader->next_record();
            if (!r) {
                outcome->error = r.error();
                break;
            }
            if (!*r) {
                outcome->cut_off = reader->cut_off();
                outcome->skipped = reader->skipped_records();
                outcome->input_read = reader->input_done();
                break;
            }
            const RawRecord& rec = **r;
            batch.push_back(
                from_pcap_record(rec.ts_sec, rec.ts_usec, rec.orig_len,
                                 hold ? reader->hold(rec) : SharedBytes::borrowed(rec.frame),
                                 rec.link_type, decode));
            if (batch.size() == kBatch) {
                outcome->input_done.store(reader->input_done(), std::memory_order_relaxed);
                if (!channel->send(batch)) {
                    receiver_alive = false;
                    break;
                }
                batch.reserve(kBatch);
            }
        }
        if (receiver_alive && !batch.empty()) {
            (void)channel->send(batch);
        }
    } catch (...) {
        outcome->panicked = true;
    }
    reader.reset();
    channel->close_sender();
}

} // namespace

Result<std::unique_ptr<PacketProducer>> PacketProducer::start(std::unique_ptr<CaptureReader> reader,
                                                              Decode decode) {
    std::unique_ptr<PacketProducer> p(new PacketProducer());
    p->channel_ = std::make_shared<PacketChannel>(kChannelCapacity);
    p->outcome_ = std::make_shared<Outcome>();
    try {
        p->thread_ = std::thread(produce, std::move(reader), decode, p->channel_, p->outcome_);
    } catch (...) {
        return fail(ErrorKind::Panic, "failed to spawn thread");
    }
    return p;
}

PacketProducer::~PacketProducer() {
    if (thread_.joinable()) {
        // Closing our end makes the thread's next send fail, and it exits on
        // its own.
        channel_->close_receiver();
        thread_.detach();
    }
}

std::uint64_t PacketProducer::input_done() const {
    return outcome_->input_done.load(std::memory_order_relaxed);
}

const std::optional<CutOff>& PacketProducer::cut_off() const {
    return outcome_->cut_off;
}

std::uint64_t PacketProducer::skipped() const {
    return outcome_->skipped;
}

std::uint64_t PacketProducer::input_read() const {
    return outcome_->input_read;
}

Status PacketProducer::finish() {
    channel_->close_receiver();
    thread_.join();
    if (outcome_->panicked) {
        return runtime_error("Producer thread panicked");
    }
    if (outcome_->error) {
        return std::unexpected(outcome_->error->to_error());
    }
    return {};
}

} // namespace vexlor
