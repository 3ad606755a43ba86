#include "flow/flow_manager.h"

namespace vexlor {

FlowManager::FlowManager(SplitStrategy strategy, std::uint32_t max_sessions)
    : strategy_(strategy), max_sessions_(max_sessions) {}

const FlowState& FlowManager::record_packet(const FlowKey& key, std::uint64_t hash,
                                            const Packet& packet) {
    // The cap is applied before the lookup, so the victim may be this
    // packet's own flow, which then starts again with a new id.  The front of
    // the table is the flow with the smallest last_seen: every update moves
    // its flow to the back.
    if (!table_.empty() && table_.size() >= max_sessions_) {
        table_.pop_front();
    }
    ++update_seq_;
    const Timestamp ts{packet.ts_sec, packet.ts_usec};
    auto handle = table_.find(key, hash);
    if (handle != LruTable<FlowState>::kNil) {
        FlowState& state = table_.at(handle);
        state.end_ts = ts;
        state.packet_count += 1;
        state.total_bytes += packet.orig_len;
        state.last_seen = update_seq_;
        table_.touch(handle);
        return state;
    }
    FlowState state;
    state.ip = packet.ip;
    state.id = next_id_++;
    state.packet_count = 1;
    state.total_bytes = packet.orig_len;
    state.last_seen = update_seq_;
    state.start_ts = ts;
    state.end_ts = ts;
    return table_.at(table_.insert(key, hash, std::move(state)));
}

const FlowState* FlowManager::find(const FlowKey& key) const {
    auto handle = table_.find(key);
    return handle == LruTable<FlowState>::kNil ? nullptr : &table_.at(handle);
}

} // namespace vexlor
