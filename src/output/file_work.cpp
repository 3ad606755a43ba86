#include "output/file_work.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <system_error>

#include "common/unique_fd.h"
#include "common/write_all.h"

namespace vexlor {

void DescriptorCache::unlink(std::uint32_t file) {
    Entry& e = entries_[file];
    (e.prev == kNone ? head_ : entries_[e.prev].next) = e.next;
    (e.next == kNone ? tail_ : entries_[e.next].prev) = e.prev;
    e.prev = e.next = kNone;
}

void DescriptorCache::push_back(std::uint32_t file) {
    Entry& e = entries_[file];
    e.prev = tail_;
    e.next = kNone;
    (tail_ == kNone ? head_ : entries_[tail_].next) = file;
    tail_ = file;
}

int DescriptorCache::evict() {
    if (head_ == kNone) {
        return -1;
    }
    const std::uint32_t victim = head_;
    unlink(victim);
    // Still counted in open_ until it is closed: another thread that runs
    // out of descriptors meanwhile waits for it rather than failing.
    return std::exchange(entries_[victim].fd, -1);
}

Result<int> DescriptorCache::acquire(const OutputDir& dir, std::uint32_t file,
                                     const std::string& name, int flags) {
    std::unique_lock lock(mutex_);
    if (file >= entries_.size()) {
        entries_.resize(std::size_t{file} + 1);
    }
    if (entries_[file].fd >= 0) {
        unlink(file);
        entries_[file].in_use = true;
        return entries_[file].fd;
    }
    if (const int err = entries_[file].create_error; err != 0) {
        return std::unexpected(Error{ErrorKind::Io, os_error_text(err)});
    }
    // Closing is done outside the lock; nothing is buffered in a
    // descriptor, and a close error on a local file system has nothing
    // left to report.
    auto close_unlocked = [&](int fd) {
        lock.unlock();
        ::close(fd);
        lock.lock();
        --open_;
        if (waiting_ > 0) {
            released_.notify_all();
        }
    };
    for (;;) {
        while (open_ >= cap_) {
            if (const int victim = evict(); victim >= 0) {
                close_unlocked(victim);
            } else {
                // Every descriptor is in use by another thread, which
                // gives it back when its write is done.
                ++waiting_;
                released_.wait(lock);
                --waiting_;
            }
        }
        ++open_;
        lock.unlock();
        auto fd = [&] {
            if (!(flags & O_CREAT)) {
                return dir.open_file(name, flags);
            }
            std::lock_guard one_at_a_time(create_mutex_);
            return dir.open_file(name, flags);
        }();
        lock.lock();
        if (fd) {
            entries_[file].fd = fd->release();
            entries_[file].in_use = true;
            return entries_[file].fd;
        }
        --open_;
        if (waiting_ > 0) {
            released_.notify_all();
        }
        const int err = fd.error().errnum;
        // Out of descriptors (per process or system wide, whatever the cap
        // says): give back the least recently used one and try again, or
        // wait for one that another thread is using.
        if (err == EMFILE || err == ENFILE) {
            if (const int victim = evict(); victim >= 0) {
                close_unlocked(victim);
                continue;
            }
            if (open_ > 0) {
                ++waiting_;
                released_.wait(lock);
                --waiting_;
                continue;
            }
        }
        if (flags & O_CREAT) {
            entries_[file].create_error = err;
        }
        return std::unexpected(Error{ErrorKind::Io, os_error_text(err)});
    }
}

void DescriptorCache::release(std::uint32_t file) {
    bool wake;
    {
        std::lock_guard lock(mutex_);
        entries_[file].in_use = false;
        push_back(file);
        wake = waiting_ > 0;
    }
    if (wake) {
        released_.notify_all();
    }
}

bool DescriptorCache::is_open(std::uint32_t file) {
    std::lock_guard lock(mutex_);
    return file < entries_.size() && entries_[file].fd >= 0;
}

std::size_t DescriptorCache::open_count() {
    std::lock_guard lock(mutex_);
    return open_;
}

int DescriptorCache::close_all() {
    std::lock_guard lock(mutex_);
    int first = 0;
    for (Entry& e : entries_) {
        if (e.fd >= 0 && ::close(e.fd) != 0 && first == 0) {
            first = errno;
        }
        e = Entry{};
    }
    head_ = tail_ = kNone;
    open_ = 0;
    return first;
}

FileWork::FileWork(OutputDir dir, std::size_t fd_cap, unsigned threads)
    : dir_(std::move(dir)), cache_(fd_cap) {
    // Room for the files and what the process holds besides, before the
    // writer threads start; a table never shrinks, so a cap far above the
    // files a run makes is not taken at its word.
    reserve_descriptors(std::min<std::size_t>(fd_cap + 256, std::size_t{1} << 16));
    for (unsigned i = 0; i < threads; ++i) {
        auto q = std::make_unique<Queue>();
        try {
            threads_.emplace_back([this, q = q.get()] { serve(*q); });
        } catch (const std::system_error&) {
            break; // fewer threads than asked for: the files are shared among those there are
        }
        queues_.push_back(std::move(q));
    }
}

FileWork::~FileWork() {
    for (auto& q : queues_) {
        {
            std::lock_guard lock(q->mutex);
            q->stop = true;
        }
        q->ready.notify_one();
    }
    for (std::thread& t : threads_) {
        t.join();
    }
}

Status FileWork::run(Job& job, std::vector<iovec>& iov) {
    // O_NOFOLLOW: a link planted under our temporary name in a shared
    // directory must not make us write through it.
    const int flags = O_WRONLY | O_APPEND | O_NOFOLLOW |
                      (job.create ? O_CREAT | (job.exclusive ? O_EXCL : O_TRUNC) : 0);
    auto fd = cache_.acquire(dir_, job.file, *job.name, flags);
    if (!fd) {
        return std::unexpected(fd.error());
    }
    // Gathered writes of at most IOV_MAX pieces each, sent as they fill:
    // a large buffer of small records would otherwise need a piece list as
    // large as its slabs.
    Status st;
    iov.clear();
    auto put = [&](const std::uint8_t* p, std::size_t n) {
        iov.push_back(iovec{const_cast<std::uint8_t*>(p), n});
        if (iov.size() == IOV_MAX) {
            if (st) {
                st = write_all(*fd, iov);
            }
            iov.clear();
        }
    };
    job.buffer.for_each_piece(put);
    for (auto tail : job.tail) {
        if (!tail.empty()) {
            put(tail.data(), tail.size());
        }
    }
    if (st && !iov.empty()) {
        st = write_all(*fd, iov);
    }
    cache_.release(job.file);
    return st;
}

void FileWork::fail(Error e) {
    if (!failed_.load(std::memory_order_relaxed)) {
        error_ = std::move(e);
        failed_.store(true, std::memory_order_release);
    }
}

void FileWork::finish_job(Job& job) {
    if (const std::size_t slabs = job.buffer.slab_count(); slabs > 0) {
        finished_slabs_ += slabs; // they go back to the pool at reap()
        finished_.push_back(std::move(job.buffer));
    }
}

Status FileWork::submit(Job&& job, bool tail_stable) {
    if (!threaded()) {
        Status st = run(job, iov_);
        std::lock_guard lock(done_mutex_);
        finish_job(job);
        return st;
    }
    if (failed_.load(std::memory_order_acquire)) {
        std::lock_guard lock(done_mutex_);
        finish_job(job);
        return std::unexpected(error_);
    }
    if (!tail_stable) {
        for (auto tail : job.tail) {
            job.owned.insert(job.owned.end(), tail.begin(), tail.end());
        }
        job.tail[1] = {job.owned.data() + job.tail[0].size(), job.tail[1].size()};
        job.tail[0] = {job.owned.data(), job.tail[0].size()};
    }
    // Every job of one file goes to the same thread, in order: the file's
    // bytes stay in the order they were submitted.
    Queue& q = *queues_[job.file % queues_.size()];
    queued_.fetch_add(1, std::memory_order_acq_rel);
    bool wake;
    {
        std::lock_guard lock(q.mutex);
        q.jobs.push_back(std::move(job));
        wake = q.idle;
    }
    // A busy writer finds the job when it looks for its next one.
    if (wake) {
        q.ready.notify_one();
    }
    return {};
}

void FileWork::serve(Queue& q) {
    std::vector<iovec> iov;
    for (;;) {
        Job job;
        {
            std::unique_lock lock(q.mutex);
            q.idle = true;
            q.ready.wait(lock, [&] { return q.stop || !q.jobs.empty(); });
            q.idle = false;
            if (q.jobs.empty()) {
                return;
            }
            job = std::move(q.jobs.front());
            q.jobs.pop_front();
        }
        // After a failure the later jobs are still done, as far as they
        // can be: what is buffered reaches the temporary files, as it
        // does when a writer is abandoned.
        Status st = run(job, iov);
        bool wake;
        {
            std::lock_guard lock(done_mutex_);
            if (!st) {
                fail(st.error());
            }
            finish_job(job);
            const bool last = queued_.fetch_sub(1, std::memory_order_acq_rel) == 1;
            wake = awaiting_ && (finished_slabs_ >= awaited_slabs_ || last || !st);
        }
        if (wake) {
            done_.notify_all();
        }
    }
}

Status FileWork::wait_for(std::size_t slabs) {
    std::unique_lock lock(done_mutex_);
    awaiting_ = true;
    awaited_slabs_ = std::max<std::size_t>(slabs, 1);
    done_.wait(lock, [&] {
        return finished_slabs_ >= awaited_slabs_ || queued_.load(std::memory_order_acquire) == 0 ||
               failed_.load(std::memory_order_acquire);
    });
    awaiting_ = false;
    if (failed_.load(std::memory_order_acquire)) {
        return std::unexpected(error_);
    }
    return {};
}

Status FileWork::finish() {
    std::unique_lock lock(done_mutex_);
    awaiting_ = true;
    awaited_slabs_ = SIZE_MAX; // woken by the last job only
    done_.wait(lock, [&] { return queued_.load(std::memory_order_acquire) == 0; });
    awaiting_ = false;
    if (failed_.load(std::memory_order_acquire)) {
        return std::unexpected(error_);
    }
    return {};
}

} // namespace vexlor
