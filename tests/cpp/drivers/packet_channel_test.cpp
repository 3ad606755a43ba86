#include <gtest/gtest.h>

#include <thread>

#include "builders.h"
#include "drivers/packet_channel.h"
#include "drivers/packet_producer.h"

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
// keeps its batch.  (Order across threads, and a receiver that gives up early,
// are exercised by the split pipeline's tests.)
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

std::unique_ptr<PacketProducer> producer_of(const test::Bytes& file) {
    auto reader = open_reader(SharedBytes::from_vector(file));
    EXPECT_TRUE(reader.has_value());
    auto p = PacketProducer::start(std::move(*reader));
    EXPECT_TRUE(p.has_value());
    return std::move(*p);
}

// Every packet arrives, in order, before finish() reports how the reading
// ended: a capture cut inside a record fails only after the packets before
// the cut were handed over.
TEST(PacketProducer, HandsOverEveryPacketThenTheReadingsOutcome) {
    test::PcapBuilder b;
    b.header();
    for (std::uint32_t i = 0; i < 1000; ++i) {
        b.packet(i, 0, test::Bytes(60, static_cast<std::uint8_t>(i)));
    }
    for (bool cut : {false, true}) {
        test::Bytes file = b.bytes();
        if (cut) {
            file.resize(file.size() - 10);
        }
        auto producer = producer_of(file);
        std::uint32_t next = 0;
        PacketChannel::Batch batch;
        while (producer->receive(batch)) {
            for (const Packet& p : batch) {
                EXPECT_EQ(p.ts_sec, next++);
            }
            batch.clear();
        }
        EXPECT_EQ(next, cut ? 999u : 1000u);
        auto st = producer->finish();
        EXPECT_EQ(st.has_value(), !cut);
    }
}

// A driver that stops early neither waits for the rest of the capture nor
// leaves a joinable thread behind (which would end the process).
TEST(PacketProducer, LetsTheThreadGoWhenDroppedEarly) {
    test::PcapBuilder b;
    b.header();
    for (std::uint32_t i = 0; i < 100000; ++i) {
        b.packet(i, 0, test::Bytes(60, 1));
    }
    auto producer = producer_of(b.bytes());
    PacketChannel::Batch batch;
    ASSERT_TRUE(producer->receive(batch));
    producer.reset();
}

} // namespace
} // namespace vexlor
