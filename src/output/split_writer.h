// One output file per flow: classic pcap, or the flow's concatenated L7
// payload.  Files are written under hidden temporary names and renamed to
// their final names only by a successful close().
#pragma once

#include "common/lru_table.h"
#include "common/result.h"
#include "common/buffered_file.h"
#include "packet/packet.h"

#include <sys/uio.h>

#include <cstdint>
#include <new>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace vexlor {

// Replaces control characters and  " * . / : < > ? \ |  by '_', so that no
// flow name can leave the output directory or hide a file.
std::string sanitize_flow_name(std::string_view name);

// Creates `path` and its missing parents (mode 0777 before the umask); an
// existing directory is fine.
Status create_dir_all(const std::string& path);

struct SplitWriterOptions {
    std::string output_dir;
    std::string prefix;
    std::uint32_t link_type = 1;
    bool l7 = false;
    std::uint64_t buffer_bytes = 10000;
    std::uint32_t max_sessions = 10000;
    // The caller's promise that every packet's bytes stay valid and unchanged
    // until the writer is closed or destroyed (the split driver's frames are
    // views of the mapped input).  Buffers then refer to frames instead of
    // copying them: the bytes are copied once, by the kernel, at write time.
    bool stable_frames = false;
    // With stable frames: the 16 bytes in front of every frame are its pcap
    // record header as this writer would write it (the input is a classic
    // little-endian microsecond pcap), so a record is one piece of input.
    bool headers_in_place = false;
};

// Every flow's bytes go through a write buffer of its own, with the usual
// rule (bytes that do not fit push the buffer out first; bytes at least as
// long as the buffer go straight to the file).  `buffer_bytes` is each
// file's share of one pool, not a wall: a buffer may grow while the pool has
// room, so busy flows leave in writes of megabytes; 0 still means no
// buffering at all.
// Buffers and descriptors are separate resources:
//  - at most max(max_sessions, 1) files are open at once; when a flow must
//    write and the cap is reached, the least recently used descriptor is
//    closed, and a flow that comes back reopens its file for appending (no
//    second header), so every file holds all of its flow's packets in order;
//  - buffered bytes stay with their flow when its descriptor is closed.
//    Buffers are made of fixed-size slabs from one pool whose size is the
//    memory budget, max_sessions x buffer_bytes (at most kBufferBudget); when
//    the pool runs dry, the fullest buffers are written out until half of it
//    is free again.
//  - with stable frames, a buffer holds copies of the small pieces (record
//    headers, short frames) and references to the rest.  Referenced bytes
//    cost no memory of ours, but they pin a window of the input in the page
//    cache until written: their total is kept under kReferenceBudget times
//    the memory budget (and an eighth of the machine's memory), again by
//    writing out the fullest buffers.
// A flow therefore costs an open only when it writes, not every time the cap
// turns it out: with more live flows than the cap, closing and reopening
// files for a few hundred bytes each would otherwise dominate a split.
class SplitWriter {
public:
    static constexpr std::uint64_t kBufferBudget = std::uint64_t{96} << 20;
    static constexpr std::size_t kSlabSize = 2048;
    static constexpr std::uint64_t kReferenceBudget = 16;
    // Frames shorter than this are copied together with their record header
    // even when they could be referred to: a copy that short is cheaper than
    // the kernel's walk of one more piece of a gathered write.
    static constexpr std::size_t kCopyBelow = 128;

    // Turns a flow key into its flow name; called once per file created.
    using NameOf = std::function<std::string(const FlowKey&)>;

    static Result<SplitWriter> create(SplitWriterOptions options, NameOf name_of);

    SplitWriter(SplitWriter&&) = default;
    SplitWriter& operator=(SplitWriter&&) = default;
    // Without close(): writes out what is buffered and closes the files,
    // ignoring errors, and renames nothing: only temporary files remain.
    ~SplitWriter();

    // Appends `packet` to the file of the flow `key` (hash = hash_key(key)).
    // The flow's temporary file is created (or truncated) at its first packet.
    Status write(const FlowKey& key, std::uint64_t hash, const Packet& packet);

    // Writes out every buffer and closes every file, then gives each file
    // its final name (an empty l7 file is deleted instead).
    Status close() &&;

    // Cache hints for a write of `hash` coming soon (see LruTable).
    void prefetch_slot(std::uint64_t hash) const { flows_.prefetch_slot(hash); }
    void prefetch_node(std::uint64_t hash) const { flows_.prefetch_node(hash); }

