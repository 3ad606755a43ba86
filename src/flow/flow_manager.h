// The table of live flows of one split run, capped at max_sessions.
#pragma once

#include "common/lru_table.h"
#include "flow/strategy/strategy.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vexlor {

struct Timestamp {
    std::uint32_t sec = 0;
    std::uint32_t usec = 0;
    friend bool operator==(const Timestamp&, const Timestamp&) = default;
};

// Counters of one live flow.  Packets themselves are not kept: nothing reads
// them, and holding a record per packet grows memory with the capture.
struct FlowState {
    std::optional<IpInfo> ip; // the first packet's
    std::uint64_t id = 0;
    std::uint64_t packet_count = 0;
    std::uint64_t total_bytes = 0; // sum of orig_len
    std::uint64_t last_seen = 0;   // update_seq of the latest update
    Timestamp start_ts;
    Timestamp end_ts;
};

class FlowManager {
public:
    FlowManager(SplitStrategy strategy, std::uint32_t max_sessions);

    SplitStrategy strategy() const { return strategy_; }

    FlowKeys classify_keys(const Packet& packet) const { return flow_keys(strategy_, packet); }
    std::vector<std::string> classify(const Packet& packet) const {
        return vexlor::classify(strategy_, packet);
    }

    // Accounts `packet` to the flow of `key` (hash_key(key) passed as `hash`):
    // first evicts the least recently updated flow when the table is full,
    // then updates or creates the flow.  Returns the flow's state.
    const FlowState& record_packet(const FlowKey& key, std::uint64_t hash, const Packet& packet);
    const FlowState& record_packet(const FlowKey& key, const Packet& packet) {
        return record_packet(key, hash_key(key), packet);
    }

    // Cache hints for a record_packet of `hash` coming soon (see LruTable).
    void prefetch_slot(std::uint64_t hash) const { table_.prefetch_slot(hash); }
    void prefetch_node(std::uint64_t hash) const { table_.prefetch_node(hash); }

    // The live flow of `key`, or nullptr.
    const FlowState* find(const FlowKey& key) const;
    std::size_t size() const { return table_.size(); }
    std::uint64_t update_seq() const { return update_seq_; }

private:
    SplitStrategy strategy_;
    std::uint32_t max_sessions_;
    std::uint64_t next_id_ = 1;
    std::uint64_t update_seq_ = 0;
    LruTable<FlowState> table_;
};

} // namespace vexlor
