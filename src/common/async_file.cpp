#include "common/async_file.h"

#include <cstring>

#include "common/write_all.h"

namespace vexlor {

struct AsyncFile::State {
    UniqueFd fd;
    std::size_t capacity = 0;
    std::vector<std::uint8_t> filling; // this side's
    std::vector<std::uint8_t> pending; // the thread's while `busy`

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
            Status st = outcome ? write_all(fd.get(), pending) : Status{};
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
    f.state_->filling.reserve(buffer_bytes);
    f.state_->pending.reserve(buffer_bytes);
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
        std::size_t room = s.capacity - s.filling.size();
        std::size_t n = std::min(room, bytes.size());
        s.filling.insert(s.filling.end(), bytes.begin(), bytes.begin() + n);
        bytes = bytes.subspan(n);
        if (s.filling.size() == s.capacity) {
            if (auto st = hand_over(); !st) {
                return st;
            }
        }
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
