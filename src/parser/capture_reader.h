// The reader interface shared by the classic pcap and pcapng readers, and
// format detection.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <variant>
#include <vector>

#include "common/shared_bytes.h"
#include "packet/packet.h"
#include "parser/capture_source.h"
#include "parser/parse_error.h"

namespace vexlor {

// One capture record before dissection: the frame is a borrowed view of the
// reader's buffer, valid while the reader (or any holder of its bytes) lives.
struct RawRecord {
    std::uint32_t ts_sec = 0;
    std::uint32_t ts_usec = 0;
    std::uint32_t orig_len = 0;
    std::uint32_t link_type = 0; // the type the frame is dissected with
    std::span<const std::uint8_t> frame;
};

// The incomplete last record of a capture cut off mid-write: where it
// starts and how many bytes of it are there (all dropped).
struct CutOff {
    std::uint64_t offset = 0;
    std::uint64_t dropped = 0;
    // Which input, when several are read as one; empty for a single one.
    std::string input;
    // Of inputs read as one, the cut-off records of earlier inputs.
    std::vector<CutOff> earlier;
};

// next_record's answer: a record, end of data (nullopt), or an error.
using RecordResult = Expected<std::optional<RawRecord>, ParseError>;
using PacketResult = Expected<std::optional<Packet>, ParseError>;

// How a capture is read.  Every field's default is the module's fixed
// reading, which the Python module keeps.
struct ReaderOptions {
    // pcapng as real tools write it: every section's byte order and
    // interfaces (declared anywhere in it) apply to its own packets, each
    // packet takes its interface's link type, obsolete Packet Blocks are
    // packets, and packets of an undeclared interface are skipped and counted.
    bool wide = false;
    // Bytes read from a stream at a time (see CaptureSource).
    std::size_t stream_chunk = std::size_t{4} << 20;
};

class CaptureReader {
public:
    virtual ~CaptureReader() = default;

    // The capture's link-layer type.  Does not move the reader.
    virtual std::uint32_t link_type() const = 0;

    // Whether every record's frame is preceded in the buffer by the 16-byte
    // record header a classic pcap writer (little-endian, microseconds)
    // would write for it, so that header and frame can be copied out as one.
    virtual bool records_in_written_form() const { return false; }

    // The next record without taking a reference on the buffer.  After an
    // error or end of data callers do not call again.
    virtual RecordResult next_record() = 0;

    // The distinct link types of the records read so far, in the order first
    // seen: more than one means that the capture mixes link layers.  Readers
    // whose records all carry link_type() answer with it alone.
    virtual std::vector<std::uint32_t> link_types_seen() const { return {link_type()}; }

    // Records passed over without an error: packets of an interface that was
    // never declared, in a wide pcapng reading.
    virtual std::uint64_t skipped_records() const { return 0; }

    // The next packet, decoded, whose frame holds a reference on the bytes.
    PacketResult next_packet();

    // A counted hold on the frame of the record just read, which keeps it
    // valid after the reader has moved on.
    virtual SharedBytes hold(const RawRecord& r) const { return source_->hold(r.frame); }

    // Whether records are read from a stream: a record's frame is then valid
    // only until the next call, unless held.  Otherwise it lives as long as
    // the reader's buffer (see hold()).
    virtual bool streaming() const { return source_->streaming(); }
    // For a reader that is not streaming, the buffers its frames lie in
    // (the whole capture, or one per capture of several read as one); empty
    // for a streaming one.  Holding them keeps every frame the reader hands
    // out valid, after the reader itself is gone too.
    virtual std::vector<SharedBytes> stable_inputs() const {
        if (streaming()) {
            return {};
        }
        return {source_->whole()};
    }

    // Progress: bytes of the input as stored taken so far (compressed bytes
    // for a compressed stream), safe to read from another thread, and their
    // total where known.
    virtual std::uint64_t input_done() const { return source_->consumed(); }
    virtual std::optional<std::uint64_t> input_size() const { return source_->input_size(); }

