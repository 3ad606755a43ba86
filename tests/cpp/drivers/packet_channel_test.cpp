#include <gtest/gtest.h>

#include <thread>

#include "drivers/packet_channel.h"

namespace vexlor {
namespace {

PacketChannel::Batch batch_of(std::uint32_t first, std::uint32_t n) {
    PacketChannel::Batch b(n);
    for (std::uint32_t i = 0; i < n; ++i) {
        b[i].ts_sec = first + i;
    }
    return b;
}

// In order, a batch larger than the whole capacity passes an empty channel,
// and the receiver sees the end once the sender has closed.
TEST(PacketChannel, DeliversInOrderThenDisconnects) {
    PacketChannel ch(4);
    auto a = batch_of(0, 3);
    ASSERT_TRUE(ch.send(a));
    EXPECT_TRUE(a.empty()); // the packets moved into the channel
    PacketChannel::Batch got;
    ASSERT_TRUE(ch.receive(got));
    auto big = batch_of(3, 10);
    ASSERT_TRUE(ch.send(big));
    ch.close_sender();
    std::uint32_t next = 0;
    do {
        for (const Packet& p : got) {
            EXPECT_EQ(p.ts_sec, next++);
        }
    } while (ch.receive(got));
    EXPECT_EQ(next, 13u);
    EXPECT_FALSE(ch.receive(got)); // stays disconnected
}

// A sender blocked on a full channel is released by the receiver leaving, and
// keeps its batch.  (The producer thread, order across threads, and a
// receiver that gives up early are exercised by the split pipeline's tests.)
TEST(PacketChannel, ClosingTheReceiverReleasesABlockedSender) {
    PacketChannel ch(2);
    bool last = true;
    std::size_t kept = 0;
    std::thread sender([&] {
        for (std::uint32_t i = 0; last; i += 2) {
            auto b = batch_of(i, 2);
            last = ch.send(b);
            kept = b.size();
        }
    });
    PacketChannel::Batch got;
    ASSERT_TRUE(ch.receive(got));
    ch.close_receiver();
    sender.join();
    EXPECT_FALSE(last);
    EXPECT_EQ(kept, 2u);
}

} // namespace
} // namespace vexlor
