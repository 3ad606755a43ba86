// xz streams through liblzma.
#include "parser/stream_decoder.h"

#if VEXLOR_HAVE_LZMA

#include <lzma.h>

namespace vexlor {
namespace {

// The most memory one stream's decoder may take.  A stream header states its
// dictionary size, so a hostile one could otherwise ask for gigabytes.  The
// largest preset (xz -9e) needs about 65 MiB to decode.
constexpr std::uint64_t kXzMemoryLimit = std::uint64_t{256} << 20;

const char* lzma_text(lzma_ret rc) {
    switch (rc) {
    case LZMA_MEM_ERROR:
        return "cannot allocate memory";
    case LZMA_FORMAT_ERROR:
        return "file format not recognized";
    case LZMA_OPTIONS_ERROR:
        return "unsupported compression options";
    case LZMA_DATA_ERROR:
        return "compressed data is corrupt";
    default:
        return "internal error";
    }
}

class XzDecoder final : public StreamDecoder {
public:
    XzDecoder() = default;
    XzDecoder(const XzDecoder&) = delete;
    XzDecoder& operator=(const XzDecoder&) = delete;
    ~XzDecoder() override { ::lzma_end(&s_); }

    // One stream at a time (no LZMA_CONCATENATED): the decompressing stream
    // walks from stream to stream itself, as for the other formats, so that
    // bytes after the last stream are reported as trailing data.
    Status restart() override {
        const lzma_ret rc = ::lzma_stream_decoder(&s_, kXzMemoryLimit, 0);
        if (rc != LZMA_OK) {
            return decoder_setup_error("xz", lzma_text(rc));
        }
        return {};
    }

    DecodeStep decode(ByteSpan in, std::span<std::uint8_t> out) override {
        s_.next_in = in.data();
        s_.avail_in = in.size();
        s_.next_out = out.data();
        s_.avail_out = out.size();
        const lzma_ret rc = ::lzma_code(&s_, LZMA_RUN);
        DecodeStep step(in.size() - s_.avail_in, out.size() - s_.avail_out);
        switch (rc) {
        case LZMA_OK:
        case LZMA_BUF_ERROR: // no progress possible: the stream decides whether input ran out
            break;
        case LZMA_STREAM_END:
            step.event = DecodeStep::Event::MemberEnd;
            break;
        case LZMA_MEMLIMIT_ERROR:
            step.event = DecodeStep::Event::TooBig;
            step.detail = "it needs " +
                          std::to_string((::lzma_memusage(&s_) + (1 << 20) - 1) >> 20) +
                          " MiB of memory, more than the limit of " +
                          std::to_string(kXzMemoryLimit >> 20) + " MiB";
            break;
        default:
            step.event = DecodeStep::Event::Corrupt;
            step.detail = lzma_text(rc);
            break;
        }
        return step;
    }

private:
    lzma_stream s_ = LZMA_STREAM_INIT;
};

} // namespace

Result<std::unique_ptr<StreamDecoder>> make_xz_decoder() {
    return start_decoder<XzDecoder>();
}

} // namespace vexlor

#endif
