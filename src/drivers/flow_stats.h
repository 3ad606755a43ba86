// Flows as data: one record per flow with its identity, counters and the
// first packets' sizes, directions and gaps, and optionally a row of its
// first bytes, from a capture or from an archive.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/address.h"
#include "common/result.h"
#include "drivers/progress.h"
#include "flow/boundaries.h"
#include "flow/strategy.h"
#include "packet/packet.h"

namespace vexlor {

// Header fields zeroed in byte rows.
enum MaskField : std::uint8_t { kMaskMac = 1, kMaskIp = 2, kMaskPort = 4, kMaskChecksum = 8 };

// What is kept of each flow besides its counters.
struct FlowFeatures {
    std::uint32_t first_n = 20;    // packets whose size, direction and gap are listed
    std::uint32_t row_bytes = 0;   // bytes of the byte row (per slot); 0: no row
    std::uint32_t row_packets = 0; // 0: the flow's first bytes across its packets;
                                   // K: the first row_bytes of each of its first K packets
    bool payload = false;          // the transport payload instead of the whole frame
    std::uint8_t mask = 0;         // MaskField bits
    // Counted each way, with payload and TCP flags.  Without them (byte rows
    // and their keys), packets[0] and bytes[0] count every packet and only
    // the packets the row and lists still need are looked into; from an
    // archive read without filters they are its flow entry's counts, and
    // of the times only start_us is kept.
    bool directions = true;
};

struct FlowRecord {
    std::uint64_t id = 0; // in order of first packets, from FlowStatsOptions::first_id
    std::string key;      // the strategy's flow name
    // The first packet's endpoints: its source is the initiator, direction 0.
    bool has_ip = false;
    std::uint8_t proto = 0;
    IpAddress src, dst;
    std::uint16_t src_port = 0, dst_port = 0;
    // ICMP and ICMPv6: the first message's type and code.
    std::uint8_t icmp_type = 0, icmp_code = 0;
    std::uint64_t first_us = 0, last_us = 0; // earliest and latest packet times
    std::uint64_t start_us = 0;              // the first packet's time
    std::uint64_t packets[2] = {}, bytes[2] = {}, payload[2] = {};
    std::uint8_t tcp_flags = 0; // every TCP flag seen, either way
    std::vector<std::uint32_t> sizes;
    std::vector<std::uint8_t> dirs;
    std::vector<std::int64_t> gaps; // microseconds since the flow's previous packet
    std::vector<std::uint8_t> row;  // FlowFeatures::row_bytes (times row_packets), zero-padded
    // The first packet's outer layers (VLAN ids, labels, VNI, TEID, tunnel
    // endpoints: outer_text), in the wide decoding; empty without any.
    std::string outer;
};

// Accumulates one flow's packets into its record; memory per flow is fixed by
// the features, whatever the number of packets.
class FlowStats {
public:
    explicit FlowStats(const FlowFeatures& features) : features_(&features) {}
    // Kept by reference: a temporary would be gone before the first packet.
    explicit FlowStats(FlowFeatures&&) = delete;

    // Packets in capture order; `link_type` is the frame's (for masking).
    void add(const Packet& packet, std::uint32_t link_type);

    // Whether the next packet must be decoded to be added; when not, add()
    // counts it by its time and length alone.
    bool wants_frames() const;

    FlowRecord& record() { return rec_; }
    const FlowRecord& record() const { return rec_; }

private:
    void add_row(const Packet& packet, std::uint32_t link_type);
    void add_counted(std::uint64_t time_us, std::uint32_t orig_len);

    const FlowFeatures* features_;
    FlowRecord rec_;
    std::uint64_t prev_us_ = 0;
    std::uint32_t row_slots_ = 0; // packets placed in the row so far
};

// Zeroes the fields named by `mask` (MaskField bits) in `frame`, a copy of the
// packet's frame, at the places its dissection found them.
// Fields that start at or after `keep` are left alone: only the first `keep`
// bytes of the frame are wanted.
void mask_frame(std::span<std::uint8_t> frame, const Packet& packet, std::uint32_t link_type,
                std::uint8_t mask, std::size_t keep = SIZE_MAX);

// The community identifier of a flow's first packet endpoints, or "" for a
// flow without IP.
std::string flow_community_id(const FlowRecord& record);

// Whether the file at `path` is a .vexlor archive (by its first bytes).
bool is_archive_file(const std::string& path);

struct FlowStatsOptions {
    std::string input_path; // a capture ("-" for standard input) or an archive
    SplitStrategy strategy = SplitStrategy::Session;
    FlowBoundaryOptions boundaries;
    std::uint32_t max_sessions = 10000; // accepted for symmetry; every flow is kept
    std::vector<std::string> ip_filters;
    std::vector<std::uint16_t> port_filters;
    Decode decode = Decode::Wide;
    DecodeCounts* counts = nullptr;
    ProgressFn progress;
    RunControl control;
    FlowFeatures features;
    std::uint64_t first_id = 1;
    // Threads that read an archive's flows besides the calling one, which
    // hands them over in order; 0 reads on the calling thread alone.  A
    // capture is read in order on the calling thread.
    unsigned threads = 0;
};

// Called once per flow; a failure ends the run with it.
using FlowSink = std::function<Status(const FlowRecord&)>;

// Reads a capture (packets grouped into flows by the strategy and
// boundaries) or an archive (its flows as stored, named by the strategy from
// their packets) and hands each flow's record to `sink`.  With an idle
// timeout, flows idle past it (no later packet can join them) are handed
// over as the capture goes, so that memory follows the live flows; the rest
// come at the end.  Each hand-over is in id order.
[[nodiscard]] Status run_flow_stats(const FlowStatsOptions& options, const FlowSink& sink);

} // namespace vexlor
