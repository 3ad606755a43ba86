// What a driver run must produce, worked out the slow and plain way: read the
// capture packet by packet, filter, and give each flow key its packets in
// order.  The driver targets compare the files a run leaves with this.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "flow/filter.h"
#include "flow/flow_key.h"
#include "flow/strategy.h"
#include "parser/capture_reader.h"

namespace vexlor::fuzz {

struct ModelFlow {
    FlowKey key;
    std::vector<std::size_t> packets; // indexes into CaptureModel::packets
};

struct CaptureModel {
    std::optional<std::string> open_error; // open_reader refused the input
    std::optional<std::string> read_error; // next_packet failed after some packets
    std::uint32_t link_type = 0;
    std::vector<Packet> packets;  // those that passed the filter, in capture order
    std::vector<ModelFlow> flows; // in order of first appearance
    // Every (packet, flow) pair in the order a driver handles them: capture
    // order, then the strategy's order of the packet's keys.
    struct Write {
        std::size_t packet;
        std::size_t flow;
    };
    std::vector<Write> writes;

    static CaptureModel build(std::vector<std::uint8_t> capture, SplitStrategy strategy,
                              const PacketFilter& filter) {
        CaptureModel m;
        auto reader = open_reader(SharedBytes::from_vector(std::move(capture)));
        if (!reader) {
            m.open_error = reader.error().to_error().message;
            return m;
        }
        m.link_type = (*reader)->link_type();
        std::map<std::vector<std::uint8_t>, std::size_t> index; // key bytes -> flow
        for (;;) {
            auto p = (*reader)->next_packet();
            if (!p) {
                m.read_error = p.error().to_error().message;
                break;
            }
            if (!*p) {
                break;
            }
            if (!filter.matches(**p)) {
                continue;
            }
            m.packets.push_back(std::move(**p));
            for (const FlowKey& k : flow_keys(strategy, m.packets.back())) {
                const auto* raw = reinterpret_cast<const std::uint8_t*>(&k);
                auto [it, fresh] =
                    index.emplace(std::vector<std::uint8_t>(raw, raw + sizeof k), m.flows.size());
                if (fresh) {
                    m.flows.push_back(ModelFlow{k, {}});
                }
                m.flows[it->second].packets.push_back(m.packets.size() - 1);
                m.writes.push_back({m.packets.size() - 1, it->second});
            }
        }
        return m;
    }
};

} // namespace vexlor::fuzz
