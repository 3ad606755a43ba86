#include "flow/flow_manager.h"
#include "flow_packets.h"

#include <gtest/gtest.h>

#include <cstring>
#include <tuple>

namespace vexlor {
namespace {

using test::ip_packet;

// Flow 'A' is a TCP session between 10.0.0.65 and 192.0.2.1, and so on.
Packet packet_of(char n) {
    return ip_packet(("10.0.0." + std::to_string(n)).c_str(), "192.0.2.1", 6, 1000, 80);
}
FlowKey key_of(char n) { return flow_keys(SplitStrategy::Session, packet_of(n)).keys[0]; }

// The cap is applied before the lookup: in a full table a packet evicts the
// least recently updated flow even when its own flow is live, and that may
// be its own, which then starts again with a new id.
TEST(FlowManager, EvictsTheLeastRecentlyUpdatedFlowFirst) {
    const struct {
        std::uint32_t cap;
        const char* packets;
        std::vector<std::uint64_t> ids;
        const char* live;
    } cases[] = {
        {2, "ABCA", {1, 2, 3, 4}, "CA"},
        {2, "ABB", {1, 2, 2}, "B"},
        {2, "ABA", {1, 2, 3}, "BA"},
        {3, "ABACD", {1, 2, 1, 3, 4}, "ACD"}, // A's update saves it, B goes
        // A cap of 0 or 1 holds one flow, evicted by every packet.
        {0, "ABAA", {1, 2, 3, 4}, "A"},
        {1, "ABAA", {1, 2, 3, 4}, "A"},
    };
    for (const auto& c : cases) {
        FlowManager m(SplitStrategy::Session, c.cap);
        std::vector<std::uint64_t> ids;
        for (const char* f = c.packets; *f; ++f) {
            ids.push_back(m.record_packet(key_of(*f), packet_of(*f)).id);
        }
        EXPECT_EQ(ids, c.ids) << c.packets;
        for (char f : {'A', 'B', 'C', 'D'}) {
            EXPECT_EQ(m.find(key_of(f)) != nullptr, std::strchr(c.live, f) != nullptr)
                << c.packets << ": " << f;
        }
        EXPECT_EQ(m.size(), std::strlen(c.live));
    }
}

TEST(FlowManager, CountsPacketsBytesAndTimes) {
    FlowManager m(SplitStrategy::Session, 10);
    Packet first = ip_packet("10.0.0.1", "10.0.0.2", 6, 1234, 80);
    std::tie(first.ts_sec, first.ts_usec, first.orig_len, first.caplen) =
        std::tuple(1, 2, 1500, 64);
    Packet answer = ip_packet("10.0.0.2", "10.0.0.1", 6, 80, 1234);
    std::tie(answer.ts_sec, answer.ts_usec, answer.orig_len) = std::tuple(3, 4, 60);
    m.record_packet(m.classify_keys(first).keys[0], first);
    const FlowState& s = m.record_packet(m.classify_keys(answer).keys[0], answer);
    EXPECT_EQ(std::tuple(s.id, s.packet_count, s.total_bytes, s.last_seen), // orig_len, not caplen
              std::tuple(1u, 2u, 1560u, 2u));
    EXPECT_EQ(s.start_ts, (Timestamp{1, 2}));
    EXPECT_EQ(s.end_ts, (Timestamp{3, 4}));
    EXPECT_EQ(s.ip, first.ip);
}

// Each key update counts: a host packet updates two flows one after the other.
TEST(FlowManager, HostPacketUpdatesTwoFlows) {
    FlowManager m(SplitStrategy::Host, 10);
    const Packet p = ip_packet("10.0.0.1", "10.0.0.2");
    const FlowKeys keys = m.classify_keys(p);
    ASSERT_EQ(keys.count, 2);
    for (const FlowKey& k : keys) {
        m.record_packet(k, p);
    }
    EXPECT_EQ(m.update_seq(), 2u);
    EXPECT_EQ(m.find(keys.keys[0])->last_seen, 1u);
    EXPECT_EQ(m.find(keys.keys[1])->last_seen, 2u);
}

} // namespace
} // namespace vexlor
