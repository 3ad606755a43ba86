// The decompressing stream's own work, shown through gzip: members read as
// their concatenation through any buffer size, and trailing data and cuts
// are errors at their offset; and the tool's way of opening a capture, which
// decompresses what it recognises.  (The other formats' decoders are left to
// the decompression fuzz target.)
#include <gtest/gtest.h>

#include "parser/byte_stream.h"
#include "parser/combined_reader.h"
#include "reading.h"

#if VEXLOR_HAVE_ZLIB
#include <zlib.h>

namespace vexlor::test {
namespace {

// Half repetitive text, half noise: long matches and incompressible runs, so
// that a few megabytes give more compressed input than one input buffer.
Bytes sample(std::size_t n, std::uint32_t seed = 1) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) {
        seed = seed * 1103515245 + 12345;
        b[i] = (i / 512) % 2 ? static_cast<std::uint8_t>(seed >> 16) : "flow data "[i % 10];
    }
    return b;
}

// What a stream gives through a buffer of `chunk` bytes up to its end or its
// first error.
struct Outcome {
    Bytes data;
    std::optional<Error> error;
};
Outcome read_all(ByteStream& s, std::size_t chunk) {
    Outcome o;
    Bytes buf(chunk);
    for (auto n = s.read(buf); !n || *n != 0; n = s.read(buf)) {
        if (!n) {
            o.error = n.error();
            break;
        }
        o.data.insert(o.data.end(), buf.begin(), buf.begin() + static_cast<long>(*n));
    }
    return o;
}
Outcome gunzip(const Bytes& file, std::size_t chunk = 64) {
    return read_all(**decompressing_stream(Compression::Gzip, memory_stream(file), "in.cap"),
                    chunk);
}

TEST(DecompressingStream, MembersReadAsTheirConcatenationThroughAnyBuffer) {
    TempDir dir;
    for (const auto& [size, chunk] : {std::pair{0, 1}, {1000, 7}, {3 << 20, 4093}}) {
        const Bytes data = sample(size), file = gzip(data);
        write_file(dir / "c", file);
        auto s = open_stream(dir / "c"); // through detection
        ASSERT_TRUE(s) << s.error().message;
        EXPECT_EQ((*s)->compression(), Compression::Gzip);
        const Outcome o = read_all(**s, chunk);
        ASSERT_FALSE(o.error) << o.error->message;
        EXPECT_TRUE(o.data == data) << size << " bytes through " << chunk;
        EXPECT_EQ((*s)->consumed(), file.size());
    }
    // Zero bytes may follow the last member.
    const Bytes a = sample(300000, 1), b = sample(5000, 2);
    const Outcome o = gunzip(cat({gzip(a), gzip({}), gzip(b), gzip(a), Bytes(7, 0)}), 1000);
    ASSERT_FALSE(o.error) << o.error->message;
    EXPECT_TRUE(o.data == cat({a, b, a}));
}

// Every cut of two members but the one at their border is "truncated" at the
// cut, after a prefix of the data and never more; so are cuts of a big
// member around the end of the input buffer.
TEST(DecompressingStream, TrailingDataAndCutsAreErrorsAtTheirOffset) {
    const Bytes member = gzip(sample(1000));
    const Outcome trailing = gunzip(cat({member, {'P', 'K', 3, 4, 0, 0, 0, 0}}));
    ASSERT_TRUE(trailing.error);
    EXPECT_EQ(trailing.error->message, "trailing data after the last gzip member at byte " +
                                           std::to_string(member.size()) + " of in.cap");
    EXPECT_TRUE(trailing.data == sample(1000));

    const Bytes a = sample(700, 3), b = sample(500, 4), first = gzip(a),
                two = cat({first, gzip(b)});
    const Bytes big = sample(3 << 20), whole = gzip(big);
    std::vector<std::pair<std::size_t, bool>> cuts; // where, and whether in the big member
    for (std::size_t at = 0; at < two.size(); ++at) {
        if (at != first.size()) {
            cuts.emplace_back(at, false);
        }
    }
    for (std::size_t at : {std::size_t{(256 << 10) - 1}, std::size_t{256 << 10},
                           std::size_t{(256 << 10) + 1}, whole.size() / 2, whole.size() - 1}) {
        cuts.emplace_back(at, true);
    }
    for (const auto& [at, in_big] : cuts) {
        const Outcome o = gunzip(cut(in_big ? whole : two, at));
        ASSERT_TRUE(o.error) << "cut at " << at;
        EXPECT_EQ(o.error->message,
                  "truncated gzip stream at byte " + std::to_string(at) + " of in.cap");
        EXPECT_EQ(o.error->kind, ErrorKind::Runtime);
        const Bytes& data = in_big ? big : cat({a, b});
        EXPECT_TRUE(o.data.size() <= data.size() &&
                    std::equal(o.data.begin(), o.data.end(), data.begin()))
            << "cut at " << at;
    }
}

