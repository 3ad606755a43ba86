// Where one flow of a key ends and the next begins.  By default a key is one
// flow for the whole capture; a five-tuple reused a day later would then be
// a single flow a day long.  With boundaries, a key's packets are cut into
// successive flows, told apart by FlowKey::seq (named "NAME", "NAME-2", ...).
#pragma once

#include <cstdint>
#include <functional>

#include "common/lru_table.h"
#include "flow/flow_key.h"
#include "flow/strategy.h"
#include "packet/packet.h"

namespace vexlor {

struct FlowBoundaryOptions {
    // A packet more than this many microseconds after the previous packet of
    // its key starts a new flow; 0: never.
    std::uint64_t idle_timeout_us = 0;
    // A TCP connection that ended (FIN from both sides, or a RST; in the
    // one-way keys of the flow strategy, a FIN or RST of that way) and then
    // sees a SYN again starts a new flow.  Only the session and flow
    // strategies key single connections, so only they are cut this way.
    bool tcp_restart = false;

    bool any() const { return idle_timeout_us != 0 || tcp_restart; }
};

// Follows the live flows of one set of output files and gives each packet's
// key the sequence number of its flow.
//
// State is kept for live flows only, at most kMaxLive of them: a flow idle
// for longer than the timeout is forgotten (its next packet starts a flow
// anyway), and beyond the cap the least recently active one is.  The flows
// themselves are the consumer's (a split's files, an archive's entries):
// when a forgotten key comes back, the consumer is asked which sequence
// numbers it holds, so numbering stays consistent with no state of ours for
// flows that are over.  A key forgotten by the cap rather than by time is
// taken for idle all the same when there is a timeout (it was quiet longer
// than every live flow); without one, it continues its latest flow unless
// its packet opens a TCP connection (SYN without ACK).
class FlowBoundaries {
public:
    static constexpr std::size_t kMaxLive = std::size_t{1} << 20;

    // Whether the consumer already holds the flow of this key (seq included).
    using Holds = std::function<bool(const FlowKey&)>;

    FlowBoundaries(FlowBoundaryOptions options, SplitStrategy strategy, Holds holds);

    // The key the packet belongs to: `key` (from flow_keys, `hash` its
    // hash_key) with the sequence number of its flow.  Packets must come in
    // capture order, each placed just before the consumer stores it.
    // Without boundaries (or for a strategy's fallback key) `key` as it is.
    FlowKey place(const FlowKey& key, std::uint64_t hash, const Packet& packet);

    std::size_t live() const { return live_.size(); }

private:
    struct State {
        std::uint64_t last_us = 0;
        std::uint32_t seq = 0;
        std::uint8_t fins = 0; // bit 0: side a sent a FIN, bit 1: side b
        bool reset = false;    // a RST was seen
    };

    bool is_tcp(const FlowKey& key, const Packet& packet) const;
    void note_tcp(State& s, const FlowKey& key, const Packet& packet) const;
    bool ended(const State& s) const { return s.reset || s.fins == 3; }
    std::uint32_t flows_held(FlowKey key) const;

    FlowBoundaryOptions opt_;
    bool one_way_;     // keys of one direction (the flow strategy)
    bool connections_; // keys of single connections (session, flow)
    Holds holds_;
    FlowTable<State> live_;
};

} // namespace vexlor
