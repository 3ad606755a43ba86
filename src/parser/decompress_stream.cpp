// The decompressing stream: a fixed input buffer between a source stream and
// one format's decoder, the walk from member to member, and the error texts.
#include <algorithm>
#include <cstring>

#include "parser/byte_stream.h"
#include "parser/stream_decoder.h"

namespace vexlor {
namespace {

// Compressed bytes are read from the source in pieces of this size: large
// enough that the source's per-call cost (a read(2)) vanishes, small enough
// that the buffer is no concern beside the decoders' own state.
constexpr std::size_t kInputBuffer = std::size_t{256} << 10;

// What each format calls one self-contained piece, for messages.
std::string_view unit_name(Compression c) {
    switch (c) {
    case Compression::Gzip:
        return "member";
    case Compression::Zstd:
        return "frame";
    default:
        return "stream";
    }
}

class DecompressStream final : public ByteStream {
public:
    DecompressStream(Compression kind, std::unique_ptr<StreamDecoder> decoder,
                     std::unique_ptr<ByteStream> source, std::string name)
        : kind_(kind), decoder_(std::move(decoder)), source_(std::move(source)),
          name_(std::move(name)), in_(kInputBuffer) {}

    Result<std::size_t> read(std::span<std::uint8_t> out) override;
    std::uint64_t consumed() const override { return pulled_ - (end_ - begin_); }
    std::optional<std::uint64_t> input_size() const override { return source_->input_size(); }
    Compression compression() const override { return kind_; }

private:
    Status refill(std::size_t want);
    Status next_member();
    Result<std::uint64_t> skip_zeros();

    // "<what> gzip stream at byte N of NAME"
    std::string where(std::string_view what, std::uint64_t at) const {
        return std::string(what) + std::string(compression_name(kind_)) + " stream at byte " +
               std::to_string(at) + " of " + name_;
    }
    Error truncated() const { return Error{ErrorKind::Runtime, where("truncated ", consumed())}; }
    Error trailing(std::uint64_t at) const {
        return Error{ErrorKind::Runtime, std::string(kTrailingData) +
                                             std::string(compression_name(kind_)) + " " +
                                             std::string(unit_name(kind_)) + " at byte " +
                                             std::to_string(at) + " of " + name_};
    }
    // The bytes made before a failure are still given out; the failure then
    // comes on the next call, and on every one after it.
    Result<std::size_t> stop(std::size_t made, Error e) {
        error_ = std::move(e);
        if (made != 0) {
            return made;
        }
        return std::unexpected(*error_);
    }

