#include "common/async_file.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "common/mapping_guard.h"
#include "common/write_all.h"

namespace vexlor {

namespace {

// A buffer is handed over where it reaches a multiple of kStretch of the
// file's offset, or at kMostPieces pieces, so that each gathered write covers
// at most one aligned 1 MiB stretch.  The page cache then holds the file in
// 1 MiB folios.  A write that covers a whole aligned 2 MiB stretch gets a
// 2 MiB folio instead, and on some virtual machines those come at times
// several times slower (writing L's 1.46 GB in 2 MiB pieces: 1.2-2.7 s; in
// 1 MiB pieces: 0.3-0.35 s; in 64 KiB pieces: 0.37-0.39 s).  Against small
// pages, 1 MiB folios also spare a later reader of the file most of the
// kernel's work of mapping it (a flow table read from L's archive: 0.01-0.03
// s of system time against 0.05-0.08 s).
constexpr std::uint64_t kStretch = std::uint64_t{1} << 20;
constexpr std::size_t kMostPieces = 4096;
// Shorter references that do not continue the previous one are copied: a
// copy that short costs less than the system's walk of one more piece.
constexpr std::size_t kCopyBelow = 128;

// A file whose mapped bytes may be referred to, opened by the file's thread
// when it first sends from it.
struct Source {
    std::string path;
    FileIdentity file;
    std::uint64_t file_offset;
    const std::uint8_t* begin;
    const std::uint8_t* end;
    UniqueFd fd{};
    bool tried = false;

    // Whether bytes can be sent from the file: it opens, and is the file
    // that is mapped.
    bool open() {
        if (!tried) {
            tried = true;
            fd.reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
            struct stat st {};
            if (fd.valid() &&
                (::fstat(fd.get(), &st) != 0 || !(FileIdentity{st.st_dev, st.st_ino} == file))) {
                fd.reset();
            }
        }
        return fd.valid();
    }
};

// Writes `n` bytes of `src` from `offset` to `out` with sendfile(); false
// (nothing written) when the system refuses sendfile between these files.
Result<bool> send_all(int out, const Source& src, std::uint64_t offset, std::size_t n) {
    bool first = true; // nothing of this piece sent yet
    while (n > 0) {
        auto off = static_cast<off_t>(offset);
        const ssize_t done = ::sendfile(out, src.fd.get(), &off, n);
        if (done < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (first &&
                (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP || errno == ESPIPE)) {
                return false;
            }
            return os_error(errno);
        }
        if (done == 0) {
            // The file ends before bytes we mapped from it: another
            // program has cut it short.
            return runtime_error(kInputCutWhileRead);
        }
        first = false;
        offset += static_cast<std::uint64_t>(done);
        n -= static_cast<std::size_t>(done);
    }
    return true;
}

// How referred-to bytes of a mapped file reach the file being written.  A
// copy through the mapping normally runs at several GB/s; should it run slow
// all the same (on some virtual machines it has dropped below 1 GB/s for
// whole runs), sendfile() copies page cache to page cache without the
// mapping, at a steady 2.5 GB/s there.  So writes of at least kTimedFrom
// referred-to bytes go through the mapping, timed, and once kJudgedOver
// bytes of them have run below kSlowCopy bytes a second, the rest go by
// sendfile().  One slow write (a block allocation, a journal commit)
// decides nothing.
struct Sending {
    std::vector<Source> sources;
    std::vector<iovec> between; // the pieces between two of a source
    bool on = false;
    std::size_t timed = 0; // referred-to bytes of the writes timed since the last judgement
    double took = 0;       // their seconds
};
constexpr std::size_t kTimedFrom = std::size_t{512} << 10;
constexpr std::size_t kJudgedOver = std::size_t{16} << 20;
constexpr double kSlowCopy = 2e9;

} // namespace

// One side of the double buffer.  Copied bytes go to `bytes`, reserved at
// the capacity so that they never move.  Once a reference is added, `pieces`
// lists the whole buffer in order: runs of `bytes` (up to `covered`) and
// references; without one, `bytes` is the buffer.
struct AsyncFile::Buffer {
    std::vector<std::uint8_t> bytes;
    std::vector<iovec> pieces;
    std::size_t covered = 0;    // bytes listed in `pieces` so far
    std::size_t referenced = 0; // bytes of references
    bool last_is_reference = false;