    // With `on`, a classic pcap whose last record is cut off inside its
    // frame ends the data after the complete records instead of failing
    // ("Invalid PCAP format: packet incl_len ..."), as a cut-off record
    // header always does.  Either way, once the data has ended, cut_off()
    // tells of the incomplete record that was dropped (pcap or pcapng).
    void tolerate_cut_off(bool on) { tolerate_cut_off_ = on; }
    // With `on`, data that ends inside any record (a pcap record header, a
    // pcapng block) fails the reading instead: "... last record cut off at
    // byte N (M bytes dropped)".  A classic pcap's frame cut off fails as
    // it always does unless tolerated.
    void refuse_cut_off(bool on) { refuse_cut_off_ = on; }
    // The rules of `other`, for a reader that reads part of its input.
    void follow_cut_off_rules(const CaptureReader& other) {
        tolerate_cut_off_ = other.tolerate_cut_off_;
        refuse_cut_off_ = other.refuse_cut_off_;
    }
    const std::optional<CutOff>& cut_off() const { return cut_off_; }
    bool refuses_cut_off() const { return refuse_cut_off_; }

protected:
    explicit CaptureReader(std::unique_ptr<CaptureSource> source) : source_(std::move(source)) {}
    // Called once the data has been found to end inside the record at
    // `offset`, so that its end is known.
    void note_cut_off(std::uint64_t offset) {
        cut_off_ = CutOff{offset, source_->end().value_or(offset) - offset, {}, {}};
    }
    // The data ends inside the record at `offset`: noted, and the end of
    // the records, or the error of a reader that refuses cut-off records.
    RecordResult end_cut_off(std::uint64_t offset, bool pcapng) {
        if (auto cut = data_end(); !cut) {
            return cut; // cut by another program, not by its writer
        }
        // A stream that has not ended: the record's length asked for more
        // than a window holds, which only a damaged length does.  The
        // tool's readings say so; the module's ends the data there.
        if (!source_->end() && (tolerate_cut_off_ || refuse_cut_off_)) {
            std::string what = "record at byte " + std::to_string(offset) +
                               " claims more than the " + std::to_string(kMaxRecordWindow >> 20) +
                               " MiB a record may take (a damaged length)";
            return std::unexpected(pcapng ? ParseError::invalid_pcapng(std::move(what))
                                          : ParseError::invalid_pcap(std::move(what)));
        }
        note_cut_off(offset);
        if (!refuse_cut_off_) {
            return std::nullopt;
        }
        std::string what = "last record cut off at byte " + std::to_string(cut_off_->offset) +
                           " (" + std::to_string(cut_off_->dropped) +
                           (cut_off_->dropped == 1 ? " byte" : " bytes") + " dropped)";
        return std::unexpected(pcapng ? ParseError::invalid_pcapng(std::move(what))
                                      : ParseError::invalid_pcap(std::move(what)));
    }
    // The end of the records; instead an error when the mapped input was
    // cut short under us (the page it now ends in reads as zeros without
    // any fault).  One look at the file, at the end of each input, so that
    // an input read as one of many is looked at before it is let go.
    RecordResult data_end() const {
        if (!source_->streaming() && source_->whole().cut_short()) {
            return std::unexpected(
                ParseError::stream(Error{ErrorKind::Runtime, kInputCutWhileRead}));
        }
        return std::nullopt;
    }
    // source_->window(), with an I/O failure of a stream as the reader's error.
    // Records are read in file order, so the window also asks the memory
    // for the next kReadAhead bytes: the next records' headers are then in
    // cache when their turn comes, instead of each costing a wait (records
    // are too short for the processor's own prefetcher to get ahead).
    Expected<ByteSpan, ParseError> window(std::uint64_t offset, std::size_t want);
    static constexpr std::size_t kReadAhead = 4096;

    std::unique_ptr<CaptureSource> source_;
    std::uint64_t fetched_to_ = 0; // offset up to which lines were asked for
    bool tolerate_cut_off_ = false;
    bool refuse_cut_off_ = false;
    std::optional<CutOff> cut_off_;
};

// Recognises the format by its magic number and opens the matching reader.
Expected<std::unique_ptr<CaptureReader>, ParseError> open_reader(SharedBytes bytes,
                                                                 ReaderOptions options = {});
// The same over a stream read front to back in bounded memory: see
// open_stream() for one that takes off a compression.
Expected<std::unique_ptr<CaptureReader>, ParseError> open_reader(std::unique_ptr<ByteStream> stream,
                                                                 ReaderOptions options = {});

// How much of a compressed input that is no capture is decompressed to look
// for damage before it is called a file of another kind.
inline constexpr std::size_t kDamageLook = std::size_t{1} << 20;

// How a driver reads its input.  Whole: "-" reads standard input to its end,
// a file is mapped, and the reader's buffer is the whole capture.  Streamed:
// the input is read front to back in bounded memory, and a compressed one
// (gzip, zstd, xz or bzip2, known by its first bytes) is decompressed on the
// way; a plain file is still mapped, which costs nothing and keeps frames
// where they are.
enum class InputReading { Whole, Streamed };

// Opens `path` as InputReading says.  Failures to open or read the input
// are I/O errors; a capture's own faults are ParseError texts, as runtime
// errors.
Result<std::unique_ptr<CaptureReader>> open_capture(std::string_view path, InputReading reading,
                                                    ReaderOptions options = {});

// Loads a whole capture: "-" reads standard input into an owned buffer,
// anything else maps the file read-only.  I/O failures come back as I/O
// errors with the system's text.
Result<SharedBytes> read_input_bytes(std::string_view path);

} // namespace vexlor