    std::size_t open_files() const { return fds_.size(); }
    std::uint64_t write_seq() const { return write_seq_; }
    // Memory taken by buffers (slabs ever allocated).
    std::size_t buffer_memory() const { return slab_count_ * kSlabSize; }

private:
    using Handle = std::uint32_t;
    static constexpr std::uint32_t kNone = ~std::uint32_t{0};
    // A buffer is a sequence of pieces in its slabs, each an 8-byte tag
    // (length, kind) followed by the bytes themselves, padded to 8, or by a
    // pointer to them.  A piece never straddles two slabs.
    struct FlowFile {
        std::vector<std::uint8_t*> slabs; // the buffer, in order
        // The last slab, and the state of its last piece, are kept here so
        // that appending reads nothing from the (cache-cold) slab.
        std::uint8_t* tail = nullptr;     // the last slab
        std::uint32_t used = 0;           // bytes of pieces in the last slab
        std::uint32_t open_copy = kNone;  // offset of a last piece that is a copy
        std::uint32_t open_len = 0;       // and its length
        std::uint64_t size = 0;           // bytes the pieces stand for
        std::uint64_t referenced = 0;     // of which held by reference
        std::uint64_t hash = 0;
        std::uint32_t rename_index = 0;
        Handle fd = LruTable<int>::kNil; // in fds_, or kNil when closed
    };
    struct OpenFd {
        UniqueFd fd;
        Handle flow = LruTable<int>::kNil;
    };
    struct Rename { // names inside the output directory
        std::string temp_path;
        std::string final_path;
    };

    SplitWriter(SplitWriterOptions options, NameOf name_of);

    Result<Handle> create_flow(const FlowKey& key, std::uint64_t hash);
    Result<UniqueFd> open_with_retry(const std::string& path, int flags);
    void make_room();
    void close_least_recent();
    // Appends a header (at most kPcapRecordHeaderSize bytes, copied) and a
    // body through the flow's buffer, with the buffering rule applied to
    // the two as one write.
    Status append(Handle flow, std::span<const std::uint8_t> head,
                  std::span<const std::uint8_t> body);
    // Adds head and body to the flow's buffer, all or nothing; false when
    // the pool has too few slabs left.
    bool add_pieces(FlowFile& f, std::span<const std::uint8_t> head,
                    std::span<const std::uint8_t> body);
    // Lays the pieces out in the flow's slabs (Commit) or only counts the
    // new slabs that would take.
    template <bool Commit>
    std::size_t lay_out(FlowFile& f, std::span<const std::uint8_t> head,
                        std::span<const std::uint8_t> body, bool by_reference);
    std::uint8_t* take_slab();
    // Slabs the pool can still hand out: freed ones and those not carved yet.
    std::size_t slabs_left() const {
        return free_slabs_.size() + (max_slabs_ - std::min(max_slabs_, slab_count_));
    }
    // Writes the flow's buffer and then `tail` with one gathered write,
    // reopening the file for appending when the cap took its descriptor away.
    Status flush_flow(Handle flow, std::span<const std::uint8_t> tail_head = {},
                      std::span<const std::uint8_t> tail_body = {});
    Status shed();
    void abandon();

    SplitWriterOptions opt_;
    NameOf name_of_;
    UniqueFd dir_; // the output directory
    LruTable<FlowFile> flows_; // every flow that has a file
    LruTable<OpenFd> fds_;     // the files open now, least recently used first
    std::vector<Rename> renames_;
    std::unordered_map<std::string, std::uint32_t> rename_of_; // temporary name -> renames_

    std::size_t fd_cap_;
    std::uint64_t flow_capacity_ = 0; // one flow's buffer at most
    std::size_t max_slabs_;
    // Slabs are carved from chunks of kChunkSize, in huge pages where the
    // system gives them: appends land in thousands of different buffers, and
    // with small pages nearly each one would also miss the TLB.
    static constexpr std::size_t kChunkSize = std::size_t{2} << 20;
    struct FreeChunk {
        std::align_val_t align;
        void operator()(std::uint8_t* p) const { ::operator delete(p, align); }
    };
    std::vector<std::unique_ptr<std::uint8_t, FreeChunk>> chunks_;
    std::size_t chunk_next_ = 0; // the next slab of the last chunk
    std::size_t chunk_left_ = 0; // slabs not yet carved from the last chunk
    std::size_t slab_count_ = 0; // slabs carved so far
    std::vector<std::uint8_t*> free_slabs_;
    std::uint64_t referenced_ = 0;       // by all buffers
    std::uint64_t reference_budget_ = 0; // see kReferenceBudget
    std::vector<iovec> iov_;             // scratch of flush_flow
    std::uint64_t write_seq_ = 0;
};

} // namespace vexlor
