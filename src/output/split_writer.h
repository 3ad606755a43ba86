// One output file per flow: classic pcap, or the flow's concatenated L7
// payload.  Files are written under hidden temporary names and renamed to
// their final names only by a successful close().
//
// The writer owns the table of flows with files; its parts are the slab pool
// (buffer memory), each flow's piece buffer, the file work (creating and
// writing files, in this thread or in writer threads, and the cache of open
// descriptors), the output directory, and the publisher (renames).
#pragma once

#include <sys/uio.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "common/result.h"
#include "flow/flow_key.h"
#include "output/file_work.h"
#include "output/output_dir.h"
#include "output/piece_buffer.h"
#include "output/publisher.h"
#include "output/slab_pool.h"
#include "packet/packet.h"

namespace vexlor {

enum class OutputType { Pcap, L7 };

// Matched after ASCII lower-casing; the error is a value error
// "Unknown output_type: {}. Valid: pcap, l7" quoting the lower-cased text.
[[nodiscard]] Result<OutputType> parse_output_type(std::string_view text);

struct SplitWriterOptions {
    std::string output_dir;
    std::string prefix;
    std::uint32_t link_type = 1;
    OutputType type = OutputType::Pcap;
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
    // The input capture, when it is a file: a file of the split that would
    // be written over it (its temporary name) or renamed over it (its final
    // name) fails the run with the value error "Output file {dir}/{name} is
    // the input capture {input_name}" instead.
    std::optional<FileIdentity> input_identity{};
    std::string input_name{};
    // A writer that is not closed successfully removes its temporary files
    // (the default leaves them, as the module always has).
    bool remove_on_failure = false;
    // A file name longer than the file system allows (NAME_MAX bytes, for
    // the temporary ".NAME.tmp" too) is cut short and given a hash of the
    // whole name, instead of failing the run with ENAMETOOLONG.
    bool shorten_long_names = false;
    // Whether this writer takes the output directory's lock; another writer
    // of the same run (files of a second link type) does not.
    bool lock_directory = true;
    // Files are made under their final names: the caller made the output
    // directory for this run alone and publishes it whole, by one rename of
    // the directory, so renames of the files would add nothing but their
    // cost.  Publishing then only removes empty l7 files.
    bool names_final = false;
    // Threads that create and write the files, each owning a share of them;
    // 0: the caller's thread does it.  The files are the same either way.
    unsigned writer_threads = 0;
    // Files open at once when fewer than max_sessions (0: max_sessions):
    // a caller running several writers, or holding descriptors of its own,
    // keeps them all under the process's limit.  The buffers' budget stays
    // max_sessions x buffer_bytes; the files are the same either way.
    std::size_t descriptor_cap = 0;
    // With stable frames: the widest window of input that buffers may refer
    // to, when narrower than the writer's own rule (0: no narrower).  A run
    // over many captures read as one gives the size of its largest, so that
    // it pins and buffers no more than that capture would alone.
    std::uint64_t reference_window = 0;
    // The most the buffers hold together (0: max_sessions x buffer_bytes, at
    // most kBufferBudget).  A buffer_bytes of 0 still means no buffering.
    std::uint64_t buffer_budget = 0;
};

// The machine's physical memory (1 GiB when it cannot be told), which the
// buffers' budgets are measured against.
std::uint64_t machine_memory();

// The final file name of a flow: "{prefix}_{flow name, sanitised}{ext}", cut
// to fit NAME_MAX with its temporary name when `shorten` asks for it (the
// same long name always gets the same short one).
std::string split_file_name(std::string_view prefix, std::string_view flow_name,
                            std::string_view ext, bool shorten);

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
//    The pool's size is the memory budget, max_sessions x buffer_bytes (at
//    most kBufferBudget) or the caller's buffer_budget; when it runs dry,
//    the fullest buffers are written out until half of it is free again.
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
    static constexpr std::uint64_t kReferenceBudget = 16;
    // The narrowest SplitWriterOptions::reference_window taken: 64 MiB.
    static constexpr std::uint64_t kLeastReferenceWindow = std::uint64_t{64} << 20;
    // Slabs handed to writer threads and not yet back: 4 MiB.
    static constexpr std::size_t kMostSlabsInFlight = 2048;
    // Frames shorter than this are copied together with their record header
    // even when they could be referred to: a copy that short is cheaper than
    // the kernel's walk of one more piece of a gathered write.
    static constexpr std::size_t kCopyBelow = 128;

    // Turns a flow key into its flow name; called once per file created.
    using NameOf = std::function<std::string(const FlowKey&)>;

    [[nodiscard]] static Result<SplitWriter> create(SplitWriterOptions options, NameOf name_of);

