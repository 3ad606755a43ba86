#include "flow/flow_manager.h"
#include "flow_packets.h"

#include <gtest/gtest.h>


namespace vexlor {
namespace {

using test::ip_packet;

// Flow n is a TCP session between 10.0.0.n and 192.0.2.1.
Packet packet_of(int n, std::uint32_t orig_len = 100) {
    std::string src = "10.0.0." + std::to_string(n);
    Packet p = ip_packet(src.c_str(), "192.0.2.1", 6, 1000, 80);
    p.orig_len = orig_len;
    return p;
}
FlowKey key_of(int n) { return flow_keys(SplitStrategy::Session, packet_of(n)).keys[0]; }

std::uint64_t record(FlowManager& m, int n) { return m.record_packet(key_of(n), packet_of(n)).id; }

TEST(FlowManager, EvictsTheLeastRecentlyUpdatedFlow) {
    FlowManager m(SplitStrategy::Session, 2);
    EXPECT_EQ(record(m, 'A'), 1u);
    EXPECT_EQ(record(m, 'B'), 2u);
    EXPECT_EQ(record(m, 'C'), 3u);
    EXPECT_EQ(m.find(key_of('A')), nullptr);
    ASSERT_NE(m.find(key_of('B')), nullptr);
    // A comes back as a new flow and pushes out B, now the oldest.
    EXPECT_EQ(record(m, 'A'), 4u);
    EXPECT_EQ(m.find(key_of('A'))->packet_count, 1u);
    EXPECT_EQ(m.find(key_of('B')), nullptr);
    EXPECT_EQ(m.find(key_of('C'))->id, 3u);
    EXPECT_EQ(m.size(), 2u);
}

// The cap is applied before the lookup, even for a packet of a live flow.
TEST(FlowManager, EvictsBeforeUpdatingAnExistingFlow) {
    FlowManager m(SplitStrategy::Session, 2);
    record(m, 'A');
    record(m, 'B');
    EXPECT_EQ(record(m, 'B'), 2u); // A goes
    EXPECT_EQ(m.size(), 1u);
    EXPECT_EQ(m.find(key_of('B'))->packet_count, 2u);
    EXPECT_EQ(m.find(key_of('A')), nullptr);

    FlowManager own(SplitStrategy::Session, 2);
    record(own, 'A');
    record(own, 'B');
    // A is the oldest, so its own packet removes it and starts it afresh.
    EXPECT_EQ(record(own, 'A'), 3u);
    EXPECT_EQ(own.find(key_of('A'))->packet_count, 1u);
    EXPECT_EQ(own.find(key_of('B'))->id, 2u);
}

class TinyCap : public ::testing::TestWithParam<std::uint32_t> {};

// With a cap of 0 or 1 the single live flow is evicted by every packet, its
// own included, so every packet starts a new flow.
TEST_P(TinyCap, HoldsAtMostOneFlow) {
    FlowManager m(SplitStrategy::Session, GetParam());
    int flows[] = {'A', 'B', 'A', 'A'};
    for (std::uint64_t i = 0; i < std::size(flows); ++i) {
        EXPECT_EQ(record(m, flows[i]), i + 1);
        EXPECT_EQ(m.size(), 1u);
    }
}
INSTANTIATE_TEST_SUITE_P(Caps, TinyCap, ::testing::Values(0u, 1u));

TEST(FlowManager, CountsPacketsBytesAndTimes) {
    FlowManager m(SplitStrategy::Session, 10);
    Packet first = ip_packet("10.0.0.1", "10.0.0.2", 6, 1234, 80);
    first.ts_sec = 1;
    first.ts_usec = 2;
    first.orig_len = 1500;
    first.caplen = 64;
    Packet answer = ip_packet("10.0.0.2", "10.0.0.1", 6, 80, 1234);
    answer.ts_sec = 3;
    answer.ts_usec = 4;
    answer.orig_len = 60;
    FlowKeys k1 = m.classify_keys(first);
    FlowKeys k2 = m.classify_keys(answer);
    ASSERT_EQ(k1.keys[0], k2.keys[0]);
    m.record_packet(k1.keys[0], first);
    const FlowState& s = m.record_packet(k2.keys[0], answer);
    EXPECT_EQ(s.id, 1u);
    EXPECT_EQ(s.packet_count, 2u);
    EXPECT_EQ(s.total_bytes, 1560u); // orig_len, not caplen
    EXPECT_EQ(s.start_ts, (Timestamp{1, 2}));
    EXPECT_EQ(s.end_ts, (Timestamp{3, 4}));
    EXPECT_EQ(s.ip, first.ip);
    EXPECT_EQ(s.last_seen, 2u);
    EXPECT_EQ(m.update_seq(), 2u);
}

TEST(FlowManager, HostPacketUpdatesTwoFlows) {
    FlowManager m(SplitStrategy::Host, 10);
    Packet p = ip_packet("10.0.0.1", "10.0.0.2");
    FlowKeys keys = m.classify_keys(p);
    ASSERT_EQ(keys.count, 2);
    for (const FlowKey& k : keys) {
        m.record_packet(k, p);
    }
    EXPECT_EQ(m.update_seq(), 2u);
    EXPECT_EQ(m.size(), 2u);
    EXPECT_EQ(m.find(keys.keys[0])->last_seen, 1u);
    EXPECT_EQ(m.find(keys.keys[1])->last_seen, 2u);
    EXPECT_EQ(m.classify(p), (std::vector<std::string>{"10.0.0.1", "10.0.0.2"}));
}

} // namespace
} // namespace vexlor
