// An output file written by a thread of its own: bytes gather in one buffer
// while the other is being written, so the system's part of a long
// sequential write (copying into the page cache, allocating blocks) runs on a
// second core beside the work that produces the bytes.
//
// Bytes that stay put (a mapped input) may be passed by reference instead:
// the buffer then lists them for one gathered write, and the system copies
// them once, straight from where they are, on the file's thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "common/file_identity.h"
#include "common/result.h"
#include "common/unique_fd.h"

namespace vexlor {

class AsyncFile {
public:
    AsyncFile();
    // Takes the descriptor; `buffer_bytes` (> 0) is the size of each of the
    // two buffers.  Fails only when the thread cannot be started.
    static Result<AsyncFile> open(UniqueFd fd, std::size_t buffer_bytes);

    AsyncFile(AsyncFile&&) noexcept;
    AsyncFile& operator=(AsyncFile&& o) noexcept;
    // Without close(): what is buffered is written, errors ignored.
    ~AsyncFile();

    bool is_open() const { return state_ != nullptr; }

    // Buffers `bytes`, handing a full buffer to the thread.  A failed write
    // of the thread is reported by the next call after it (the first
    // failure only; later writes are skipped).
    Status write(std::span<const std::uint8_t> bytes);
    // The same for bytes that the caller keeps valid and unchanged until
    // close() returns (or the file is destroyed): they are referred to, not
    // copied.  Bytes that continue the previous reference join it, so a run
    // of records that lie one after another in the input is one piece.
    Status write_stable(std::span<const std::uint8_t> bytes);
    // `bytes` (a mapping) are the contents of the file `path`, which is
    // `file`, from its offset `file_offset` on.  Should a gathered write
    // through the mapping run slow (on some virtual machines, a copy from a
    // mapping that another thread reads drops to a fraction of its speed at
    // random), the file's thread opens `path` and, if it is still `file`,
    // writes referred-to bytes among them with sendfile() from then on, page
    // cache to page cache; at once with `send_always`.  Where the file
    // cannot be opened (no descriptor to spare, say), is another file now,
    // or the system refuses sendfile() between the two, they go through the
    // mapping after all.  Call before the first write.
    void add_source(std::string path, FileIdentity file, std::uint64_t file_offset,
                    std::span<const std::uint8_t> bytes, bool send_always = false);
    // Hands over what is buffered and waits until everything is written.
    Status flush();
    // Flushes, stops the thread and closes the descriptor; the first error wins.
    Status close();
    // The same, ignoring errors.
    void abandon() { (void)close(); }

private:
    struct Buffer;
    struct State; // shared with the thread
    Status hand_over();

    std::unique_ptr<State> state_;
    std::thread thread_;
};

} // namespace vexlor
