#include "common/async_file.h"

#include <cstring>

#include "common/write_all.h"

namespace vexlor {

namespace {

// A buffer's references: past this many bytes, or this many pieces, it is
// handed over, which bounds how much of the input a write pins.
constexpr std::size_t kMostReferenced = std::size_t{4} << 20;
constexpr std::size_t kMostPieces = 4096;
// Shorter references that do not continue the previous one are copied: a
// copy that short costs less than the system's walk of one more piece.
constexpr std::size_t kCopyBelow = 128;

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
    bool full(std::size_t capacity) const {
        return bytes.size() == capacity || referenced >= kMostReferenced ||
               pieces.size() >= kMostPieces;
    }
    Status write_to(int fd) {
        if (pieces.empty()) {
            return write_all(fd, bytes);
        }
        cover();
        return write_all(fd, pieces);
    }
};

struct AsyncFile::State {
    UniqueFd fd;
    std::size_t capacity = 0;
    Buffer filling; // this side's
    Buffer pending; // the thread's while `busy`

    std::mutex mu;
    std::condition_variable cv;
    bool busy = false; // `pending` is being written
    bool stop = false;
    Status outcome; // ok until a write of the thread fails, then its first error

    void run() {
        std::unique_lock lock(mu);
        for (;;) {
            cv.wait(lock, [&] { return busy || stop; });
            if (!busy) {
                return; // stopped, nothing left
            }
            lock.unlock();
            Status st = outcome ? pending.write_to(fd.get()) : Status{};
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
        std::size_t room = s.capacity - s.filling.bytes.size();
        std::size_t n = std::min(room, bytes.size());
        s.filling.bytes.insert(s.filling.bytes.end(), bytes.begin(), bytes.begin() + n);
        bytes = bytes.subspan(n);
        if (s.filling.full(s.capacity)) {
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
    s.filling.refer(bytes);
    if (s.filling.full(s.capacity)) {
        return hand_over();
    }
    return {};
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
