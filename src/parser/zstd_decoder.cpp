// zstd frames (skippable ones included) through libzstd.
#include <algorithm>
#include <memory>

#include "parser/stream_decoder.h"

#if VEXLOR_HAVE_ZSTD

#include <zstd.h>
#include <zstd_errors.h>

namespace vexlor {
namespace {

// The largest window a frame may ask for: 2^27 = 128 MiB, libzstd's own
// default, stated here so the bound on a hostile header is ours to see.
// Files made with a larger window (--long=31) are refused.
constexpr int kZstdWindowLogMax = 27;

// Input given to libzstd at a time (see ZstdDecoder::decode).
constexpr std::size_t kPiece = 16 * 1024;

struct DctxFree {
    void operator()(ZSTD_DCtx* d) const { ::ZSTD_freeDCtx(d); }
};

class ZstdDecoder final : public StreamDecoder {
public:
    explicit ZstdDecoder(ZSTD_DCtx* ctx) : ctx_(ctx) {}

    // The input is given to libzstd a piece at a time: on an error it does
    // not say how much it took, and the damage is reported as found by the
    // end of the piece it was found in, not at the start of all it was given.
    DecodeStep decode(ByteSpan in, std::span<std::uint8_t> out) override {
        ZSTD_outBuffer ob{out.data(), out.size(), 0};
        std::size_t used = 0;
        for (;;) {
            const std::size_t piece = std::min(in.size() - used, kPiece);
            ZSTD_inBuffer ib{in.data() + used, piece, 0};
            const std::size_t rc = ::ZSTD_decompressStream(ctx_.get(), &ob, &ib);
            if (::ZSTD_isError(rc)) {
                DecodeStep step(used + piece, ob.pos);
                step.event = ::ZSTD_getErrorCode(rc) == ZSTD_error_frameParameter_windowTooLarge
                                 ? DecodeStep::Event::TooBig
                                 : DecodeStep::Event::Corrupt;
                step.detail = step.event == DecodeStep::Event::TooBig
                                  ? "its window is larger than the limit of 128 MiB"
                                  : ::ZSTD_getErrorName(rc);
                return step;
            }
            used += ib.pos;
            if (rc == 0) {
                // 0: the frame is whole and all its output given out.  The
                // next frame, if any, is decoded by the same context.
                DecodeStep step(used, ob.pos);
                step.event = DecodeStep::Event::MemberEnd;
                return step;
            }
            // A piece not taken whole: the output is full.
            if (ib.pos < piece || used == in.size() || ob.pos == ob.size) {
                return DecodeStep(used, ob.pos);
            }
        }
    }

    Status restart() override { return {}; }

private:
    std::unique_ptr<ZSTD_DCtx, DctxFree> ctx_;
};

} // namespace

Result<std::unique_ptr<StreamDecoder>> make_zstd_decoder() {
    ZSTD_DCtx* ctx = ::ZSTD_createDCtx();
    if (ctx == nullptr) {
        return decoder_setup_error("zstd", "out of memory");
    }
    auto d = std::make_unique<ZstdDecoder>(ctx);
    const std::size_t rc = ::ZSTD_DCtx_setParameter(ctx, ZSTD_d_windowLogMax, kZstdWindowLogMax);
    if (::ZSTD_isError(rc)) {
        return decoder_setup_error("zstd", ::ZSTD_getErrorName(rc));
    }
    return d;
}

} // namespace vexlor

#endif
