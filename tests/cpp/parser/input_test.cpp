// Reading a capture's input: mapped whole, from standard input, or as a stream
// in chunks of any size, which yields exactly what the same bytes yield read
// whole (records, errors, cut-off records).  The decompressing stream's own
// work, shown through gzip: members read as their concatenation through any
// buffer size, and trailing data and cuts are errors at their offset; and the
// tool's way of opening a capture, which decompresses what it recognises.
// (The other formats' decoders are left to the decompression fuzz target.)
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <optional>

#include "parser/byte_stream.h"
#include "parser/combined_reader.h"
#include "reading.h"

namespace vexlor::test {
namespace {

// A frame of `len` bytes of `n` that starts with its own length.
Bytes frame(std::uint8_t n, std::size_t len) {
    Bytes f = repeat(n, len);
    f[0] = static_cast<std::uint8_t>(len);
    return f;
}

// Records of many sizes, some larger than the smallest chunk, so that
// records start, end and straddle chunks everywhere.
PcapBuilder pcap(bool big) {
    PcapBuilder b{.big_endian = big};
    for (std::uint8_t i = 0; i < 12; ++i) {
        b.packet(i, i * 7u, frame(i, 1 + (i * 37u) % 190));
    }
    return b;
}

// Packets outlive their reader and their file: read whole, their frames are
// slices of the mapping itself; streamed, of chunks the reader has let go.
// A reader error comes through next_packet, after the packets before it.
TEST(Input, PacketsOutliveTheirReaderAndFile) {
    const Bytes file = pcap(false).packet(12, 0, {}, 60).record(13, 0, 70, 70, {}).bytes();
    const Reading whole = reading(file);
    ASSERT_EQ(whole.records.size(), 13u);
    ASSERT_EQ(whole.error, incl_len_error(70, file.size()));
    for (bool streamed : {false, true}) {
        std::optional<TempDir> dir(std::in_place);
        const std::string path = *dir / "p.pcap";
        write_file(path, file);
        auto reader = streamed ? open_reader(std::move(*open_stream(path)), {.stream_chunk = 64})
                               : open_reader(std::move(*read_input_bytes(path)));
        ASSERT_TRUE(reader);
        EXPECT_EQ((*reader)->streaming(), streamed);
        std::vector<Packet> packets;
        auto p = (*reader)->next_packet();
        for (; p && *p; p = (*reader)->next_packet()) {
            packets.push_back(std::move(**p));
        }
        ASSERT_FALSE(p);
        EXPECT_EQ(p.error().display(), whole.error);
        if (!streamed) { // no copy
            EXPECT_EQ(packets[0].data.data(), (*reader)->stable_inputs().front().data() + 40);
        }
        reader->reset();
        dir.reset();
        ASSERT_EQ(packets.size(), whole.records.size());
        for (std::size_t i = 0; i < packets.size(); ++i) {
            const Packet& q = packets[i];
            EXPECT_EQ((Rec{q.ts_sec, q.ts_usec, q.orig_len, 1,
                           Bytes(q.bytes().begin(), q.bytes().end())}),
                      whole.records[i])
                << i << (streamed ? " streamed" : " mapped");
        }
    }
}

// Runs read_input_bytes("-") with `fd` standing in for standard input; -1
// runs it with standard input closed.
Result<SharedBytes> read_stdin_from(int fd) {
    const int saved = ::dup(STDIN_FILENO);
    fd >= 0 ? ::dup2(fd, STDIN_FILENO) : ::close(STDIN_FILENO);
    auto bytes = read_input_bytes("-");
    ::dup2(saved, STDIN_FILENO);
    ::close(saved);
    return bytes;
}

TEST(Input, StandardInput) {
    TempDir dir;
    const Bytes data = sample(300000); // several read chunks
    write_file(dir / "in", data);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    // Room in the pipe for all of it spares a writer thread.
    ASSERT_GT(::fcntl(fds[1], F_SETPIPE_SZ, 1 << 19), 0);
    ASSERT_EQ(::write(fds[1], data.data(), data.size()), static_cast<ssize_t>(data.size()));
    ::close(fds[1]);
    // A redirected file tells its size, a pipe does not, and standard input
    // closed before the call has nothing to read.
    for (int fd : {::open((dir / "in").c_str(), O_RDONLY), fds[0], -1}) {
        auto bytes = read_stdin_from(fd);
        ASSERT_TRUE(bytes) << bytes.error().message;
        EXPECT_EQ(Bytes(bytes->span().begin(), bytes->span().end()), fd < 0 ? Bytes{} : data);
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

// ---- streamed reading ---------------------------------------------------------------------------

// What a wide reading yields, cut-off record included, of the file read whole
// or streamed in chunks of `chunk` bytes.
Reading read_as(const Bytes& file, std::optional<std::size_t> chunk, bool tolerate) {
    ReaderOptions options{.wide = true};
    auto reader =
        chunk ? (options.stream_chunk = *chunk, open_reader(memory_stream(ByteSpan(file)), options))
              : open_reader(SharedBytes::from_vector(file), options);
    if (!reader) {
        return {{}, reader.error().display()};
    }
    (*reader)->tolerate_cut_off(tolerate);
    return reading(**reader);
}

// Two sections of opposite byte order, a late interface of another link
// type, padding, an SPB and an obsolete Packet Block.
Bytes pcapng_file() {
    PcapngBuilder a;
    a.shb().idb(1).epb(0, 5, frame(1, 150)).spb(frame(2, 33), 40).idb(113, 9);
    a.epb(1, 7000000001, frame(3, 61))
        .block(2, cat({Bytes{0, 0, 0, 0}, Bytes(16, 0), frame(4, 8)}));
    PcapngBuilder b;
    b.big_endian = true;
    b.shb().idb(101).epb(0, 99, frame(5, 77)).epb(0, 100, frame(6, 3));
    return cat({a.bytes(), b.bytes()});
}

// Besides those files, a record length of 4 GiB in a small file (a cut-off
// record either way) and a pcapng block of 572 MB, whose reading resumes after
// its head: neither may be read ahead of.
TEST(StreamedReading, AgreesWithTheWholeReadingAtEveryCutAndChunkSize) {
    PcapngBuilder huge_block;
    huge_block.shb().block(0x22222222, repeat(0x22, 8), 0x22222222).idb(1).epb(0, 5, frame(2, 40));
    const std::vector<std::pair<std::string, Bytes>> files = {
        {"pcap", pcap(false).bytes()},
        {"big-endian pcap", pcap(true).bytes()},
        {"pcapng", pcapng_file()},
        {"huge record", PcapBuilder{}.record(1, 0, 0xFFFFFFF0u, 60, frame(1, 20)).bytes()},
        {"huge block", huge_block.bytes()}};
    for (const auto& [name, file] : files) {
        for (std::size_t cut = 0; cut <= file.size(); ++cut) {
            const Bytes part = vexlor::test::cut(file, cut);
            for (bool tolerate : {false, true}) {
                const Reading whole = read_as(part, std::nullopt, tolerate);
                for (std::size_t chunk : {64, 100, 1 << 20}) {
                    ASSERT_EQ(whole, read_as(part, chunk, tolerate))
                        << name << " cut at " << cut << ", chunk " << chunk;
                }
            }
        }
        // The whole file gives every record.
        EXPECT_TRUE(name.starts_with("huge") || !read_as(file, 64, false).records.empty()) << name;
    }
}

// ---- compressed input ---------------------------------------------------------------------------

#if VEXLOR_HAVE_ZLIB

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

// The tool's reading decompresses what it recognises, where the module's
// knows no compression; a plain file is mapped either way.  Several mapped
// captures read as one stay mapped for as long as the caller holds them, so a
// split may keep referring to frames of inputs the reader has finished; one
// compressed input makes the whole reading a stream.
TEST(OpenCapture, MapsPlainCapturesAndStreamsCompressedOnes) {
    TempDir dir;
    std::vector<std::string> paths;
    for (std::uint32_t f = 0; f < 3; ++f) {
        PcapBuilder b;
        for (std::uint32_t i = 0; i < 4; ++i) {
            const auto n = static_cast<std::uint8_t>(f * 4 + i);
            b.packet(10 * (2 - f) + i, 0, repeat(n, 20 + n));
        }
        paths.push_back(dir / ("c" + std::to_string(f) + ".pcap"));
        write_file(paths.back(), b.bytes());
    }
    const Bytes plain = file_bytes(paths[0]), gz = gzip(plain);
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
    auto mapped = open_capture(paths[0], InputReading::Streamed);
    ASSERT_TRUE(mapped);
    EXPECT_FALSE((*mapped)->streaming());
    auto missing = open_capture(dir / "none.pcap.gz", InputReading::Streamed);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().kind, ErrorKind::Io);

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
    paths.push_back(dir / "c.pcap.gz");
    auto mixed = open_combined(paths, Combine::Concatenate, InputReading::Streamed);
    ASSERT_TRUE(mixed);
    EXPECT_TRUE((*mixed)->streaming());
    EXPECT_TRUE((*mixed)->stable_inputs().empty());
    EXPECT_EQ(reading(**mixed).records.size(), 16u);
}
#endif

} // namespace
} // namespace vexlor::test