    std::size_t size() const { return bytes.size() + referenced; }

    bool empty() const { return bytes.empty() && pieces.empty(); }
    void clear() {
        bytes.clear();
        pieces.clear();
        covered = 0;
        referenced = 0;
        last_is_reference = false;
    }
    // Lists the copied bytes not yet listed.
    void cover() {
        if (covered < bytes.size()) {
            pieces.push_back({bytes.data() + covered, bytes.size() - covered});
            covered = bytes.size();
            last_is_reference = false;
        }
    }
    // Whether `b` starts where the last reference ends, with nothing copied
    // since.
    bool continues(std::span<const std::uint8_t> b) const {
        return last_is_reference && covered == bytes.size() &&
               static_cast<const std::uint8_t*>(pieces.back().iov_base) + pieces.back().iov_len ==
                   b.data();
    }
    void refer(std::span<const std::uint8_t> b) {
        cover();
        if (continues(b)) {
            pieces.back().iov_len += b.size();
        } else {
            // writev takes the pieces as they are; it never writes to them.
            pieces.push_back({const_cast<std::uint8_t*>(b.data()), b.size()});
        }
        referenced += b.size();
        last_is_reference = true;
    }
    bool full(std::size_t capacity, std::size_t room) const {
        return bytes.size() == capacity || room == 0 || pieces.size() >= kMostPieces;
    }
    Status write_to(int fd, Sending& sending) {
        if (pieces.empty()) {
            return write_all(fd, bytes);
        }
        cover();
        if (sending.sources.empty() || (!sending.on && referenced < kTimedFrom)) {
            return write_all(fd, pieces);
        }
        if (!sending.on) {
            const auto start = std::chrono::steady_clock::now();
            Status st = write_all(fd, pieces);
            const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
            sending.timed += referenced;
            sending.took += took.count();
            if (st && sending.timed >= kJudgedOver) {
                sending.on = static_cast<double>(sending.timed) < kSlowCopy * sending.took;
                sending.timed = 0;
                sending.took = 0;
            }
            return st;
        }
        // Pieces of a source go by sendfile; the rest, between them, as
        // gathered writes.
        std::vector<iovec>& run = sending.between;
        std::vector<Source>& sources = sending.sources;
        run.clear();
        for (const iovec& v : pieces) {
            const auto* p = static_cast<const std::uint8_t*>(v.iov_base);
            Source* src = nullptr;
            for (Source& s : sources) {
                if (p >= s.begin && p + v.iov_len <= s.end && s.open()) {
                    src = &s;
                }
            }
            if (src == nullptr) {
                run.push_back(v);
                continue;
            }
            if (!run.empty()) {
                if (auto st = write_all(fd, run); !st) {
                    return st;
                }
                run.clear();
            }
            auto sent = send_all(
                fd, *src, src->file_offset + static_cast<std::uint64_t>(p - src->begin), v.iov_len);
            if (!sent) {
                return std::unexpected(sent.error());
            }
            if (!*sent) {
                // Not between these files: its later pieces go through the
                // mapping.
                src->fd.reset();
                run.push_back(v);
            }
        }
        return run.empty() ? Status{} : write_all(fd, run);
    }
};

struct AsyncFile::State {
    UniqueFd fd;
    std::size_t capacity = 0;
    Buffer filling;               // this side's
    std::uint64_t filling_at = 0; // the file offset where `filling` begins
    Buffer pending;               // the thread's while `busy`
    Sending sending;              // the thread's, once writing has begun

    std::mutex mu;
    std::condition_variable cv;
    bool busy = false; // `pending` is being written
    bool stop = false;
    Status outcome; // ok until a write of the thread fails, then its first error

    // How many more bytes `filling` takes before it is handed over.
    std::size_t room() const {
        const std::uint64_t end = (filling_at / kStretch + 1) * kStretch;
        return static_cast<std::size_t>(end - filling_at) - filling.size();
    }
    bool filled() const { return filling.full(capacity, room()); }

