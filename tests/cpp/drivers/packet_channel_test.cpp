#include <gtest/gtest.h>

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
// and the receiver sees the end once the sender has closed.  (A sender
// blocked on a full channel and released by the receiver leaving is the split
// pipeline's OpenFailureEndsTheRunWithARuntimeError.)
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

} // namespace
} // namespace vexlor
