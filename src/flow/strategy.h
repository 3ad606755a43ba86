// Splitting strategies: which flow(s) a packet belongs to, and the flow names.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "flow/flow_key.h"
#include "packet/packet.h"

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

// The flow name of a key made by flow_keys for the same strategy; a key's
// later flow (seq n > 0, see boundaries.h) has "-{n+1}" appended.
std::string flow_name(SplitStrategy strategy, const FlowKey& key);

// Lower-cases `text` and matches it against the seven strategy names.  The
// error is a value error "Unknown strategy: {}" quoting `text` unchanged.
Result<SplitStrategy> parse_strategy(std::string_view text);

// The seven names, in the order users see them: "session, flow, ...".
std::string strategy_names();

} // namespace vexlor