// The module's reading knows no compression; a plain file is mapped either way.
TEST(OpenCapture, TheToolsReadingDecompressesWhatItRecognises) {
    PcapBuilder b;
    for (std::uint32_t i = 0; i < 12; ++i) {
        b.packet(i, i * 7, repeat(static_cast<std::uint8_t>(i), 1 + i * 37 % 190));
    }
    const Bytes plain = b.bytes(), gz = gzip(plain);
    TempDir dir;
    write_file(dir / "c.pcap.gz", gz);
    auto streamed = open_capture(dir / "c.pcap.gz", InputReading::Streamed);
    ASSERT_TRUE(streamed);
    EXPECT_TRUE((*streamed)->streaming());
    EXPECT_EQ(reading(**streamed).records, reading(plain).records);
    EXPECT_EQ((*streamed)->input_done(), gz.size());
    EXPECT_EQ((*streamed)->input_size(), gz.size());

    auto whole = open_capture(dir / "c.pcap.gz", InputReading::Whole);
    ASSERT_FALSE(whole);
    EXPECT_EQ(whole.error().message, "Unsupported file format (unknown magic number)");
    write_file(dir / "p.pcap", plain);
    auto mapped = open_capture(dir / "p.pcap", InputReading::Streamed);
    ASSERT_TRUE(mapped);
    EXPECT_FALSE((*mapped)->streaming());
    auto missing = open_capture(dir / "none.pcap.gz", InputReading::Streamed);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().kind, ErrorKind::Io);
}

// Several mapped captures read as one stay mapped for as long as the caller
// holds them, so a split may keep referring to frames of inputs the reader
// has finished; one compressed input makes the whole reading a stream.
TEST(OpenCapture, MappedCapturesReadAsOneOutliveTheirReader) {
    TempDir dir;
    std::vector<std::string> paths;
    Bytes expected;
    for (std::uint32_t f = 0; f < 3; ++f) {
        PcapBuilder b;
        for (std::uint32_t i = 0; i < 4; ++i) {
            const auto n = static_cast<std::uint8_t>(f * 4 + i);
            b.packet(10 * (2 - f) + i, 0, repeat(n, 20 + n));
        }
        paths.push_back(dir / ("c" + std::to_string(f) + ".pcap"));
        write_file(paths.back(), b.bytes());
    }
    for (Combine how : {Combine::Concatenate, Combine::Merge}) {
        std::vector<SharedBytes> held;
        std::vector<std::pair<const std::uint8_t*, std::size_t>> frames;
        {
            auto reader = open_combined(paths, how, InputReading::Streamed);
            ASSERT_TRUE(reader);
            EXPECT_FALSE((*reader)->streaming());
            EXPECT_TRUE((*reader)->records_in_written_form());
            held = (*reader)->stable_inputs();
            EXPECT_EQ(held.size(), 3u);
            for (auto r = (*reader)->next_record(); r && *r; r = (*reader)->next_record()) {
                frames.emplace_back((**r).frame.data(), (**r).frame.size());
            }
        }
        // The last file's packets come first: they are the earliest.
        ASSERT_EQ(frames.size(), 12u);
        for (std::size_t i = 0; i < frames.size(); ++i) {
            const auto n = static_cast<std::uint8_t>((2 - i / 4) * 4 + i % 4);
            EXPECT_EQ(Bytes(frames[i].first, frames[i].first + frames[i].second),
                      repeat(n, 20 + n));
        }
    }
    write_file(dir / "c3.pcap.gz", gzip(PcapBuilder{}.packet(1, 0, repeat(1, 30)).bytes()));
    paths.push_back(dir / "c3.pcap.gz");
    auto mixed = open_combined(paths, Combine::Concatenate, InputReading::Streamed);
    ASSERT_TRUE(mixed);
    EXPECT_TRUE((*mixed)->streaming());
    EXPECT_TRUE((*mixed)->stable_inputs().empty());
    EXPECT_EQ(reading(**mixed).records.size(), 13u);
}

} // namespace
} // namespace vexlor::test
#endif
