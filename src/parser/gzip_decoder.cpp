// gzip members through zlib.
#include "parser/stream_decoder.h"

#if VEXLOR_HAVE_ZLIB

#define ZLIB_CONST
#include <zlib.h>

#include <algorithm>
#include <climits>

namespace vexlor {
namespace {

// zlib counts in 32-bit units; a larger caller buffer is filled in part.
std::size_t clamp_uint(std::size_t n) {
    return std::min<std::size_t>(n, UINT_MAX);
}

class GzipDecoder final : public StreamDecoder {
public:
    GzipDecoder() = default;
    GzipDecoder(const GzipDecoder&) = delete;
    GzipDecoder& operator=(const GzipDecoder&) = delete;
    ~GzipDecoder() override {
        if (ready_) {
            ::inflateEnd(&z_);
        }
    }

    DecodeStep decode(ByteSpan in, std::span<std::uint8_t> out) override {
        const auto in_size = static_cast<uInt>(clamp_uint(in.size()));
        const auto out_size = static_cast<uInt>(clamp_uint(out.size()));
        z_.next_in = in.data();
        z_.avail_in = in_size;
        z_.next_out = out.data();
        z_.avail_out = out_size;
        const int rc = ::inflate(&z_, Z_NO_FLUSH);
        DecodeStep step(in_size - z_.avail_in, out_size - z_.avail_out);
        switch (rc) {
        case Z_OK:
        case Z_BUF_ERROR: // no progress possible: the stream decides whether input ran out
            break;
        case Z_STREAM_END:
            step.event = DecodeStep::Event::MemberEnd;
            break;
        default:
            step.event = DecodeStep::Event::Corrupt;
            step.detail = z_.msg ? z_.msg : ::zError(rc);
            break;
        }
        return step;
    }

    Status restart() override {
        if (ready_) {
            return ::inflateReset(&z_) == Z_OK ? Status{}
                                               : decoder_setup_error("gzip", "inflateReset failed");
        }
        // 15 + 16: a 32 KiB window and the gzip wrapper only, so a zlib or
        // raw deflate stream is refused rather than guessed at.
        const int rc = ::inflateInit2(&z_, 15 + 16);
        if (rc != Z_OK) {
            return decoder_setup_error("gzip", z_.msg ? z_.msg : ::zError(rc));
        }
        ready_ = true;
        return {};
    }

private:
    z_stream z_{};
    bool ready_ = false;
};

} // namespace

Result<std::unique_ptr<StreamDecoder>> make_gzip_decoder() {
    return start_decoder<GzipDecoder>();
}

} // namespace vexlor

#endif
