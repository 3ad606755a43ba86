// Flow boundaries: which packets of one key start a new flow, and the names
// the later flows get; and the fragment tracker, which gives a later fragment
// its first fragment's ports.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "builders.h"
#include "flow/boundaries.h"
#include "flow/fragments.h"

namespace vexlor {
namespace {

using namespace test;

constexpr std::uint8_t FIN = 0x01, SYN = 0x02, RST = 0x04, ACK = 0x10;
constexpr std::uint64_t kSec = 1'000'000;

// One packet of the conversation 10.0.0.1:1000 <-> 10.0.0.2:80; `back` is
// the answer's direction.  A packet of kNoIp has no IP header at all: it goes
// to the fallback bin.
constexpr std::uint8_t kNoIp = 255;
struct Step {
    std::uint32_t sec;
    std::uint8_t flags = ACK;
    bool back = false;
    std::uint8_t proto = 6;
};

Packet packet_of(const Step& s) {
    if (s.proto == kNoIp) {
        return packet({.ts_sec = s.sec});
    }
    Packet p = packet({.ts_sec = s.sec,
                       .ip = s.back ? ip_info("10.0.0.2", "10.0.0.1", s.proto, 80, 1000)
                                    : ip_info("10.0.0.1", "10.0.0.2", s.proto, 1000, 80)});
    p.ip->tcp_flags = s.proto == 6 ? s.flags : 0;
    return p;
}

// Stands for a split's files or an archive's entries: the flows stored.
struct Consumer {
    std::vector<FlowKey> held;
    FlowBoundaries::Holds holds() {
        return [this](const FlowKey& k) { return std::ranges::find(held, k) != held.end(); };
    }
    // Places and stores one packet, returning the name of its flow (only
    // the suffix: "" for the first flow, "-2" for the second, ...).
    std::string store(FlowBoundaries& b, SplitStrategy strategy, const Packet& p) {
        for (const FlowKey& key : flow_keys(strategy, p)) {
            const FlowKey placed = b.place(key, hash_key(key), p);
            if (std::ranges::find(held, placed) == held.end()) {
                held.push_back(placed);
            }
            const std::string suffix =
                flow_name(strategy, placed).substr(flow_name(strategy, key).size());
            // Only a key's first flow goes without a suffix; the fallback bin's
            // name never has one, so the bin must never be cut.
            EXPECT_EQ(suffix.empty(), placed.seq == 0) << flow_name(strategy, placed);
            return suffix;
        }
        return "?";
    }
};

struct Case {
    const char* what;
    FlowBoundaryOptions options;
    SplitStrategy strategy;
    std::vector<Step> steps;
    std::vector<std::string> suffixes; // one per step
};

constexpr auto kSession = SplitStrategy::Session;

// clang-format off
const Case kCases[] = {
    {"no boundaries by default, even a day apart", {}, kSession,
     {{0}, {86400, RST}, {86401, SYN}}, {"", "", ""}},
    {"idle: a gap of more than the timeout starts a flow", {60 * kSec}, kSession,
     {{0}, {30, ACK, true}, {90}, {151}, {200, ACK, true}, {400}}, {"", "", "", "-2", "-2", "-3"}},
    {"idle: time running backwards is no gap", {10 * kSec}, kSession,
     {{100}, {50}, {55}}, {"", "", ""}},
    {"idle: applies to any strategy's keys", {10 * kSec}, SplitStrategy::HostPair,
     {{0}, {5, ACK, true}, {20}}, {"", "", "-2"}},
    {"idle: also to other protocols", {10 * kSec}, kSession,
     {{0, 0, false, 17}, {11, 0, true, 17}}, {"", "-2"}},
    {"restart: FIN both ways, then a SYN", {0, true}, kSession,
     {{0, SYN}, {0, SYN | ACK, true}, {1, FIN | ACK}, {1, FIN | ACK, true}, {1}, {2, SYN}, {2, SYN | ACK, true}},
     {"", "", "", "", "", "-2", "-2"}},
    {"restart: a FIN one way only does not end the connection", {0, true}, kSession,
     {{0, SYN}, {1, FIN | ACK}, {1, FIN | ACK}, {2, SYN}}, {"", "", "", ""}},
    {"restart: a RST ends it; what follows it stays until a SYN", {0, true}, kSession,
     {{0, SYN}, {1, RST, true}, {1, ACK}, {2, SYN}, {3, RST}, {3, SYN}}, {"", "", "", "-2", "-2", "-3"}},
    {"restart: one-way keys end with their own FIN", {0, true}, SplitStrategy::Flow,
     {{0, SYN}, {1, FIN | ACK}, {2, SYN}}, {"", "", "-2"}},
    {"restart: keys of many connections are not cut", {0, true}, SplitStrategy::HostPair,
     {{0, SYN}, {1, RST}, {2, SYN}}, {"", "", ""}},
    {"restart: not for UDP", {0, true}, kSession,
     {{0, 0, false, 17}, {86400, 0, false, 17}}, {"", ""}},
    {"both: whichever comes first", {60 * kSec, true}, kSession,
     {{0, SYN}, {1, RST}, {2, SYN}, {100, ACK}, {101, RST}, {102, SYN}}, {"", "", "-2", "-3", "-3", "-4"}},
    {"the fallback bin is no flow of endpoints: never cut", {kSec, true}, kSession,
     {{0, 0, false, kNoIp}, {100, 0, false, kNoIp}, {200, 0, false, kNoIp}}, {"", "", ""}},
};
// clang-format on

TEST(FlowBoundaries, CutsKeysIntoFlows) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.what);
        Consumer consumer;
        FlowBoundaries b(c.options, c.strategy, consumer.holds());
        std::vector<std::string> got;
        for (const Step& s : c.steps) {
            got.push_back(consumer.store(b, c.strategy, packet_of(s)));
        }
        EXPECT_EQ(got, c.suffixes);
    }
}

