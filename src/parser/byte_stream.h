// Sequential byte sources for capture input: a file or descriptor read front
// to back, an in-memory buffer, and decompressing streams (gzip, zstd, xz,
// bzip2) stacked on either, all in bounded memory whatever the input holds.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/byte_reader.h"
#include "common/page_buffer.h"
#include "common/result.h"
#include "common/unique_fd.h"

namespace vexlor {

enum class Compression { None, Gzip, Zstd, Xz, Bzip2 };

// The longest magic number below: how many leading bytes detection looks at.
inline constexpr std::size_t kCompressionMagicBytes = 6;

// The compression of an input, from its first bytes (never from its name):
// gzip 1F 8B; zstd 28 B5 2F FD or a skippable frame 5? 2A 4D 18; xz
// FD 37 7A 58 5A 00; bzip2 "BZh" and a block size '1'..'9'.  Anything else,
// a shorter head included, is None.
Compression detect_compression(ByteSpan head);

// "gzip", "zstd", "xz", "bzip2"; "none" for None.
std::string_view compression_name(Compression c);

// Whether this build can decompress `c` (each library is optional).
bool compression_supported(Compression c);

class ByteStream {
public:
    virtual ~ByteStream() = default;

    // Up to out.size() bytes into out; 0 only at the end of the data (or for
    // an empty `out`).  After an error every later call fails the same way.
    [[nodiscard]] virtual Result<std::size_t> read(std::span<std::uint8_t> out) = 0;

    // Bytes taken so far from the underlying input: for a decompressing
    // stream, compressed bytes handed to the decoder (for progress displays).
    virtual std::uint64_t consumed() const = 0;

    // The size of the underlying input, where known (a regular file, a
    // buffer; not a pipe).
    virtual std::optional<std::uint64_t> input_size() const { return std::nullopt; }

    // The compression this stream takes off; None for a plain stream.
    virtual Compression compression() const { return Compression::None; }
};

// Fills `out` from `stream`, reading as often as it takes; returns fewer
// bytes than out.size() only at the end of the data.
[[nodiscard]] Result<std::size_t> read_full(ByteStream& stream, std::span<std::uint8_t> out);

// Once given a flag, reads of a descriptor that is not a regular file (a
// pipe, standard input) wait for data in steps, and fail with "interrupted"
// when the flag is set, however silent the writer.  Without one (the
// module's way) they wait in read(2).
void set_read_cancel(const std::atomic<bool>* flag);

// A plain stream over a descriptor it owns, read with read(2).  `name`
// appears in error messages.
std::unique_ptr<ByteStream> fd_stream(UniqueFd fd, std::string name);

// A plain stream over bytes the caller keeps alive.
std::unique_ptr<ByteStream> memory_stream(ByteSpan bytes);

// Decompresses `source`, which holds data of format `c` from its first byte
// (None gives `source` back as it is).  Fails when this build has no support
// for `c`:
// "NAME is zstd-compressed, and this build of vexlor has no zstd support".
[[nodiscard]] Result<std::unique_ptr<ByteStream>>
decompressing_stream(Compression c, std::unique_ptr<ByteStream> source, std::string name);

// The failure a decompressing stream gives for data after its last member
// ("trailing data after the last gzip member at byte N of NAME"): the
// compressed data itself is whole.
inline constexpr std::string_view kTrailingData = "trailing data after the last ";
inline bool is_trailing_data(const Error& e) {
    return std::string_view(e.message).starts_with(kTrailingData);
}

// Looks at the first bytes of `source` and returns a stream of its contents:
// decompressed when a compression magic matches, else the bytes as they are
// (the ones looked at included).  compression() tells which was found.
[[nodiscard]] Result<std::unique_ptr<ByteStream>> open_stream(std::unique_ptr<ByteStream> source,
                                                              std::string name);
// The same over an open descriptor, such as a duplicate of standard input.
[[nodiscard]] Result<std::unique_ptr<ByteStream>> open_stream(UniqueFd fd, std::string name);
// The same over a file; "-" is standard input.  A file that cannot be opened:
// "cannot open NAME: No such file or directory (os error 2)".
[[nodiscard]] Result<std::unique_ptr<ByteStream>> open_stream(std::string_view path);

} // namespace vexlor
