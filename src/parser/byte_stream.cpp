// Plain byte streams, compression detection and opening an input as a stream.
#include "parser/byte_stream.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "parser/stream_decoder.h"

namespace vexlor {
namespace {

// One byte of a magic number: any value in [lo, hi].
struct MagicByte {
    std::uint8_t lo;
    std::uint8_t hi;
};
struct Magic {
    Compression kind;
    std::array<MagicByte, kCompressionMagicBytes> bytes;
    std::size_t size;
};

constexpr MagicByte exactly(std::uint8_t b) {
    return {b, b};
}

constexpr std::array<Magic, 5> kMagics{{
    {Compression::Gzip, {exactly(0x1F), exactly(0x8B)}, 2},
    {Compression::Zstd, {exactly(0x28), exactly(0xB5), exactly(0x2F), exactly(0xFD)}, 4},
    // A skippable frame (magic 0x184D2A50 to 0x184D2A5F, little-endian) may
    // open a zstd file, for instance to carry metadata before the data.
    {Compression::Zstd, {MagicByte{0x50, 0x5F}, exactly(0x2A), exactly(0x4D), exactly(0x18)}, 4},
    {Compression::Xz,
     {exactly(0xFD), exactly('7'), exactly('z'), exactly('X'), exactly('Z'), exactly(0x00)},
     6},
    {Compression::Bzip2, {exactly('B'), exactly('Z'), exactly('h'), MagicByte{'1', '9'}}, 4},
}};

MagicMatch match(const Magic& m, ByteSpan head) {
    const std::size_t n = std::min(head.size(), m.size);
    for (std::size_t i = 0; i < n; ++i) {
        if (head[i] < m.bytes[i].lo || head[i] > m.bytes[i].hi) {
            return MagicMatch::No;
        }
    }
    return n == m.size ? MagicMatch::Full : MagicMatch::Partial;
}

// See set_read_cancel.
std::atomic<const std::atomic<bool>*> g_read_cancel{nullptr};

// Waits until `fd` has something to read, or the cancel flag is set: false
// then.  A pipe's writer may stay silent for as long as it likes, and the
// reading thread is not the one a signal interrupts.
bool wait_readable(int fd, const std::atomic<bool>& cancel) {
    for (;;) {
        if (cancel.load(std::memory_order_relaxed)) {
            return false;
        }
        pollfd p{fd, POLLIN, 0};
        const int n = ::poll(&p, 1, 200);
        if (n > 0 || (n < 0 && errno != EINTR)) {
            return true; // ready, hung up, or an error that read() will tell
        }
    }
}

class FdStream final : public ByteStream {
public:
    FdStream(UniqueFd fd, std::string name) : fd_(std::move(fd)), name_(std::move(name)) {
        // Only a regular file has a size worth showing; standard input may
        // be one, already read partly by someone else.
        struct stat st {};
        if (::fstat(fd_.get(), &st) == 0 && S_ISREG(st.st_mode)) {
            const off_t at = ::lseek(fd_.get(), 0, SEEK_CUR);
            const auto size = static_cast<std::uint64_t>(st.st_size);
            const auto start = static_cast<std::uint64_t>(std::max<off_t>(at, 0));
            size_ = size > start ? size - start : 0;
        }
    }

    Result<std::size_t> read(std::span<std::uint8_t> out) override {
        if (error_) {
            return std::unexpected(*error_);
        }
        if (out.empty()) {
            return 0;
        }
        for (;;) {
            if (const auto* cancel = g_read_cancel.load();
                cancel != nullptr && !size_ && !wait_readable(fd_.get(), *cancel)) {
                error_ = Error{ErrorKind::Runtime, "interrupted"};
                return std::unexpected(*error_);
            }
            const ssize_t n = ::read(fd_.get(), out.data(), out.size());
            if (n >= 0) {
                consumed_ += static_cast<std::uint64_t>(n);
                return static_cast<std::size_t>(n);
            }
            if (errno != EINTR) {
                error_ = Error{ErrorKind::Io, "cannot read " + name_ + " at byte " +
                                                  std::to_string(consumed_) + ": " +
                                                  os_error_text(errno)};
                return std::unexpected(*error_);
            }
        }
    }
    std::uint64_t consumed() const override { return consumed_; }
    std::optional<std::uint64_t> input_size() const override { return size_; }

private:
    UniqueFd fd_;
    std::string name_;
    std::uint64_t consumed_ = 0;
    std::optional<std::uint64_t> size_;
    std::optional<Error> error_;
};

class MemoryStream final : public ByteStream {
public:
    explicit MemoryStream(ByteSpan bytes) : bytes_(bytes) {}

    Result<std::size_t> read(std::span<std::uint8_t> out) override {
        const std::size_t n = std::min(out.size(), bytes_.size() - pos_);
        if (n != 0) {
            std::memcpy(out.data(), bytes_.data() + pos_, n);
        }
        pos_ += n;
        return n;
    }
    std::uint64_t consumed() const override { return pos_; }
    std::optional<std::uint64_t> input_size() const override { return bytes_.size(); }

private:
    ByteSpan bytes_;
    std::size_t pos_ = 0;
};

// Gives back the bytes that detection read from `source`, then the rest of it.
class ReplayStream final : public ByteStream {
public:
    ReplayStream(std::array<std::uint8_t, kCompressionMagicBytes> head, std::size_t size,
                 std::unique_ptr<ByteStream> source)
        : head_(head), size_(size), source_(std::move(source)) {}

