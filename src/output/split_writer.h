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
#include <functional>
#include <memory>
#include <string>
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
};

// Every flow's bytes go through a write buffer of `buffer_bytes` of its own,
// with the usual rule (bytes that do not fit push the buffer out first;
// bytes at least as long as the buffer go straight to the file).
// Buffers and descriptors are separate resources:
//  - at most max(max_sessions, 1) files are open at once; when a flow must
//    write and the cap is reached, the least recently used descriptor is
//    closed, and a flow that comes back reopens its file for appending (no
//    second header), so every file holds all of its flow's packets in order;
//  - buffered bytes stay with their flow when its descriptor is closed.
//    Buffers are made of fixed-size slabs from one pool whose size is the
//    memory budget, max_sessions x buffer_bytes (at most kBufferBudget); when
//    the pool runs dry, the fullest buffers are written out.
// A flow therefore costs an open only when it writes, not every time the cap
// turns it out: with more live flows than the cap, closing and reopening
// files for a few hundred bytes each would otherwise dominate a split.
class SplitWriter {
public:
    static constexpr std::uint64_t kBufferBudget = std::uint64_t{96} << 20;
    static constexpr std::size_t kSlabSize = 2048;

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
    std::size_t buffer_memory() const { return slabs_.size() * kSlabSize; }

private:
    using Handle = std::uint32_t;
    struct FlowFile {
        std::vector<std::uint8_t*> slabs; // the buffer, in order
        std::size_t size = 0;             // bytes buffered
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
    Status append(Handle flow, std::span<const std::uint8_t> bytes);
    Status buffer(Handle flow, std::span<const std::uint8_t> bytes);
    std::uint8_t* take_slab();
    // Writes `bytes` (or, given `iov`, those pieces) to the flow's file,
    // reopening it for appending when the cap took its descriptor away.
    Status write_out(Handle flow, std::span<const std::uint8_t> bytes,
                     std::vector<iovec>* iov = nullptr);
    Status flush_flow(Handle flow);
    Status shed();
    void abandon();

    SplitWriterOptions opt_;
    NameOf name_of_;
    UniqueFd dir_; // the output directory
    LruTable<FlowFile> flows_; // every flow that has a file
    LruTable<OpenFd> fds_;     // the files open now, least recently used first
    std::vector<Rename> renames_;
    std::size_t fd_cap_;
    std::size_t max_slabs_;
    std::vector<std::unique_ptr<std::uint8_t[]>> slabs_; // every slab allocated
    std::vector<std::uint8_t*> free_slabs_;
    std::uint64_t write_seq_ = 0;
};

} // namespace vexlor
