// One output file per flow: classic pcap, or the flow's concatenated L7
// payload.  Files are written under hidden temporary names and renamed to
// their final names only by a successful close().
#pragma once

#include "common/lru_table.h"
#include "common/result.h"
#include "output/buffered_file.h"
#include "packet/packet.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vexlor {

// Replaces control characters and  " * . / : < > ? \ |  by '_', so that no
// flow name can leave the output directory or hide a file.
std::string sanitize_flow_name(std::string_view name);

// Creates `path` and its missing parents (mode 0777 before the umask); an
// existing directory is fine.
Status create_dir_all(const std::string& path);

// `output_dir` joined with `name`.
std::string join_path(const std::string& dir, std::string_view name);

struct SplitWriterOptions {
    std::string output_dir;
    std::string prefix;
    std::uint32_t link_type = 1;
    bool l7 = false;
    std::uint64_t buffer_bytes = 10000;
    std::uint32_t max_sessions = 10000;
};

class SplitWriter {
public:
    // Turns a flow key into its flow name; called once per file created.
    using NameOf = std::function<std::string(const FlowKey&)>;

    static Result<SplitWriter> create(SplitWriterOptions options, NameOf name_of);

    SplitWriter(SplitWriter&&) = default;
    SplitWriter& operator=(SplitWriter&&) = default;
    // Without close(): flushes and closes the open files, ignoring errors, and
    // renames nothing, so only temporary files remain.
    ~SplitWriter();

    // Appends `packet` to the file of the flow `key` (hash = hash_key(key)).
    Status write(const FlowKey& key, std::uint64_t hash, const Packet& packet);

    // Flushes and closes every file, then gives each its final name (an empty
    // l7 file is deleted instead).
    Status close() &&;

    std::size_t open_files() const { return open_.size(); }
    std::uint64_t write_seq() const { return write_seq_; }

private:
    struct OpenFile {
        BufferedFile file;
        std::uint32_t rename_index = 0;
    };
    struct Rename {
        std::string temp_path;
        std::string final_path;
    };

    SplitWriter(SplitWriterOptions options, NameOf name_of)
        : opt_(std::move(options)), name_of_(std::move(name_of)) {}

    Result<LruTable<OpenFile>::Handle> open_file(const FlowKey& key, std::uint64_t hash);
    Result<UniqueFd> open_with_retry(const std::string& path, int flags);
    Status close_least_recent();
    Status write_packet(BufferedFile& file, const Packet& packet);
    void abandon();

    SplitWriterOptions opt_;
    NameOf name_of_;
    LruTable<OpenFile> open_;            // the files open now, by recency of writing
    LruTable<std::uint32_t> created_;    // every flow that got a file -> index in renames_
    std::vector<Rename> renames_;
    std::uint64_t write_seq_ = 0;
};

} // namespace vexlor