    Result<std::size_t> read(std::span<std::uint8_t> out) override {
        if (served_ == size_) {
            return source_->read(out);
        }
        const std::size_t n = std::min(out.size(), size_ - served_);
        std::memcpy(out.data(), head_.data() + served_, n);
        served_ += n;
        if (served_ < size_ || n == out.size()) {
            return n;
        }
        // The rest of `out` from the source in the same call, so that later
        // reads of a file start at offsets that are multiples of the
        // caller's buffer size: page-aligned copies out of the page cache
        // run about half again as fast as copies six bytes off.  A failure
        // here comes again on the next call (errors repeat), so the head
        // bytes are given out first.
        auto more = source_->read(out.subspan(n));
        return n + (more ? *more : 0);
    }
    std::uint64_t consumed() const override { return source_->consumed() - (size_ - served_); }
    std::optional<std::uint64_t> input_size() const override { return source_->input_size(); }

private:
    std::array<std::uint8_t, kCompressionMagicBytes> head_;
    std::size_t size_;
    std::size_t served_ = 0;
    std::unique_ptr<ByteStream> source_;
};

} // namespace

MagicMatch match_magic(Compression c, ByteSpan head) {
    MagicMatch best = MagicMatch::No;
    for (const Magic& m : kMagics) {
        if (m.kind == c) {
            best = std::max(best, match(m, head));
        }
    }
    return best;
}

Compression detect_compression(ByteSpan head) {
    for (const Magic& m : kMagics) {
        if (match(m, head) == MagicMatch::Full) {
            return m.kind;
        }
    }
    return Compression::None;
}

std::string_view compression_name(Compression c) {
    switch (c) {
    case Compression::Gzip:
        return "gzip";
    case Compression::Zstd:
        return "zstd";
    case Compression::Xz:
        return "xz";
    case Compression::Bzip2:
        return "bzip2";
    case Compression::None:
        break;
    }
    return "none";
}

bool compression_supported(Compression c) {
    switch (c) {
    case Compression::Gzip:
        return VEXLOR_HAVE_ZLIB;
    case Compression::Zstd:
        return VEXLOR_HAVE_ZSTD;
    case Compression::Xz:
        return VEXLOR_HAVE_LZMA;
    case Compression::Bzip2:
        return VEXLOR_HAVE_BZIP2;
    case Compression::None:
        break;
    }
    return true;
}

Result<std::size_t> read_full(ByteStream& stream, std::span<std::uint8_t> out) {
    std::size_t done = 0;
    while (done < out.size()) {
        auto n = stream.read(out.subspan(done));
        if (!n) {
            return std::unexpected(n.error());
        }
        if (*n == 0) {
            break;
        }
        done += *n;
    }
    return done;
}

void set_read_cancel(const std::atomic<bool>* flag) {
    g_read_cancel.store(flag);
}

std::unique_ptr<ByteStream> fd_stream(UniqueFd fd, std::string name) {
    return std::make_unique<FdStream>(std::move(fd), std::move(name));
}

std::unique_ptr<ByteStream> memory_stream(ByteSpan bytes) {
    return std::make_unique<MemoryStream>(bytes);
}

Result<std::unique_ptr<ByteStream>> open_stream(std::unique_ptr<ByteStream> source,
                                                std::string name) {
    std::array<std::uint8_t, kCompressionMagicBytes> head{};
    auto got = read_full(*source, head);
    if (!got) {
        return std::unexpected(got.error());
    }
    const Compression c = detect_compression(ByteSpan(head.data(), *got));
    auto replay = std::make_unique<ReplayStream>(head, *got, std::move(source));
    if (c == Compression::None) {
        return replay;
    }
    return decompressing_stream(c, std::move(replay), std::move(name));
}

Result<std::unique_ptr<ByteStream>> open_stream(UniqueFd fd, std::string name) {
    auto plain = fd_stream(std::move(fd), name);
    return open_stream(std::move(plain), std::move(name));
}

Result<std::unique_ptr<ByteStream>> open_stream(std::string_view path) {
    if (path == "-") {
        // Our own descriptor, so that closing the stream leaves fd 0 open.
        const std::string name = "standard input";
        UniqueFd fd(::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0));
        if (!fd.valid()) {
            return io_error("cannot open " + name + ": " + os_error_text(errno));
        }
        return open_stream(std::move(fd), name);
    }
    std::string name(path);
    // open() would stop at the first NUL and open another file.
    if (path.find('\0') != std::string_view::npos) {
        return io_error("cannot open " + name + ": file name contains a NUL byte");
    }
    UniqueFd fd;
    do {
        fd.reset(::open(name.c_str(), O_RDONLY | O_CLOEXEC));
    } while (!fd.valid() && errno == EINTR);
    if (!fd.valid()) {
        return io_error("cannot open " + name + ": " + os_error_text(errno));
    }
    // Read front to back once: let the kernel read ahead.  Only a hint.
    (void)::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    return open_stream(std::move(fd), std::move(name));
}

} // namespace vexlor
