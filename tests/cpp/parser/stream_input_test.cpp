// Captures read as streams, in chunks of any size, yield exactly what the
// same bytes yield read whole: records, errors, cut-off records.
#include <gtest/gtest.h>

#include "reading.h"

namespace vexlor::test {
namespace {

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

Bytes frame(std::uint8_t n, std::size_t len) {
    Bytes f = repeat(n, len);
    f[0] = static_cast<std::uint8_t>(len);
    return f;
}

// Records of many sizes, some larger than the smallest chunk, so that
// records start, end and straddle chunks everywhere.
Bytes pcap_file(bool big) {
    PcapBuilder b;
    b.big_endian = big;
    for (std::uint8_t i = 0; i < 12; ++i) {
        b.packet(i, i * 7u, frame(i, 1 + (i * 37u) % 190));
    }
    return b.bytes();
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
        {"pcap", pcap_file(false)},
        {"big-endian pcap", pcap_file(true)},
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

TEST(StreamedReading, FramesHeldOutliveTheChunksTheyCameFrom) {
    const Bytes file = pcap_file(false);
    auto reader = open_reader(memory_stream(ByteSpan(file)), ReaderOptions{.stream_chunk = 64});
    ASSERT_TRUE(reader);
    EXPECT_TRUE((*reader)->streaming());
    std::vector<Packet> packets;
    for (;;) {
        auto p = (*reader)->next_packet();
        ASSERT_TRUE(p);
        if (!*p) {
            break;
        }
        packets.push_back(std::move(**p));
    }
    reader->reset();
    const Reading whole = reading(file);
    ASSERT_EQ(packets.size(), whole.records.size());
    for (std::size_t i = 0; i < packets.size(); ++i) {
        EXPECT_EQ(Bytes(packets[i].bytes().begin(), packets[i].bytes().end()),
                  whole.records[i].frame);
    }
}

} // namespace
} // namespace vexlor::test