    SplitWriter(SplitWriter&&) = default;
    SplitWriter& operator=(SplitWriter&&) = default;
    // Without close(): writes out what is buffered and closes the files,
    // ignoring errors, and renames nothing: only temporary files remain
    // (none with remove_on_failure).
    ~SplitWriter();

    // Appends `packet` to the file of the flow `key` (hash = hash_key(key)).
    // The flow's temporary file is created (or truncated) at its first packet.
    [[nodiscard]] Status write(const FlowKey& key, std::uint64_t hash, const Packet& packet);

    // Writes out every buffer and closes every file, then gives each file
    // its final name (an empty l7 file is deleted instead): finish() and
    // publish() in one.
    [[nodiscard]] Status close() &&;
    // The two halves of close(), for a caller that looks at something
    // between the last byte written and the first name given (whether its
    // mapped input is still whole).  publish() only after finish()
    // succeeded.
    [[nodiscard]] Status finish();
    [[nodiscard]] Status publish() &&;

    // Cache hints for a write of `hash` coming soon (see LruTable).
    void prefetch_slot(std::uint64_t hash) const { flows_.prefetch_slot(hash); }
    void prefetch_node(std::uint64_t hash) const { flows_.prefetch_node(hash); }

    // Whether the flow `key` has a file (open or not).
    bool has_flow(const FlowKey& key) const { return flows_.find(key) != kLruNil; }

    std::size_t open_files() const { return work_->descriptors().open_count(); }
    // Flows that have a file, and what a successful close() published.
    std::size_t flow_count() const { return flows_.size(); }
    const Publisher::Published& published() const { return published_files_; }

private:
    using Handle = std::uint32_t;
    struct FlowFile {
        PieceBuffer buffer;
        std::uint64_t hash = 0;
        std::uint32_t file = 0; // in the publisher
        // Its file holds other flows too (names that differ only in
        // characters a file name cannot hold): its writes go straight
        // through, so that the file keeps every flow's packets in the order
        // they were written.
        bool shared = false;
    };

    SplitWriter(SplitWriterOptions options, OutputDir dir, NameOf name_of);

    const OutputDir& dir() const { return work_->dir(); }
    [[nodiscard]] Result<Handle> create_flow(const FlowKey& key, std::uint64_t hash);
    // Appends a header (at most a record header's length, copied) and a
    // body through the flow's buffer, with the buffering rule applied to
    // the two as one write.
    [[nodiscard]] Status append(Handle flow, std::span<const std::uint8_t> head,
                                std::span<const std::uint8_t> body);
    // Hands the flow's buffer and then `tail` to the file work as one
    // gathered write; the flow continues in a fresh buffer.
    [[nodiscard]] Status flush_flow(Handle flow, std::span<const std::uint8_t> tail_head = {},
                                    std::span<const std::uint8_t> tail_body = {});
    [[nodiscard]] Status submit(FileWork::Job&& job, bool tail_stable);
    // Takes back the buffers of finished writes: their slabs to the pool.
    void reap();
    [[nodiscard]] Status shed();
    // Whether the budgets need shedding, counting writes in flight as done.
    bool must_shed() const;
    // Waits for a write in flight and takes its buffer back.
    // Waits until writes done hold `slabs` slabs (or none is left), and
    // takes their buffers back.
    [[nodiscard]] Status await_writes(std::size_t slabs);
    [[nodiscard]] Status refuse_input(const std::string& name) const;
    // Whether the file `name` of the output directory is the input capture.
    bool is_input(const std::string& name) const;
    void abandon();

    SplitWriterOptions opt_;
    NameOf name_of_;
    FlowTable<FlowFile> flows_;      // every flow that has a file
    std::vector<Handle> first_flow_; // of each file of the publisher
    Publisher publisher_;            // outlives work_: queued jobs name its files
    SlabPool pool_;
    std::unique_ptr<FileWork> work_;     // the output directory and its descriptors
    std::uint64_t flow_capacity_ = 0;    // one flow's buffer at most
    std::uint64_t referenced_ = 0;       // by all buffers, written or not
    std::uint64_t reference_budget_ = 0; // see kReferenceBudget
    // What buffers handed to writer threads hold until they are reaped.
    std::size_t writing_slabs_ = 0;
    std::uint64_t writing_referenced_ = 0;
    bool published_ = false;
    Publisher::Published published_files_;
    // The names of this writer's files (temporary or final) that were in the
    // output directory when the writer was made, and of those the ones that
    // stood for the input capture (the directory is ours for the run: no
    // other run adds names meanwhile); nothing when it could not be listed,
    // and every name is then looked up when it is written.
    std::optional<std::unordered_set<std::string>> present_names_;
    std::unordered_set<std::string> input_names_;
};

} // namespace vexlor
