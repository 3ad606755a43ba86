// Capture input on arbitrary bytes: open_reader, link_type, then next_packet
// to the end.  Every record must lie inside the input, reading must end (end
// of data or an error) without a crash, and a classic pcap file must read
// exactly as its record headers say.  The wide pcapng reading goes over every
// input too, under the same bounds.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "common/byte_reader.h"
#include "fuzz_util.h"
#include "packet/packet.h"
#include "parser/byte_stream.h"
#include "parser/capture_reader.h"

namespace {

using namespace vexlor;
using fuzz::require;

// A classic pcap file walked straight from its format: 24-byte global header,
// then 16-byte record headers each followed by incl_len frame bytes.  A
// cut-off header ends the data, cut-off frame bytes are an error.
class ClassicModel {
public:
    static std::optional<ClassicModel> open(ByteSpan b) {
        if (b.size() < 24) {
            return std::nullopt;
        }
        ClassicModel m;
        m.b_ = b;
        switch (load_le<std::uint32_t>(b.data())) {
        case 0xA1B2C3D4:
            break;
        case 0xA1B23C4D:
            m.nano_ = true;
            break;
        case 0xD4C3B2A1:
            m.endian_ = Endian::Big;
            break;
        case 0x4D3CB2A1:
            m.endian_ = Endian::Big;
            m.nano_ = true;
            break;
        default:
            return std::nullopt;
        }
        m.link_type_ = load<std::uint32_t>(b.data() + 20, m.endian_);
        return m;
    }

    std::uint32_t link_type() const { return link_type_; }

