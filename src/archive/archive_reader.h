// Read access to an archive through a read-only mapping of the whole file.
//
// Only the flow table (decoded) and the index region (copied) are held in
// memory; offset lists and packet records are read in place on demand.  The
// reader never changes after open, so holders may share it freely.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "archive/format.h"
#include "archive/index.h"
#include "common/file_identity.h"
#include "common/mapping_guard.h"
#include "common/result.h"

namespace vexlor {

// One stored packet record; `data` points into the reader's mapping.
struct StoredPacket {
    std::uint32_t ts_sec = 0;
    std::uint32_t ts_usec = 0;
    std::uint32_t caplen = 0;
    std::uint32_t orig_len = 0;
    std::span<const std::uint8_t> data;
};

// Why a stored record that packet_at() does not give is a damaged archive,
// for readers that refuse one rather than leave the packet out.
inline std::string damaged_record(std::uint64_t flow_id, std::uint64_t offset) {
    return "flow " + std::to_string(flow_id) + ": its stored packet at byte " +
           std::to_string(offset) + " runs past the end of the file";
}

class ArchiveReader {
public:
    // Maps the archive and validates its footer.  I/O errors:
    // "Failed to open archive", the size query's system text,
    // "File too small to be a valid archive", "Failed to mmap archive",
    // "Invalid archive footer", "Flow table extends beyond file".
    // A missing or unusable index region is not an error: queries then scan
    // the flow table.
    static Result<std::shared_ptr<const ArchiveReader>> open(const std::string& path);

    ArchiveReader(const ArchiveReader&) = delete;
    ArchiveReader& operator=(const ArchiveReader&) = delete;
    ~ArchiveReader();

    // Every whole 96-byte entry of the flow table, in file order.
    const std::vector<FlowEntry>& flows() const { return flows_; }
    std::uint32_t link_type() const { return link_type_; }
    const ArchiveFooter& footer() const { return footer_; }
    // Why the file is no archive of this format version, for readers that
    // look (open() does not: it checks the footer's magic alone): a header
    // that is not an archive's, or another version in the header or the
    // footer.  Nothing when all three say this version.
    std::optional<std::string> format_problem() const;
    // The file's device and inode when it was opened.
    const FileIdentity& identity() const { return identity_; }
    bool has_indexes() const { return indexes_.has_value(); }
    // The whole mapped file.
    std::span<const std::uint8_t> file() const { return {map_, size_}; }
    // Whether another program has cut the file short since it was opened
    // (its records past the cut then read as missing, or as zeros in the
    // page the file now ends in).  A system call: asked before what was
    // read is published.
    bool cut_short() const;

    // The absolute offsets of the flow's records.  A damaged list yields fewer
    // offsets, never an error; a list outside the file is the runtime error
    // "Offset list extends beyond file".
    // A file cut short under us since it was opened makes the list lie past
    // its end too; `look` false spares that look at the file (one system
    // call) to a caller that asks cut_short() before it publishes.
    Result<std::vector<std::uint64_t>> get_packet_offsets(const FlowEntry& entry,
                                                          bool look = true) const;
    // The offset of the flow's first stored record, decoding nothing more of
    // its list; nothing for a list that is damaged, empty or outside the file.
    std::optional<std::uint64_t> first_packet_offset(const FlowEntry& entry) const;

    // The record at `offset`, or nothing when its header or frame would run
    // past the end of the file.
    // With `whole` false, a caller that reads only the frame's first bytes
    // spares the look at its last page (see record_at), and asks
    // cut_short() before it publishes anything.
    std::optional<StoredPacket> packet_at(std::uint64_t offset, bool whole = true) const;
    // The same record as raw bytes (16-byte header and frame), which is also
    // a classic pcap record.
    std::optional<std::span<const std::uint8_t>> record_at(std::uint64_t offset,
                                                           bool whole = true) const;

    // Flow ids by key: from the index section when the archive has indexes
    // (no fallback when the section finds nothing), otherwise from a scan of
    // the flow table in order.  `key` is the 16-byte address form.
    std::vector<std::uint64_t> find_by_address(const Address16& key) const;
    std::vector<std::uint64_t> find_by_port(std::uint16_t port) const;
    std::vector<std::uint64_t> find_by_protocol(std::uint8_t proto) const;

    // The first entry with `id`, or nullptr.  Constant time.
    const FlowEntry* resolve(std::uint64_t id) const;

private:
    template <class Pred> std::vector<std::uint64_t> scan(Pred matches) const;
    ArchiveReader() = default;

    // Built on first use per section: lookups by binary search where the
    // section allows it (see SectionLookup).
    struct LazySection {
        std::once_flag once;
        SectionLookup lookup;
    };
    std::vector<std::uint64_t> find_in(LazySection& lazy, const IndexSection& section,
                                       std::size_t key_width, ByteSpan key) const;

    const std::uint8_t* map_ = nullptr;
    std::size_t size_ = 0;
    MappingGuard guard_; // a file cut short under us reads as cut, not SIGBUS
    std::string path_;
    FileIdentity identity_;
    std::uint32_t link_type_ = 0;
    ArchiveFooter footer_;
    std::vector<FlowEntry> flows_;
    std::optional<SecondaryIndexes> indexes_;

    // id -> position in flows_ of its first entry.  Left empty when every
    // entry i has id i + 1 (all archives written here), which resolves by
    // arithmetic.
    bool dense_ids_ = false;
    std::unordered_map<std::uint64_t, std::size_t> first_by_id_;

    mutable LazySection ip_lookup_;
    mutable LazySection port_lookup_;
    mutable LazySection protocol_lookup_;
};

} // namespace vexlor
