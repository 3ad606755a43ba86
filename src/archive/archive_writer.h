// Streams stored packet records into a temporary archive file and, at the
// end, appends the offset lists, the flow table, the secondary indexes and
// the footer, then renames the file into place.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "archive/format.h"
#include "common/async_file.h"
#include "common/result.h"
#include "common/unique_fd.h"
#include "flow/flow_key.h"
#include "packet/packet.h"

namespace vexlor {

// Each of the two buffers of the archive file.
inline constexpr std::size_t kArchiveWriteBuffer = 1024 * 1024;

class ArchiveWriter {
public:
    // Creates `temp_path` (truncating it, 0666 before the umask) and puts the
    // archive header in the write buffer.  A symlink at `temp_path` is not
    // followed: the open fails instead, so a planted link cannot redirect the
    // write.  Error: an I/O error "Failed to create temp archive file: {}".
    // The file is locked (flock) until finalize() has renamed it or the writer
    // is gone; while another writer holds it, create fails with the I/O error
    // "Output path {final_path} is in use by another run", the file untouched.
    // With `reason`, the errors of creating and renaming the file go on with
    // the system's reason.
    static Result<ArchiveWriter> create(std::string temp_path, std::string final_path,
                                        std::uint32_t link_type, bool reason = false);

    ArchiveWriter(ArchiveWriter&&) noexcept = default;
    ArchiveWriter& operator=(ArchiveWriter&&) noexcept;
    ArchiveWriter(const ArchiveWriter&) = delete;
    ArchiveWriter& operator=(const ArchiveWriter&) = delete;

    // Without finalize: writes out what the buffer holds (ignoring errors),
    // closes the file and leaves it at the temporary path, or removes it
    // when set_remove_on_failure(true) was called.
    ~ArchiveWriter();

    void set_remove_on_failure(bool on) { remove_on_failure_ = on; }

    // The caller's promise that every packet's bytes stay valid and
    // unchanged until the writer is finalized or destroyed (the frames of a
    // mapped input).  Records then refer to them instead of copying them:
    // the system copies each frame once, on the file's thread.  With
    // `headers_in_place`, the 16 bytes in front of a frame may be its stored
    // record header (a classic little-endian microsecond pcap): where they
    // are, the whole record is one piece, and records that follow each
    // other in the input are written as one.
    void set_stable_frames(bool headers_in_place) {
        stable_frames_ = true;
        headers_in_place_ = headers_in_place;
    }
    // With stable frames: `input`, the mapping of the file `path`, holds
    // frames; the file's thread may copy referred-to records from the file
    // instead of the mapping (AsyncFile::add_source).
    void add_input(const std::string& path, const SharedBytes& input) {
        if (auto file = input.file()) {
            out_.add_source(path, *file, input.file_offset(), {input.data(), input.size()});
        }
    }

    // Stores one record for the flow of `key` (`hash` = hash_key(key)).  New
    // flows get the ids 1, 2, 3, ... in order of first appearance.  Write
    // failures are runtime errors with the system's text.
    // `side`, taken from the flow's first packet, goes into its entry: as
    // its host side, or with `mac` as its mac side.
    Status add(const FlowKey& key, std::uint64_t hash, const Packet& packet,
               HostSide side = HostSide::Unknown, bool mac = false);

    // Writes offset lists, flow table, indexes and footer, closes the file and
    // renames it to the final path.  Runtime errors: the system's text for
    // writes, "Failed to write footer", "Failed to rename {} -> {}".  On
    // failure the temporary file stays and the final path is untouched.
    // `before_rename`, when given, is asked once everything is written and
    // before the rename; its failure is finalize's (the file stays at its
    // temporary path).
    Status finalize(const std::function<Status()>& before_rename = {}) &&;

    // Skips the index region (the footer then records offset and length 0).
    // Builds always write indexes; this exists for readers' tests.
    void set_build_indexes(bool on) { build_indexes_ = on; }

    // The largest value a 32-bit count or length of the archive may hold
    // (2^32 - 1).  Lowered only by tests, so that what happens beyond it can
    // be seen without building a 4 GiB flow.
    void set_field_limit(std::uint64_t limit) { field_limit_ = limit; }

    std::size_t flow_count() const { return totals_.size(); }
    bool has_flow(const FlowKey& key) const { return by_key_.find(key) != kLruNil; }
    // Bytes written so far; after finalize(), the archive's size.
    std::uint64_t size() const { return position_; }
    const std::string& temp_path() const { return temp_path_; }
    const std::string& final_path() const { return final_path_; }

private:
    // The temporary file behind its buffers, written by a thread of its own
    // so that storing records and the system's copying of them overlap;
    // write failures of a build are runtime errors carrying the system's
    // text.
    class Output {
    public:
        Output() = default;
        explicit Output(AsyncFile file) : file_(std::move(file)) {}

        bool is_open() const { return file_.is_open(); }
        Status write(std::span<const std::uint8_t> bytes) { return runtime(file_.write(bytes)); }
        Status write_stable(std::span<const std::uint8_t> bytes) {
            return runtime(file_.write_stable(bytes));
        }
        Status flush() { return runtime(file_.flush()); }
        void add_source(std::string path, FileIdentity file, std::uint64_t offset,
                        std::span<const std::uint8_t> bytes) {
            file_.add_source(std::move(path), file, offset, bytes);
        }
        Status close() { return runtime(file_.close()); } // flushes first
        void abandon() { file_.abandon(); }               // errors ignored

    private:
        static Status runtime(Status st) {
            if (!st) {
                return std::unexpected(reclassify(st.error(), ErrorKind::Runtime));
            }
            return st;
        }
        AsyncFile file_;
    };

    // Writes a record: copied, or referred to with stable frames.
    Status store(std::span<const std::uint8_t> header, std::span<const std::uint8_t> frame);

    // A flow's summary is kept in two parts.  What every packet updates is
    // small and dense, so that with thousands of flows it stays in the
    // cache; what only the first packet sets lives apart.
    struct FlowTotals {
        std::uint64_t total_bytes = 0;
        std::uint64_t end_ts = 0; // of the packet stored last, not the latest time
        std::uint32_t packet_count = 0;
    };
    struct FlowFirst {
        std::optional<IpInfo> ip; // of the first packet
        std::uint64_t start_ts = 0;
        HostSide side = HostSide::Unknown;
        bool mac = false;
    };
    // One per stored record, in file order: its flow and captured length.
    // The records' offsets follow from these, so the offset lists are put
    // together at the end instead of growing one list per flow as packets
    // come: appending to thousands of lists costs a cache miss per packet.
    struct Stored {
        std::uint32_t flow;
        std::uint32_t caplen;
    };

    ArchiveWriter(Output out, std::string temp_path, std::string final_path);

    FlowEntry entry_of(std::size_t flow) const;
    Status write_tail();

    Output out_;
    std::string temp_path_;
    std::string final_path_;
    // Flow key -> flow index; the flow of index i has id i + 1, so the flows
    // are already in id order when finalize needs them so.
    FlowTable<std::uint32_t> by_key_;
    std::vector<FlowTotals> totals_;
    std::vector<FlowFirst> first_;
    std::deque<Stored> stored_; // grows without copying what it holds
    std::uint64_t position_ = kDataStart;
    bool build_indexes_ = true;
    std::uint64_t field_limit_ = 0xFFFFFFFFu;
    UniqueFd lock_; // holds the flock on the temporary file, when a descriptor could be had
    bool reason_ = false;
    bool remove_on_failure_ = false;
    bool stable_frames_ = false;
    bool headers_in_place_ = false;
    bool finalized_ = false;
};

} // namespace vexlor
