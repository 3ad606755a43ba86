// Reading a capture's input: mapped whole, from standard input, or as a stream
// in chunks of any size, which yields exactly what the same bytes yield read
// whole (records, errors, cut-off records).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <optional>
#include <tuple>

#include "parser/byte_stream.h"
#include "reading.h"

namespace vexlor::test {
namespace {

// Bytes that differ from their neighbours, so a chunk read to the wrong place shows.
Bytes counting(std::size_t n) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) {
        b[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    }
    return b;
}

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
    ASSERT_EQ(whole.error, "Invalid PCAP format: packet incl_len 70 exceeds remaining data at "
                           "offset " +
                               std::to_string(file.size()));
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
    const Bytes data = counting(300000); // several read chunks
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

// What a reading yields, cut-off record (offset, bytes dropped) included.
using Read =
    std::tuple<std::vector<Rec>, std::optional<std::string>, std::uint64_t,
               std::vector<std::uint32_t>, std::optional<std::pair<std::uint64_t, std::uint64_t>>>;

Read read_as(const Bytes& file, std::optional<std::size_t> chunk, bool tolerate) {
    ReaderOptions options{.wide = true};
    auto reader =
        chunk ? (options.stream_chunk = *chunk, open_reader(memory_stream(ByteSpan(file)), options))
              : open_reader(SharedBytes::from_vector(file), options);
    if (!reader) {
        return {{}, reader.error().display(), 0, {}, {}};
    }
    (*reader)->tolerate_cut_off(tolerate);
    Reading d = reading(**reader);
    const auto cut_off = (*reader)->cut_off();
    return {std::move(d.records), d.error, d.skipped, d.link_types,
            cut_off ? std::optional(std::pair(cut_off->offset, cut_off->dropped)) : std::nullopt};
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
                const Read whole = read_as(part, std::nullopt, tolerate);
                for (std::size_t chunk : {64, 100, 1 << 20}) {
                    ASSERT_EQ(whole, read_as(part, chunk, tolerate))
                        << name << " cut at " << cut << ", chunk " << chunk;
                }
            }
        }
        // The whole file gives every record.
        EXPECT_TRUE(name.starts_with("huge") || !std::get<0>(read_as(file, 64, false)).empty())
            << name;
    }
}

} // namespace
} // namespace vexlor::test
