// The bounded blocking channel between the thread that reads a capture
// (PacketProducer) and the driver that consumes its packets.
//
// It holds at most `capacity` packets.  Packets travel in batches so that the
// two threads meet on the lock once per batch rather than once per packet;
// a send still blocks while the packets waiting would exceed the capacity.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "packet/packet.h"

namespace vexlor {

class PacketChannel {
public:
    using Batch = std::vector<Packet>;

    explicit PacketChannel(std::size_t capacity) : capacity_(capacity) {}

    // Blocks while the batch does not fit.  Returns false (and leaves the
    // batch alone) when the receiving end is gone.
    bool send(Batch& batch) {
        std::unique_lock lock(mu_);
        std::size_t n = batch.size();
        not_full_.wait(lock,
                       [&] { return receiver_gone_ || queued_ + n <= capacity_ || queued_ == 0; });
        if (receiver_gone_) {
            return false;
        }
        queued_ += n;
        queue_.push_back(std::move(batch));
        batch = Batch();
        lock.unlock();
        not_empty_.notify_one();
        return true;
    }

    // Blocks while nothing is waiting.  Returns false once the sender is gone
    // and everything sent has been received.
    bool receive(Batch& out) {
        std::unique_lock lock(mu_);
        not_empty_.wait(lock, [&] { return sender_gone_ || !queue_.empty(); });
        if (queue_.empty()) {
            return false;
        }
        out = std::move(queue_.front());
        queue_.pop_front();
        queued_ -= out.size();
        lock.unlock();
        not_full_.notify_one();
        return true;
    }

    void close_sender() {
        {
            std::lock_guard lock(mu_);
            sender_gone_ = true;
        }
        not_empty_.notify_all();
    }
    void close_receiver() {
        {
            std::lock_guard lock(mu_);
            receiver_gone_ = true;
            queue_.clear();
            queued_ = 0;
        }
        not_full_.notify_all();
    }

private:
    std::mutex mu_;
    std::condition_variable not_full_;
    std::condition_variable not_empty_;
    std::deque<Batch> queue_;
    std::size_t queued_ = 0;
    std::size_t capacity_;
    bool sender_gone_ = false;
    bool receiver_gone_ = false;
};

} // namespace vexlor
