// Loading a whole capture into one shared buffer.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/unique_fd.h"
#include "parser/byte_stream.h"
#include "parser/capture_reader.h"

namespace vexlor {
namespace {

// Holds the C library's lock on stdin for the duration of a read, so that no
// other thread of the process consumes standard input under us.
class StdinLock {
public:
    StdinLock() { ::flockfile(stdin); }
    ~StdinLock() { ::funlockfile(stdin); }
    StdinLock(const StdinLock&) = delete;
    StdinLock& operator=(const StdinLock&) = delete;
};

Result<SharedBytes> read_stdin() {
    constexpr std::size_t kChunk = 1 << 16;
    StdinLock lock;
    std::vector<std::uint8_t> buf;
    // A redirected regular file tells its size up front; a pipe grows as it comes.
    struct stat st {};
    if (::fstat(STDIN_FILENO, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
        buf.reserve(static_cast<std::size_t>(st.st_size) + 1);
    }
    std::size_t used = 0;
    for (;;) {
        if (buf.size() - used < kChunk) {
            buf.resize(used + kChunk);
        }
        ssize_t n = ::read(STDIN_FILENO, buf.data() + used, buf.size() - used);
        if (n > 0) {
            used += static_cast<std::size_t>(n);
            continue;
        }
        if (n == 0) {
            break;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EBADF) {
            // Standard input was closed before we were called: nothing to read.
            break;
        }
        return os_error(errno);
    }
    buf.resize(used);
    buf.shrink_to_fit();
    return SharedBytes::from_vector(std::move(buf));
}

Result<SharedBytes> map_file(std::string_view path) {
    // open() would silently stop at the first NUL and open another file.
    if (path.find('\0') != std::string_view::npos) {
        return io_error("file name contained an unexpected NUL byte");
    }
    const std::string name(path);
    UniqueFd fd;
    do {
        fd.reset(::open(name.c_str(), O_RDONLY | O_CLOEXEC));
    } while (!fd.valid() && errno == EINTR);
    if (!fd.valid()) {
        return os_error(errno);
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        return os_error(errno);
    }
    const auto size = static_cast<std::size_t>(st.st_size);
    // mmap refuses a length of 0; an empty file gets a one-byte mapping that
    // is never read, since the buffer is presented as empty.
    const std::size_t map_len = size == 0 ? 1 : size;
    void* base = ::mmap(nullptr, map_len, PROT_READ, MAP_SHARED, fd.get(), 0);
    if (base == MAP_FAILED) {
        return os_error(errno);
    }
    // Captures are read front to back exactly once; let the kernel read ahead
    // and drop pages behind us.  Only a hint, so its failure does not matter.
    (void)::madvise(base, map_len, MADV_SEQUENTIAL);
    // The mapping outlives the descriptor, which closes on return.
    return SharedBytes::adopt(
        SharedStorage::from_mapping(base, map_len, size, FileIdentity{st.st_dev, st.st_ino}, name));
}

} // namespace

Result<SharedBytes> read_input_bytes(std::string_view path) {
    if (path == "-") {
        // Standard input of many gigabytes may not fit in memory; that is
        // an I/O failure of this input, not a reason to unwind.
        try {
            return read_stdin();
        } catch (const std::bad_alloc&) {
            return os_error(ENOMEM);
        } catch (const std::length_error&) {
            return os_error(ENOMEM);
        }
    }
    return map_file(path);
}

namespace {

// Whether `path` is something other than a regular file (a pipe, as a
// shell's <(...) gives, or a device): it can only be read as a stream.
bool only_streams(std::string_view path) {
    struct stat st {};
    return ::stat(std::string(path).c_str(), &st) == 0 && !S_ISREG(st.st_mode) &&
           !S_ISDIR(st.st_mode);
}

// Whether the file at `path` starts with a compression's magic number.
bool looks_compressed(std::string_view path) {
    const std::string name(path);
    UniqueFd fd(::open(name.c_str(), O_RDONLY | O_CLOEXEC));
    std::uint8_t head[kCompressionMagicBytes];
    const ssize_t n = fd.valid() ? ::pread(fd.get(), head, sizeof head, 0) : -1;
    return n > 0 &&
           detect_compression(ByteSpan(head, static_cast<std::size_t>(n))) != Compression::None;
}

} // namespace

Result<std::unique_ptr<CaptureReader>> open_capture(std::string_view path, InputReading reading,
                                                    ReaderOptions options) {
    Expected<std::unique_ptr<CaptureReader>, ParseError> reader =
        std::unexpected(ParseError::unknown_format());
    if (reading == InputReading::Streamed &&
        (path == "-" || only_streams(path) || looks_compressed(path))) {
        auto stream = open_stream(path);
        if (!stream) {
            return std::unexpected(reclassify(stream.error(), ErrorKind::Io));
        }
        reader = open_reader(std::move(*stream), options);
    } else {
        auto bytes = read_input_bytes(path);
        if (!bytes) {
            return std::unexpected(reclassify(bytes.error(), ErrorKind::Io));
        }
        reader = open_reader(std::move(*bytes), options);
    }
    if (!reader) {
        return std::unexpected(reader.error().to_error());
    }
    return std::move(*reader);
}

} // namespace vexlor
