// The file calls of a split: creating a flow's temporary file and writing
// its buffered pieces, either in the classifying thread itself or spread
// over a few writer threads, each owning a share of the files.
//
// The kernel creates and fills files about twice as fast from two threads as
// from one, and a split with thousands of flows is bound by exactly that
// work; the thread that reads and classifies only lays bytes out in buffers.
#pragma once

#include <sys/uio.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "common/result.h"
#include "output/output_dir.h"
#include "output/piece_buffer.h"

namespace vexlor {

// The open descriptors of the files, at most `cap` at once across every
// thread, the least recently used one closed to make room.  A file is only
// ever written by one thread (its owner), so an entry is either idle (in
// the recency list, and may be closed by anyone) or in use by its owner.
class DescriptorCache {
public:
    explicit DescriptorCache(std::size_t cap) : cap_(cap == 0 ? 1 : cap) {}

    // The descriptor of `file`, opened (relative to `dir`, with `flags`) when
    // it is not open, and marked in use until release().
    [[nodiscard]] Result<int> acquire(const OutputDir& dir, std::uint32_t file,
                                      const std::string& name, int flags);
    void release(std::uint32_t file);

    // Whether `file` has a descriptor now.
    bool is_open(std::uint32_t file);
    std::size_t open_count();

    // Closes every descriptor (no thread may be using one); the first error.
    int close_all();

private:
    static constexpr std::uint32_t kNone = ~std::uint32_t{0};
    struct Entry {
        int fd = -1;
        std::uint32_t prev = kNone; // in the recency list while idle
        std::uint32_t next = kNone;
        bool in_use = false;
        // Its creation failed (the error): nothing is written to whatever
        // stands under its name.
        int create_error = 0;
    };
    void unlink(std::uint32_t file);
    void push_back(std::uint32_t file);
    // Takes the least recently used idle descriptor out of the cache: its
    // number, or -1 when every open descriptor is in use.  The caller closes
    // it and only then takes it off the count.
    int evict();

    std::mutex mutex_;
    // Held while a file is created.  Creations in one directory take turns
    // on its lock in the kernel anyway, where a second writer thread would
    // spin for it on a core that the reading and classifying need; here it
    // sleeps instead.
    std::mutex create_mutex_;
    std::condition_variable released_;
    std::vector<Entry> entries_; // by file
    std::uint32_t head_ = kNone; // least recently used idle entry
    std::uint32_t tail_ = kNone;
    std::size_t cap_;
    std::size_t open_ = 0;    // descriptors open, or being opened
    std::size_t waiting_ = 0; // threads waiting for a descriptor
};

class FileWork {
public:
    // What to do to one file: create it (truncating it, with no bytes yet),
    // or append a flow's buffer and then a tail of up to two more pieces.
    struct Job {
        std::uint32_t file = 0;
        const std::string* name = nullptr; // its temporary name; outlives the job
        bool create = false;
        // Create only a file that is not there: the name was not in the
        // directory when the run began, so whatever stands there now was
        // put there by someone else, and is not ours to truncate.
        bool exclusive = false;
        PieceBuffer buffer;
        std::span<const std::uint8_t> tail[2];
        std::vector<std::uint8_t> owned; // tail bytes copied for a writer thread
    };

    // `threads` == 0: every job is done by submit() itself.
    FileWork(OutputDir dir, std::size_t fd_cap, unsigned threads);
    FileWork(const FileWork&) = delete;
    FileWork& operator=(const FileWork&) = delete;
    // Waits for the writer threads to finish what they were given.
    ~FileWork();

    // Does `job` now, or queues it for the writer thread of its file.  The
    // tail must stay valid until then when `tail_stable`, or it is copied.
    // A failure of this job (done now) or of any earlier one (queued) ends
    // the work: every later job is dropped and the failure returned again.
    [[nodiscard]] Status submit(Job&& job, bool tail_stable);

    // Hands the buffers of finished jobs (those done by submit() too) to
    // `take(PieceBuffer&)`, in the submitting thread: the slabs go back to a
    // pool only that thread touches.
    template <class F> void reap(F&& take);
    // Blocks until finished jobs not yet reaped hold at least `slabs` slabs
    // (or no job is left); the first failure.  The writer threads wake the
    // waiting thread only then, not at every job.
    [[nodiscard]] Status wait_for(std::size_t slabs);
    // Blocks until every queued job has finished; the first failure.
    [[nodiscard]] Status finish();

    const OutputDir& dir() const { return dir_; }
    bool threaded() const { return !threads_.empty(); }
    DescriptorCache& descriptors() { return cache_; }

private:
    struct Queue {
        std::mutex mutex;
        std::condition_variable ready;
        std::deque<Job> jobs;
        bool stop = false;
        bool idle = false; // its thread waits for a job
    };
    [[nodiscard]] Status run(Job& job, std::vector<iovec>& iov);
    void serve(Queue& q);
    void fail(Error e);        // under done_mutex_
    void finish_job(Job& job); // likewise: its buffer to finished_

    OutputDir dir_;
    DescriptorCache cache_;
    std::vector<std::unique_ptr<Queue>> queues_;
    std::vector<std::thread> threads_;
    std::vector<iovec> iov_; // of jobs done by submit()

    std::atomic<std::size_t> queued_{0}; // submitted, not finished
    std::mutex done_mutex_;
    std::condition_variable done_;
    std::vector<PieceBuffer> finished_;
    std::size_t finished_slabs_ = 0; // held by finished_
    bool awaiting_ = false;          // the submitting thread waits ...
    std::size_t awaited_slabs_ = 0;  // ... for finished_ to hold this many slabs
    std::atomic<bool> failed_{false};
    Error error_{};
};

template <class F> void FileWork::reap(F&& take) {
    std::vector<PieceBuffer> got;
    {
        std::lock_guard lock(done_mutex_);
        got.swap(finished_);
        finished_slabs_ = 0;
    }
    for (PieceBuffer& b : got) {
        take(b);
    }
}

} // namespace vexlor