    void run() {
        std::unique_lock lock(mu);
        for (;;) {
            cv.wait(lock, [&] { return busy || stop; });
            if (!busy) {
                return; // stopped, nothing left
            }
            lock.unlock();
            Status st = outcome ? pending.write_to(fd.get(), sending) : Status{};
            lock.lock();
            if (!st && outcome) {
                outcome = st;
            }
            busy = false;
            cv.notify_all();
        }
    }
};

Result<AsyncFile> AsyncFile::open(UniqueFd fd, std::size_t buffer_bytes) {
    AsyncFile f;
    f.state_ = std::make_unique<State>();
    f.state_->fd = std::move(fd);
    f.state_->capacity = buffer_bytes;
    f.state_->filling.bytes.reserve(buffer_bytes);
    f.state_->pending.bytes.reserve(buffer_bytes);
    try {
        f.thread_ = std::thread([s = f.state_.get()] { s->run(); });
    } catch (...) {
        f.state_.reset();
        return fail(ErrorKind::Panic, "failed to spawn thread");
    }
    return f;
}

AsyncFile::AsyncFile() = default;
AsyncFile::AsyncFile(AsyncFile&&) noexcept = default;
AsyncFile::~AsyncFile() {
    abandon();
}

AsyncFile& AsyncFile::operator=(AsyncFile&& o) noexcept {
    if (this != &o) {
        abandon();
        state_ = std::move(o.state_);
        thread_ = std::move(o.thread_);
    }
    return *this;
}

Status AsyncFile::hand_over() {
    State& s = *state_;
    std::unique_lock lock(s.mu);
    s.cv.wait(lock, [&] { return !s.busy; });
    if (!s.outcome) {
        s.filling.clear();
        return s.outcome;
    }
    if (!s.filling.empty()) {
        s.filling_at += s.filling.size();
        std::swap(s.filling, s.pending);
        s.filling.clear();
        s.busy = true;
        s.cv.notify_all();
    }
    return {};
}

Status AsyncFile::write(std::span<const std::uint8_t> bytes) {
    State& s = *state_;
    while (!bytes.empty()) {
        std::size_t n = std::min({s.capacity - s.filling.bytes.size(), s.room(), bytes.size()});
        s.filling.bytes.insert(s.filling.bytes.end(), bytes.begin(), bytes.begin() + n);
        bytes = bytes.subspan(n);
        if (s.filled()) {
            if (auto st = hand_over(); !st) {
                return st;
            }
        }
    }
    return {};
}

Status AsyncFile::write_stable(std::span<const std::uint8_t> bytes) {
    State& s = *state_;
    if (bytes.size() < kCopyBelow && !s.filling.continues(bytes)) {
        return write(bytes);
    }
    while (!bytes.empty()) {
        const std::size_t n = std::min(s.room(), bytes.size());
        s.filling.refer(bytes.first(n));
        bytes = bytes.subspan(n);
        if (s.filled()) {
            if (auto st = hand_over(); !st) {
                return st;
            }
        }
    }
    return {};
}

void AsyncFile::add_source(std::string path, FileIdentity file, std::uint64_t file_offset,
                           std::span<const std::uint8_t> bytes, bool send_always) {
    if (!path.empty() && path.find('\0') == std::string::npos && !bytes.empty()) {
        std::lock_guard lock(state_->mu);
        state_->sending.on = state_->sending.on || send_always;
        state_->sending.sources.push_back(
            Source{std::move(path), file, file_offset, bytes.data(), bytes.data() + bytes.size()});
    }
}

Status AsyncFile::flush() {
    if (auto st = hand_over(); !st) {
        return st;
    }
    State& s = *state_;
    std::unique_lock lock(s.mu);
    s.cv.wait(lock, [&] { return !s.busy; });
    return s.outcome;
}

Status AsyncFile::close() {
    if (!state_) {
        return {};
    }
    Status st = flush();
    {
        std::lock_guard lock(state_->mu);
        state_->stop = true;
    }
    state_->cv.notify_all();
    thread_.join();
    int err = state_->fd.reset();
    state_.reset();
    if (st && err != 0) {
        return os_error(err);
    }
    return st;
}

} // namespace vexlor
