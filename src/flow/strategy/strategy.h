// Splitting strategies: which flow(s) a packet belongs to, and the flow names.
#pragma once

#include "flow/flow_key.h"
#include "packet/packet.h"

#include <string>
#include <vector>

namespace vexlor {

enum class SplitStrategy { Session, Flow, Host, HostPair, Mac, Bssid, NoSplit };

// One or two flow keys, in the order the strategy lists them.
struct FlowKeys {
    FlowKey keys[2];
    std::uint8_t count = 0;
    const FlowKey* begin() const { return keys; }
    const FlowKey* end() const { return keys + count; }
};

// The packet's flow key(s) under `strategy`.  No allocation.
FlowKeys flow_keys(SplitStrategy strategy, const Packet& packet);

// The flow name of a key made by flow_keys for the same strategy.
std::string flow_name(SplitStrategy strategy, const FlowKey& key);

// The packet's flow names, in order: flow_name of each of flow_keys.
std::vector<std::string> classify(SplitStrategy strategy, const Packet& packet);

} // namespace vexlor