    Compression kind_;
    std::unique_ptr<StreamDecoder> decoder_;
    std::unique_ptr<ByteStream> source_;
    std::string name_;
    PageBuffer in_;         // page-aligned, so reads of a file into it copy fast
    std::size_t begin_ = 0; // the unread input is [begin_, end_) of in_
    std::size_t end_ = 0;
    std::uint64_t pulled_ = 0; // bytes read from the source
    bool source_ended_ = false;
    bool between_ = false; // a member has ended; what follows is not yet looked at
    bool finished_ = false;
    std::optional<Error> error_;
};

Result<std::size_t> DecompressStream::read(std::span<std::uint8_t> out) {
    if (error_) {
        return std::unexpected(*error_);
    }
    std::size_t made = 0;
    while (made == 0 && !out.empty() && !finished_) {
        if (between_) {
            if (auto st = next_member(); !st) {
                return stop(0, st.error());
            }
            continue;
        }
        if (begin_ == end_) {
            if (auto st = refill(1); !st) {
                return stop(0, st.error());
            }
        }
        const std::size_t avail = end_ - begin_;
        DecodeStep step = decoder_->decode(ByteSpan(in_.data() + begin_, avail), out);
        begin_ += step.used;
        made += step.made;
        switch (step.event) {
        case DecodeStep::Event::MemberEnd:
            between_ = true;
            break;
        case DecodeStep::Event::Corrupt:
            return stop(made, Error{ErrorKind::Runtime,
                                    where("corrupt ", consumed()) + ": " + step.detail});
        case DecodeStep::Event::TooBig:
            return stop(made,
                        Error{ErrorKind::Runtime, "cannot decompress the " + where("", consumed()) +
                                                      ": " + step.detail});
        case DecodeStep::Event::None:
            if (step.used == 0 && step.made == 0) {
                // Input is refilled whenever it runs out, so none left means
                // the source has ended inside a member with nothing more to
                // drain: the file was cut short.
                if (avail == 0) {
                    return stop(0, truncated());
                }
                // Input and room for output, yet no progress: calling again
                // would spin forever.
                return stop(0, Error{ErrorKind::Runtime, where("corrupt ", consumed()) +
                                                             ": the decoder makes no progress"});
            }
            break;
        }
    }
    return made;
}

// Reads until `want` unread bytes lie contiguous in the buffer, or the source ends.
Status DecompressStream::refill(std::size_t want) {
    if (end_ - begin_ >= want || source_ended_) {
        return {};
    }
    if (begin_ != 0) {
        std::memmove(in_.data(), in_.data() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
    while (end_ < want && !source_ended_) {
        auto n = source_->read(std::span(in_.data() + end_, kInputBuffer - end_));
        if (!n) {
            return std::unexpected(n.error());
        }
        source_ended_ = *n == 0;
        end_ += *n;
        pulled_ += *n;
    }
    return {};
}

// Zero bytes from here on, consumed; returns how many.
Result<std::uint64_t> DecompressStream::skip_zeros() {
    std::uint64_t zeros = 0;
    for (;;) {
        while (begin_ < end_ && in_[begin_] == 0) {
            ++begin_;
            ++zeros;
        }
        if (begin_ < end_ || source_ended_) {
            return zeros;
        }
        if (auto st = refill(1); !st) {
            return std::unexpected(st.error());
        }
    }
}

// After a member: the end of the input, another member, or what the format
// allows between them.  Anything else is trailing data, refused rather than
// ignored, since it may be a second capture appended by mistake.
Status DecompressStream::next_member() {
    const std::uint64_t after = consumed();
    std::uint64_t zeros = 0;
    // The gzip tool ignores zero bytes after the last member (tape blocks
    // padded out); xz streams may be padded to four-byte multiples.
    if (kind_ == Compression::Gzip || kind_ == Compression::Xz) {
        auto skipped = skip_zeros();
        if (!skipped) {
            return std::unexpected(skipped.error());
        }
        zeros = *skipped;
    }
    if (auto st = refill(kCompressionMagicBytes); !st) {
        return st;
    }
    const ByteSpan head(in_.data() + begin_, std::min(end_ - begin_, kCompressionMagicBytes));
    if (kind_ == Compression::Xz && zeros % 4 != 0) {
        return runtime_error(where("corrupt ", consumed()) + ": stream padding of " +
                             std::to_string(zeros) + " bytes is not a multiple of four");
    }
    if (head.empty()) {
        finished_ = true;
        return {};
    }
    switch (match_magic(kind_, head)) {
    case MagicMatch::Full:
        if (kind_ == Compression::Gzip && zeros != 0) {
            return std::unexpected(trailing(after));
        }
        between_ = false;
        return decoder_->restart();
    case MagicMatch::Partial:
        // The start of another member, cut off.
        begin_ = end_;
        return std::unexpected(truncated());
    case MagicMatch::No:
        break;
    }
    return std::unexpected(trailing(kind_ == Compression::Gzip ? after : consumed()));
}

} // namespace

Result<std::unique_ptr<ByteStream>>
decompressing_stream(Compression c, std::unique_ptr<ByteStream> source, std::string name) {
    if (c == Compression::None) {
        return source;
    }
    Result<std::unique_ptr<StreamDecoder>> decoder = std::unique_ptr<StreamDecoder>();
    switch (c) {
#if VEXLOR_HAVE_ZLIB
    case Compression::Gzip:
        decoder = make_gzip_decoder();
        break;
#endif
#if VEXLOR_HAVE_ZSTD
    case Compression::Zstd:
        decoder = make_zstd_decoder();
        break;
#endif
#if VEXLOR_HAVE_LZMA
    case Compression::Xz:
        decoder = make_xz_decoder();
        break;
#endif
#if VEXLOR_HAVE_BZIP2
    case Compression::Bzip2:
        decoder = make_bzip2_decoder();
        break;
#endif
    default: {
        // The library was missing when this copy was built.
        const std::string format(compression_name(c));
        return runtime_error(name + " is " + format +
                             "-compressed, and this build of vexlor has no " + format + " support");
    }
    }
    if (!decoder) {
        return std::unexpected(decoder.error());
    }
    return std::make_unique<DecompressStream>(c, std::move(*decoder), std::move(source),
                                              std::move(name));
}

} // namespace vexlor
