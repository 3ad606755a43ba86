#include "drivers/packet_channel.h"

#include <gtest/gtest.h>

#include <thread>

namespace vexlor {
namespace {

PacketChannel::Batch batch_of(std::uint32_t first, std::uint32_t n) {
    PacketChannel::Batch b;
    for (std::uint32_t i = 0; i < n; ++i) {
        Packet p;
        p.ts_sec = first + i;
        b.push_back(p);
    }
    return b;
}

TEST(PacketChannel, DeliversInOrderThenDisconnects) {
    PacketChannel ch(8);
    auto a = batch_of(0, 3);
    auto b = batch_of(3, 5);
    ASSERT_TRUE(ch.send(a));
    ASSERT_TRUE(ch.send(b));
    EXPECT_TRUE(a.empty()); // the packets moved into the channel
    ch.close_sender();
    PacketChannel::Batch got;
    std::uint32_t next = 0;
    while (ch.receive(got)) {
        for (const Packet& p : got) {
            EXPECT_EQ(p.ts_sec, next++);
        }
    }
    EXPECT_EQ(next, 8u);
    EXPECT_FALSE(ch.receive(got)); // stays disconnected
}

// A batch larger than the whole capacity still goes through an empty channel.
TEST(PacketChannel, OversizedBatchPassesWhenEmpty) {
    PacketChannel ch(4);
    auto big = batch_of(0, 10);
    ASSERT_TRUE(ch.send(big));
    PacketChannel::Batch got;
    ASSERT_TRUE(ch.receive(got));
    EXPECT_EQ(got.size(), 10u);
}

TEST(PacketChannel, SendFailsOnceTheReceiverIsGone) {
    PacketChannel ch(4);
    auto first = batch_of(0, 4);
    ASSERT_TRUE(ch.send(first));
    ch.close_receiver();
    auto b = batch_of(4, 2);
    EXPECT_FALSE(ch.send(b));
    EXPECT_EQ(b.size(), 2u); // left with the sender
}

// A sender blocked on a full channel is released by the receiver leaving.
TEST(PacketChannel, ClosingTheReceiverReleasesABlockedSender) {
    PacketChannel ch(2);
    bool last = true;
    std::thread sender([&] {
        for (std::uint32_t i = 0; last; i += 2) {
            auto b = batch_of(i, 2);
            last = ch.send(b);
        }
    });
    PacketChannel::Batch got;
    ASSERT_TRUE(ch.receive(got));
    ch.close_receiver();
    sender.join();
    EXPECT_FALSE(last);
}

// Two threads, a small capacity and uneven batches: nothing lost, nothing
// reordered, nothing duplicated.
TEST(PacketChannel, ThreadedTransferKeepsEveryPacketInOrder) {
    PacketChannel ch(16);
    constexpr std::uint32_t kTotal = 20000;
    std::thread sender([&] {
        std::uint32_t next = 0;
        for (std::uint32_t n = 1; next < kTotal; n = n % 23 + 1) {
            auto b = batch_of(next, std::min(n, kTotal - next));
            next += static_cast<std::uint32_t>(b.size());
            if (!ch.send(b)) {
                ADD_FAILURE() << "receiver gone";
                break;
            }
        }
        ch.close_sender();
    });
    PacketChannel::Batch got;
    std::uint32_t expect = 0;
    while (ch.receive(got)) {
        for (const Packet& p : got) {
            ASSERT_EQ(p.ts_sec, expect++);
        }
    }
    sender.join();
    EXPECT_EQ(expect, kTotal);
}

} // namespace
} // namespace vexlor