    // The next record as (ts_sec, ts_usec, orig_len, frame offset, frame
    // length); nullopt at the end; `error` set for a cut-off frame.
    struct Rec {
        std::uint32_t ts_sec, ts_usec, orig_len;
        std::uint64_t frame_at, frame_len;
    };
    std::optional<Rec> next(bool& error) {
        error = false;
        if (b_.size() - off_ < 16) {
            return std::nullopt;
        }
        const std::uint8_t* h = b_.data() + off_;
        Rec r{load<std::uint32_t>(h, endian_), load<std::uint32_t>(h + 4, endian_),
              load<std::uint32_t>(h + 12, endian_), off_ + 16, load<std::uint32_t>(h + 8, endian_)};
        if (nano_) {
            r.ts_usec /= 1000;
        }
        if (r.frame_len > b_.size() - r.frame_at) {
            error = true;
            return std::nullopt;
        }
        off_ = r.frame_at + r.frame_len;
        return r;
    }

private:
    ByteSpan b_;
    std::uint64_t off_ = 24;
    Endian endian_ = Endian::Little;
    bool nano_ = false;
    std::uint32_t link_type_ = 0;
};

// Reads `bytes` to the end in the wide reading: frames inside the input, no
// more packets and skipped records than blocks, each packet's link type
// among those reported.  Gives the number of packets, or nullopt when the
// input did not open.
std::optional<std::size_t> read_wide(const SharedBytes& bytes, bool pcapng) {
    const std::uint8_t* begin = bytes.data();
    const std::size_t size = bytes.size();
    auto reader = open_reader(bytes, {.wide = true});
    if (!reader) {
        return std::nullopt;
    }
    const std::size_t bound = size / 8 + 1;
    std::size_t count = 0;
    for (;;) {
        auto r = (*reader)->next_record();
        if (!r || !*r) {
            break;
        }
        require(++count + (*reader)->skipped_records() <= bound,
                "wide: more records than the input can hold");
        const RawRecord& rec = **r;
        require(rec.frame.empty() || (rec.frame.data() >= begin &&
                                      rec.frame.data() + rec.frame.size() <= begin + size),
                "wide: frame outside the input");
        require(!pcapng || rec.ts_usec < 1000000, "wide: pcapng microseconds of a second or more");
        const auto seen = (*reader)->link_types_seen();
        require(std::find(seen.begin(), seen.end(), rec.link_type) != seen.end(),
                "wide: a record's link type is not among those seen");
        // Each interface's own link type reaches the dissector.
        const Dissection d = dissect_frame(rec.frame, rec.link_type);
        (void)d;
    }
    require(pcapng || (*reader)->skipped_records() == 0, "wide: classic pcap skipped records");
    return count;
}

// The same input read as a stream in small chunks (records straddle them
// everywhere) must give what the whole reading gives: records, the error,
// the cut-off record.
void stream_agrees(const SharedBytes& bytes, std::size_t chunk) {
    struct Read {
        std::vector<std::tuple<std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t,
                               std::vector<std::uint8_t>>>
            records;
        std::string end;
    };
    auto read = [&](auto reader) {
        Read out;
        if (!reader) {
            out.end = reader.error().display();
            return out;
        }
        (*reader)->tolerate_cut_off(chunk % 2 == 1);
        for (std::size_t n = 0; n < bytes.size() / 8 + 1; ++n) {
            auto r = (*reader)->next_record();
            if (!r || !*r) {
                out.end = r ? "end" : r.error().display();
                break;
            }
            const RawRecord& rec = **r;
            out.records.emplace_back(rec.ts_sec, rec.ts_usec, rec.orig_len, rec.link_type,
                                     std::vector<std::uint8_t>(rec.frame.begin(), rec.frame.end()));
        }
        if (const auto& c = (*reader)->cut_off()) {
            out.end += " cut " + std::to_string(c->offset) + "+" + std::to_string(c->dropped);
        }
        return out;
    };
    const ReaderOptions options{.wide = true, .stream_chunk = chunk};
    const Read whole = read(open_reader(bytes, options));
    const Read streamed = read(open_reader(memory_stream(bytes.span()), options));
    require(whole.records == streamed.records && whole.end == streamed.end,
            "a streamed reading differs from the whole reading", whole.end + " / " + streamed.end);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // An owned buffer of exactly the input's size: a read past it is a
    // sanitizer report.
    auto bytes = SharedBytes::from_vector(std::vector<std::uint8_t>(data, data + size));
    const std::uint8_t* begin = bytes.data();
    const ByteSpan input(begin, size);
    const bool pcapng = size >= 4 && load_le<std::uint32_t>(begin) == 0x0A0D0D0A;
    std::optional<ClassicModel> model = ClassicModel::open(input);

    const std::optional<std::size_t> wide_count = read_wide(bytes, pcapng);
    stream_agrees(bytes, 64 + size % 61);
    auto reader = open_reader(bytes);
    if (!reader) {
        require(!model, "a classic pcap header was refused", reader.error().to_error().message);
        require(!wide_count || pcapng, "wide: opened what the default reading refuses");
        return 0;
    }
    require(model.has_value() || pcapng, "a reader for an unknown format");
    const std::uint32_t link_type = (*reader)->link_type();
    if (model) {
        require(link_type == model->link_type(), "classic link type differs from the header");
    }

    // Each record is at least one block or record header long, so a reader
    // that yields more packets than that has stopped moving forward.
    const std::size_t bound = size / 8 + 1;
    std::size_t count = 0;
    for (;;) {
        auto p = (*reader)->next_packet();
        bool model_error = false;
        std::optional<ClassicModel::Rec> expect;
        if (model) {
            expect = model->next(model_error);
        }
        if (!p) {
            require(!model || model_error, "classic reader failed where the format allows more",
                    p.error().to_error().message);
            break;
        }
        if (!*p) {
            require(!model || (!expect && !model_error),
                    "classic reader ended early or missed a cut-off frame");
            break;
        }
        require(++count <= bound, "more packets than the input can hold");
        const Packet& pk = **p;
        require(pk.caplen == pk.data.size(), "caplen is not the frame length");
        require(pk.caplen == 0 ||
                    (pk.data.data() >= begin && pk.data.data() + pk.caplen <= begin + size),
                "frame outside the input");
        require(!pk.payload_offset || *pk.payload_offset <= pk.caplen,
                "payload offset past the frame");
        if (pcapng) {
            require(pk.ts_usec < 1000000, "pcapng microseconds of a second or more");
        }
        if (model) {
            require(expect.has_value(), "classic reader yields a packet the format does not have");
            require(pk.ts_sec == expect->ts_sec && pk.ts_usec == expect->ts_usec &&
                        pk.orig_len == expect->orig_len && pk.caplen == expect->frame_len &&
                        (pk.caplen == 0 ||
                         static_cast<std::uint64_t>(pk.data.data() - begin) == expect->frame_at),
                    "classic record differs from its header");
        }
    }
    // The wide reading changes pcapng only.
    require(pcapng || wide_count == count, "wide: classic pcap read differently");
    // Packets keep the input alive on their own: release the reader first,
    // then touch a packet's bytes.
    auto again = open_reader(bytes);
    if (again) {
        auto first = (*again)->next_packet();
        again->reset();
        bytes = SharedBytes();
        if (first && *first && (*first)->caplen) {
            volatile std::uint8_t sink = (*first)->data.data()[(*first)->caplen - 1];
            (void)sink;
        }
    }
    return 0;
}
