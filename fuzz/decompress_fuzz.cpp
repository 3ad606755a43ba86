// Compressed input on arbitrary bytes: detection, then the matching stream
// read to the end through small buffers of changing size.  Reading must end
// (end of data or an error) without a crash; a clean end must have taken the
// whole input, since trailing bytes are an error; the compressed offset only
// moves forward and stays inside the input; an error repeats on every later
// read.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "parser/byte_stream.h"

namespace {

using namespace vexlor;
using fuzz::require;

// A zeros bomb may stand for gigabytes; past this much output the run stops.
constexpr std::uint64_t kOutputCap = std::uint64_t{64} << 20;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // An owned buffer of exactly the input's size: a read past it is a
    // sanitizer report.
    const std::vector<std::uint8_t> input(data, data + size);
    auto stream = open_stream(memory_stream(input), "fuzz input");
    const Compression expected =
        detect_compression(ByteSpan(input).first(std::min(size, kCompressionMagicBytes)));
    if (!stream) {
        require(!compression_supported(expected), "opening an in-memory input failed",
                stream.error().message);
        return 0;
    }
    ByteStream& s = **stream;
    require(s.compression() == expected, "the stream's compression differs from detection");

    static const std::size_t kChunks[] = {1, 7, 4096, 333, 65536};
    std::vector<std::uint8_t> buf(65536);
    std::uint64_t total = 0;
    std::uint64_t consumed = 0;
    for (std::size_t i = 0; total < kOutputCap; ++i) {
        const std::size_t want = kChunks[i % std::size(kChunks)];
        auto n = s.read(std::span(buf).first(want));
        require(s.consumed() >= consumed && s.consumed() <= size,
                "the compressed offset went back or past the input");
        consumed = s.consumed();
        if (!n) {
            auto again = s.read(std::span(buf).first(want));
            require(!again && again.error().message == n.error().message, "an error did not repeat",
                    n.error().message);
            break;
        }
        require(*n <= want, "read more than asked for");
        if (*n == 0) {
            require(consumed == size, "a clean end left input unread",
                    std::to_string(consumed) + " of " + std::to_string(size));
            break;
        }
        total += *n;
    }
    return 0;
}