// State is kept for live flows only; a key that comes back after its state
// went continues the numbering the consumer holds.
TEST(FlowBoundaries, ForgottenKeysContinueTheirNumbering) {
    Consumer consumer;
    FlowBoundaries idle({10 * kSec}, SplitStrategy::Session, consumer.holds());
    EXPECT_EQ(consumer.store(idle, SplitStrategy::Session, packet_of({0})), "");
    consumer.store(idle, SplitStrategy::Session,
                   packet({.ts_sec = 100, .ip = ip_info("10.9.9.9", "10.0.0.2", 6, 5, 6)}));
    EXPECT_EQ(idle.live(), 1u); // the first key's state is gone
    EXPECT_EQ(consumer.store(idle, SplitStrategy::Session, packet_of({200})), "-2");

    // A consumer that holds flows 1 to 37 of the key already, and a tracker
    // that knows nothing of them (as after the cap of live flows).
    for (std::uint32_t extra : {0u, 6u, 36u}) {
        Consumer held;
        FlowKey key = flow_keys(SplitStrategy::Session, packet_of({0})).keys[0];
        for (std::uint32_t s = 0; s <= extra; ++s) {
            key.seq = s;
            held.held.push_back(key);
        }
        const std::string last = extra == 0 ? "" : "-" + std::to_string(extra + 1);
        const std::string next = "-" + std::to_string(extra + 2);
        FlowBoundaries restart({0, true}, SplitStrategy::Session, held.holds());
        EXPECT_EQ(held.store(restart, SplitStrategy::Session, packet_of({5, ACK})), last);
        FlowBoundaries opening({0, true}, SplitStrategy::Session, held.holds());
        EXPECT_EQ(held.store(opening, SplitStrategy::Session, packet_of({5, SYN})), next);
    }
}

// The tracker's own rules: the first fragment's ports, in time and in memory.
TEST(FragmentTracker, MatchesByAddressesProtocolAndId) {
    auto fragment = [](std::uint32_t id, bool first, std::uint32_t sec,
                       const char* src = "10.0.0.1") {
        Packet p = packet(
            {.ts_sec = sec, .ip = ip_info(src, "10.0.0.2", 17, first ? 53 : 0, first ? 99 : 0)});
        p.fragment = FragmentInfo{true, first, id};
        return p;
    };
    FragmentTracker t;
    Packet first = fragment(1, true, 0);
    EXPECT_TRUE(t.place(first));
    for (auto [p, matched] : std::vector<std::pair<Packet, bool>>{
             {fragment(1, false, 1), true},
             {fragment(2, false, 1), false},             // another id
             {fragment(1, false, 1, "10.0.0.9"), false}, // another source
             {fragment(1, false, FragmentTracker::kMaxAgeUs / 1000000 + 1), false}}) { // too late
        EXPECT_EQ(t.place(p), matched);
        EXPECT_EQ(p.ip->src_port, matched ? 53 : 0);
    }
    EXPECT_EQ(t.unmatched(), 3u);
}

} // namespace
} // namespace vexlor
