// The secondary indexes of an archive: flows by address, by port and by
// protocol.
//
// The index region is a 36-byte header of three (u64 offset, u32 length)
// section descriptors, offsets counted from the end of the header, followed by
// the IP, port and protocol sections.  A section is a u32 pair count, then one
// entry per distinct key in ascending key order: the key (16, 2 or 1 bytes),
// a u32 n and n ascending u64 flow ids.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "archive/format.h"
#include "common/result.h"

namespace vexlor {

inline constexpr std::size_t kIpKeyWidth = 16;
inline constexpr std::size_t kPortKeyWidth = 2;
inline constexpr std::size_t kProtocolKeyWidth = 1;

struct IndexSection {
    std::uint64_t offset = 0; // from the first byte after the index header
    std::uint32_t length = 0;
};

// An owned copy of an index region with its three section descriptors.
struct SecondaryIndexes {
    std::vector<std::uint8_t> bytes; // the whole region, header included
    IndexSection ip;
    IndexSection port;
    IndexSection protocol;

    // Nothing for fewer than 36 bytes.  The descriptors are not checked here;
    // a lookup in a section that does not fit finds nothing.
    static std::optional<SecondaryIndexes> parse(ByteSpan region);
};

// The ids stored under `key` in one section, or nothing.  A linear walk over
// at most pair-count entries that stops, finding nothing, at the first entry
// that does not fit in the section; the first entry with an equal key wins.
// `key` of another length than `key_width` finds nothing.
std::vector<std::uint64_t> lookup_generic(ByteSpan index_bytes, std::uint64_t section_offset,
                                          std::uint32_t section_length, ByteSpan key,
                                          std::size_t key_width);

// Answers the lookups of one section with the same result as lookup_generic,
// by binary search when the section allows it.
//
// lookup_generic only ever sees the entries it can reach: those that fit, up to
// the first that does not, and at most pair-count of them.  When the keys of
// that reachable prefix strictly ascend, the first equal key is the only one
// and binary search over the prefix finds it.  Otherwise (a damaged or foreign
// file) every lookup falls back to lookup_generic itself.
class SectionLookup {
public:
    SectionLookup() = default;
    static SectionLookup prepare(ByteSpan index_bytes, IndexSection section, std::size_t key_width);

    std::vector<std::uint64_t> find(ByteSpan index_bytes, ByteSpan key) const;

    bool ordered() const { return ordered_; }
    std::size_t reachable_entries() const { return entries_.size(); }

private:
    IndexSection section_;
    std::size_t key_width_ = 0;
    bool ordered_ = false;
    std::uint64_t start_ = 0;            // absolute position of the first entry
    std::vector<std::uint32_t> entries_; // entry positions relative to start_
};

// Collects the (key, id) pairs of flow entries and lays out the index region.
class SecondaryIndexBuilder {
public:
    // Adds the pairs of one flow: both addresses, both ports, the protocol.
    void add(const FlowEntry& entry);

    // The whole index region: header, then the IP, port and protocol
    // sections.  Fails only when a section outgrows its u32 length field.
    Result<std::vector<std::uint8_t>> build();

    // The collected pairs; public only for the section writer's helpers.
    struct IpPair {
        std::uint64_t hi; // bytes 0..7 of the address, big-endian
        std::uint64_t lo; // bytes 8..15
        std::uint64_t id;
    };
    struct PortPair {
        std::uint16_t key;
        std::uint64_t id;
    };
    struct ProtocolPair {
        std::uint8_t key;
        std::uint64_t id;
    };

private:
    std::vector<IpPair> ip_;
    std::vector<PortPair> port_;
    std::vector<ProtocolPair> protocol_;
    std::uint64_t last_id_ = 0;
    bool in_id_order_ = true; // ids arrived non-decreasing
};

} // namespace vexlor
