// bzip2 streams through libbz2.
#include "parser/stream_decoder.h"

#if VEXLOR_HAVE_BZIP2

#include <bzlib.h>

#include <algorithm>
#include <climits>

namespace vexlor {
namespace {

const char* bzip2_text(int rc) {
    switch (rc) {
    case BZ_DATA_ERROR:
        return "data integrity error";
    case BZ_DATA_ERROR_MAGIC:
        return "bad magic number";
    case BZ_MEM_ERROR:
        return "cannot allocate memory";
    default:
        return "internal error";
    }
}

class Bzip2Decoder final : public StreamDecoder {
public:
    Bzip2Decoder() = default;
    Bzip2Decoder(const Bzip2Decoder&) = delete;
    Bzip2Decoder& operator=(const Bzip2Decoder&) = delete;
    ~Bzip2Decoder() override { end(); }

    // libbz2 cannot reset a decompressor, and refuses to go on after a
    // stream's end: each stream gets a fresh one.
    Status restart() override {
        end();
        // Verbosity 0; small 0: the faster decoder (about 3.7 MB for the
        // largest block size) rather than the one of half the memory.
        const int rc = ::BZ2_bzDecompressInit(&b_, 0, 0);
        if (rc != BZ_OK) {
            return decoder_setup_error("bzip2", bzip2_text(rc));
        }
        ready_ = true;
        return {};
    }

    DecodeStep decode(ByteSpan in, std::span<std::uint8_t> out) override {
        // libbz2 counts in 32-bit units, and its input pointer is not const
        // although it only reads through it.
        const auto in_size = static_cast<unsigned>(std::min<std::size_t>(in.size(), UINT_MAX));
        const auto out_size = static_cast<unsigned>(std::min<std::size_t>(out.size(), UINT_MAX));
        b_.next_in = const_cast<char*>(reinterpret_cast<const char*>(in.data()));
        b_.avail_in = in_size;
        b_.next_out = reinterpret_cast<char*>(out.data());
        b_.avail_out = out_size;
        const int rc = ::BZ2_bzDecompress(&b_);
        DecodeStep step(in_size - b_.avail_in, out_size - b_.avail_out);
        if (rc == BZ_STREAM_END) {
            step.event = DecodeStep::Event::MemberEnd;
        } else if (rc != BZ_OK) {
            step.event = DecodeStep::Event::Corrupt;
            step.detail = bzip2_text(rc);
        }
        return step;
    }

private:
    void end() {
        if (ready_) {
            ::BZ2_bzDecompressEnd(&b_);
            ready_ = false;
        }
    }

    bz_stream b_{};
    bool ready_ = false;
};

} // namespace

Result<std::unique_ptr<StreamDecoder>> make_bzip2_decoder() {
    return start_decoder<Bzip2Decoder>();
}

} // namespace vexlor

#endif
