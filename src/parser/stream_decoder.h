// The part of a decompressing stream that differs between formats: one
// library's decoder state, fed from the stream's input buffer.  Only the
// decompressing stream (decompress_stream.cpp) uses these.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "common/byte_reader.h"
#include "common/result.h"
#include "parser/byte_stream.h"

namespace vexlor {

// How the bytes after a member compare with the format's magic number;
// Partial: too few bytes to tell, and those there are match.
enum class MagicMatch { No, Partial, Full };
MagicMatch match_magic(Compression c, ByteSpan head);

// What one decode call did.
struct DecodeStep {
    enum class Event {
        None,      // progress (or none) within a member
        MemberEnd, // a whole member, frame or stream is decoded and its output given out
        Corrupt,   // the library refuses the data; `detail` says why
        TooBig,    // decoding would take more memory than we allow; `detail` says how much
    };
    DecodeStep(std::size_t used_bytes, std::size_t made_bytes)
        : used(used_bytes), made(made_bytes) {}

    std::size_t used = 0; // input bytes consumed
    std::size_t made = 0; // output bytes written
    Event event = Event::None;
    std::string detail;
};

class StreamDecoder {
public:
    virtual ~StreamDecoder() = default;
    // Decodes from `in` into `out`.  Called with empty `in` once the input
    // has ended, to drain what the decoder still holds.
    virtual DecodeStep decode(ByteSpan in, std::span<std::uint8_t> out) = 0;
    // Makes ready for the next member after a MemberEnd.
    [[nodiscard]] virtual Status restart() = 0;
};

// A decoder of type D, made ready by its restart().
template <class D> Result<std::unique_ptr<StreamDecoder>> start_decoder() {
    auto d = std::make_unique<D>();
    if (auto st = d->restart(); !st) {
        return std::unexpected(st.error());
    }
    return d;
}

// Each builds its decoder, or fails when the library cannot allocate its state.
Result<std::unique_ptr<StreamDecoder>> make_gzip_decoder();
Result<std::unique_ptr<StreamDecoder>> make_zstd_decoder();
Result<std::unique_ptr<StreamDecoder>> make_xz_decoder();
Result<std::unique_ptr<StreamDecoder>> make_bzip2_decoder();

// The error for a decoder whose state the library could not set up.
inline std::unexpected<Error> decoder_setup_error(std::string_view format,
                                                  std::string_view detail) {
    return runtime_error("cannot set up the " + std::string(format) +
                         " decoder: " + std::string(detail));
}

} // namespace vexlor
