#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstring>
#include <regex>

#include "builders.h"
#include "parser/byte_stream.h"

#if VEXLOR_HAVE_ZLIB
#include <zlib.h>
#endif
#if VEXLOR_HAVE_ZSTD
#include <zstd.h>
#endif
#if VEXLOR_HAVE_LZMA
#include <lzma.h>
#endif
#if VEXLOR_HAVE_BZIP2
#include <bzlib.h>
#endif

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

// Compressors, one per format, with each library's one-shot call.
#if VEXLOR_HAVE_ZLIB
Bytes gzip(const Bytes& d) {
    z_stream z{};
    deflateInit2(&z, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
    Bytes out(deflateBound(&z, d.size()));
    z.next_in = const_cast<Bytef*>(d.data());
    z.avail_in = static_cast<uInt>(d.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}
#endif
#if VEXLOR_HAVE_ZSTD
Bytes zstd(const Bytes& d) {
    // With the content checksum, as the command-line tool writes it.
    ZSTD_CCtx* c = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, 1);
    Bytes out(ZSTD_compressBound(d.size()));
    out.resize(ZSTD_compress2(c, out.data(), out.size(), d.data(), d.size()));
    ZSTD_freeCCtx(c);
    return out;
}
#endif
#if VEXLOR_HAVE_LZMA
Bytes xz(const Bytes& d) {
    Bytes out(lzma_stream_buffer_bound(d.size()));
    std::size_t n = 0;
    lzma_easy_buffer_encode(1, LZMA_CHECK_CRC64, nullptr, d.data(), d.size(), out.data(), &n,
                            out.size());
    out.resize(n);
    return out;
}
#endif
#if VEXLOR_HAVE_BZIP2
Bytes bzip2(const Bytes& d) {
    Bytes out(d.size() + d.size() / 100 + 600);
    auto n = static_cast<unsigned>(out.size());
    // libbz2 refuses a null source, even of no bytes.
    char none = 0;
    char* src = d.empty() ? &none : const_cast<char*>(reinterpret_cast<const char*>(d.data()));
    BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(out.data()), &n, src,
                             static_cast<unsigned>(d.size()), 9, 0, 0);
    out.resize(n);
    return out;
}
#endif

struct Format {
    const char* name;
    Compression kind;
    Bytes (*compress)(const Bytes&);
    Bytes between; // what the format lets stand between members
    Bytes after;   // and after the last one
};

// A zstd skippable frame: magic 0x184D2A5?, length, payload.
const Bytes kSkippable = {0x53, 0x2A, 0x4D, 0x18, 3, 0, 0, 0, 'a', 'b', 'c'};

const std::vector<Format> kFormats = {
#if VEXLOR_HAVE_ZLIB
    {"gzip", Compression::Gzip, gzip, {}, Bytes(7, 0)},
#endif
#if VEXLOR_HAVE_ZSTD
    {"zstd", Compression::Zstd, zstd, kSkippable, kSkippable},
#endif
#if VEXLOR_HAVE_LZMA
    {"xz", Compression::Xz, xz, Bytes(4, 0), Bytes(8, 0)},
#endif
#if VEXLOR_HAVE_BZIP2
    {"bzip2", Compression::Bzip2, bzip2, {}, {}},
#endif
};

struct Outcome {
    Bytes data;
    std::optional<Error> error;
};

// Reads to the end (or the first error) through a buffer of `chunk` bytes.
Outcome read_all(ByteStream& s, std::size_t chunk) {
    Outcome o;
    Bytes buf(chunk);
    for (;;) {
        auto n = s.read(buf);
        if (!n) {
            o.error = n.error();
            return o;
        }
        if (*n == 0) {
            return o;
        }
        o.data.insert(o.data.end(), buf.begin(), buf.begin() + static_cast<long>(*n));
    }
}

Outcome decompress(const Format& f, const Bytes& file, std::size_t chunk = 4096) {
    auto s = decompressing_stream(f.kind, memory_stream(file), "in.cap");
    if (!s) {
        return {{}, s.error()};
    }
    return read_all(**s, chunk);
}

bool is_prefix(const Bytes& part, const Bytes& whole) {
    return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

class Formats : public ::testing::TestWithParam<Format> {};

TEST_P(Formats, RoundTripsThroughAnyBufferSize) {
    const Format& f = GetParam();
    TempDir dir;
    const std::pair<std::size_t, std::size_t> cases[] = {
        {0, 1}, {1000, 1}, {1000, 7}, {3 << 20, 4093}, {3 << 20, 1 << 20}};
    for (const auto& [size, chunk] : cases) {
        const Bytes data = sample(size);
        const Bytes file = f.compress(data);
        write_file(dir / "c", file);
        // From a file, through detection.
        auto s = open_stream(dir / "c");
        ASSERT_TRUE(s) << s.error().message;
        EXPECT_EQ((*s)->compression(), f.kind);
        const Outcome o = read_all(**s, chunk);
        ASSERT_FALSE(o.error) << o.error->message;
        EXPECT_TRUE(o.data == data) << size << " bytes through " << chunk;
        EXPECT_EQ((*s)->consumed(), file.size());
        EXPECT_EQ((*s)->input_size(), file.size());
    }
}

TEST_P(Formats, ConcatenatedMembersReadAsTheirConcatenation) {
    const Format& f = GetParam();
    const Bytes a = sample(300000, 1), b = sample(5000, 2);
    const Bytes file = cat({f.compress(a), f.between, f.compress({}), f.between, f.compress(b),
                            f.compress(a), f.after});
    const Outcome o = decompress(f, file, 1000);
    ASSERT_FALSE(o.error) << o.error->message;
    EXPECT_TRUE(o.data == cat({a, b, a}));
}

TEST_P(Formats, TrailingDataIsRefusedWithItsOffset) {
    const Format& f = GetParam();
    const Bytes member = f.compress(sample(1000));
    const Outcome o = decompress(f, cat({member, {'P', 'K', 3, 4, 0, 0, 0, 0}}));
    ASSERT_TRUE(o.error);
    const std::string unit = f.kind == Compression::Gzip   ? "member"
                             : f.kind == Compression::Zstd ? "frame"
                                                           : "stream";
    EXPECT_EQ(o.error->message, "trailing data after the last " + std::string(f.name) + " " + unit +
                                    " at byte " + std::to_string(member.size()) + " of in.cap");
    EXPECT_TRUE(o.data == sample(1000));
}

// Every cut of two members: the one at their border is a whole file; every
// other is "truncated" at the cut, after a prefix of the data and never more.
TEST_P(Formats, EveryCutIsTruncatedAtItsOffset) {
    const Format& f = GetParam();
    const Bytes a = sample(700, 3), b = sample(500, 4);
    const Bytes first = f.compress(a), file = cat({first, f.compress(b)});
    for (std::size_t cut = 0; cut < file.size(); ++cut) {
        const Outcome o =
            decompress(f, Bytes(file.begin(), file.begin() + static_cast<long>(cut)), 64);
        if (cut == first.size()) {
            EXPECT_FALSE(o.error) << o.error->message;
            EXPECT_TRUE(o.data == a);
            continue;
        }
        ASSERT_TRUE(o.error) << "cut at " << cut;
        EXPECT_EQ(o.error->message, "truncated " + std::string(f.name) + " stream at byte " +
                                        std::to_string(cut) + " of in.cap");
        EXPECT_EQ(o.error->kind, ErrorKind::Runtime);
        EXPECT_TRUE(is_prefix(o.data, cat({a, b}))) << "cut at " << cut;
    }
    // A big member, cut at spread points and around the input buffer's end.
    const Bytes big = sample(3 << 20), whole = f.compress(big);
    std::vector<std::size_t> cuts = {(256 << 10) - 1, 256 << 10, (256 << 10) + 1};
    for (std::size_t i = 1; i < 20; ++i) {
        cuts.push_back(whole.size() * i / 20);
    }
    for (std::size_t cut : cuts) {
        const Outcome o =
            decompress(f, Bytes(whole.begin(), whole.begin() + static_cast<long>(cut)));
        ASSERT_TRUE(o.error) << "cut at " << cut;
        EXPECT_NE(o.error->message.find("truncated"), std::string::npos) << o.error->message;
        EXPECT_TRUE(is_prefix(o.data, big)) << "cut at " << cut;
    }
}

// Every byte flipped in turn: each format checks its data, so the outcome is
// an error of ours or the original data (a flip in an unchecked header field
// such as gzip's time stamp), never other data, never a crash.
TEST_P(Formats, FlippedBytesGiveAnErrorOrTheData) {
    const Format& f = GetParam();
    const Bytes data = sample(2000);
    const Bytes file = f.compress(data);
    const std::string n = f.name;
    const std::regex ours("(corrupt " + n + " stream at byte \\d+ of in.cap: .+|truncated " + n +
                          " stream at byte \\d+ of in.cap|trailing data after the last " + n +
                          " \\w+ at byte \\d+ of in.cap|cannot decompress the " + n +
                          " stream at byte \\d+ of in.cap: .+)");
    for (std::size_t at = 0; at < file.size(); ++at) {
        Bytes bad = file;
        bad[at] ^= 0x41;
        const Outcome o = decompress(f, bad, 333);
        if (o.error) {
            EXPECT_TRUE(std::regex_match(o.error->message, ours)) << o.error->message;
        } else {
            EXPECT_TRUE(o.data == data) << "flip at " << at << " gave other data";
        }
    }
}

// 1 GiB of zeros from a file of a few kilobytes, read 64 KiB at a time: the
// caller's buffer is the only output buffer, so memory stays flat.
TEST_P(Formats, BombReadsInBoundedMemory) {
    const Format& f = GetParam();
    const int status = in_child([&] {
        const Bytes member = f.compress(Bytes(16 << 20, 0));
        Bytes file;
        for (int i = 0; i < 64; ++i) {
            file.insert(file.end(), member.begin(), member.end());
        }
        rusage before{}, after{};
        getrusage(RUSAGE_SELF, &before);
        auto s = decompressing_stream(f.kind, memory_stream(file), "bomb");
        std::uint64_t total = 0;
        const Bytes zeros(64 << 10, 0);
        Bytes buf(zeros.size());
        for (;;) {
            auto n = (*s)->read(buf);
            if (!n || *n == 0 || std::memcmp(buf.data(), zeros.data(), *n) != 0) {
                break;
            }
            total += *n;
        }
        getrusage(RUSAGE_SELF, &after);
        const long grown_kb = after.ru_maxrss - before.ru_maxrss;
        std::fprintf(stderr, "%s: %llu bytes, peak memory grew by %ld KiB\n", f.name,
                     static_cast<unsigned long long>(total), grown_kb);
#if defined(__SANITIZE_ADDRESS__)
        // The sanitizer keeps freed memory in quarantine: its size says nothing here.
        return total == (1ull << 30) ? 0 : 1;
#else
        return total == (1ull << 30) && grown_kb < 100 * 1024 ? 0 : 1;
#endif
    });
    EXPECT_EQ(status, 0);
}

INSTANTIATE_TEST_SUITE_P(Compression, Formats, ::testing::ValuesIn(kFormats),
                         [](const auto& i) { return std::string(i.param.name); });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(Formats);

// Only a build without some library runs this: -DCMAKE_DISABLE_FIND_PACKAGE_zstd=ON.
TEST(DecompressingStream, MissingLibraryIsNamed) {
    for (Compression c :
         {Compression::Gzip, Compression::Zstd, Compression::Xz, Compression::Bzip2}) {
        if (compression_supported(c)) {
            continue;
        }
        const std::string name(compression_name(c));
        auto s = decompressing_stream(c, memory_stream({}), "a.cap");
        ASSERT_FALSE(s);
        EXPECT_EQ(s.error().message, "a.cap is " + name +
                                         "-compressed, and this build of vexlor has no " + name +
                                         " support");
    }
}

TEST(DetectCompression, ByMagicOnly) {
    const std::pair<Bytes, Compression> cases[] = {
        {{0x1F, 0x8B}, Compression::Gzip},
        {{0x28, 0xB5, 0x2F, 0xFD}, Compression::Zstd},
        {{0x50, 0x2A, 0x4D, 0x18}, Compression::Zstd},
        {{0x5F, 0x2A, 0x4D, 0x18}, Compression::Zstd},
        {{0x60, 0x2A, 0x4D, 0x18}, Compression::None},
        {{0xFD, '7', 'z', 'X', 'Z', 0}, Compression::Xz},
        {{0xFD, '7', 'z', 'X', 'Z'}, Compression::None},
        {{'B', 'Z', 'h', '1'}, Compression::Bzip2},
        {{'B', 'Z', 'h', '9'}, Compression::Bzip2},
        {{'B', 'Z', 'h', '0'}, Compression::None},
        {{0x1F}, Compression::None},
        {{}, Compression::None},
        {{0x78, 0x9C}, Compression::None}, // zlib, not gzip
        {{0xD4, 0xC3, 0xB2, 0xA1}, Compression::None},
        {{0x0A, 0x0D, 0x0D, 0x0A}, Compression::None},
    };
    for (const auto& [head, kind] : cases) {
        EXPECT_EQ(detect_compression(head), kind) << ::testing::PrintToString(head);
    }
}

// Detection reads ahead; whatever it read must still come out.
TEST(OpenStream, PlainInputComesOutWhole) {
    TempDir dir;
    for (std::size_t n : {0, 1, 5, 6, 7, 100000}) {
        const Bytes data = cat({{0xD4, 0xC3, 0xB2, 0xA1}, sample(n)});
        write_file(dir / "p", Bytes(data.begin(), data.begin() + static_cast<long>(n)));
        auto s = open_stream(dir / "p");
        ASSERT_TRUE(s) << s.error().message;
        EXPECT_EQ((*s)->compression(), Compression::None);
        const Outcome o = read_all(**s, 3);
        EXPECT_TRUE(o.data == Bytes(data.begin(), data.begin() + static_cast<long>(n))) << n;
        EXPECT_EQ((*s)->consumed(), n);
    }
}

TEST(OpenStream, InputsThatCannotBeReadAreIoErrors) {
    TempDir dir;
    auto missing = open_stream(dir / "a.pcap.gz");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().kind, ErrorKind::Io);
    EXPECT_EQ(missing.error().message,
              "cannot open " + dir / "a.pcap.gz" + ": No such file or directory (os error 2)");
    auto directory = open_stream(dir.path());
    ASSERT_FALSE(directory);
    EXPECT_EQ(directory.error().kind, ErrorKind::Io);
    EXPECT_EQ(directory.error().message,
              "cannot read " + dir.path() + " at byte 0: Is a directory (os error 21)");
}

// Record-sized pieces, some larger than the chunk, come out contiguous and in order.
TEST(StreamReader, HandsOutContiguousPieces) {
    const Bytes data = sample(10000);
    auto s = memory_stream(data);
    StreamReader r(*s, 1000);
    Bytes got;
    for (std::size_t n : {16, 0, 999, 2500, 1, 1000, 4000, 5000}) {
        auto piece = r.next(n);
        ASSERT_TRUE(piece);
        EXPECT_EQ(piece->size(), std::min(n, data.size() - got.size()));
        got.insert(got.end(), piece->begin(), piece->end());
        EXPECT_EQ(r.position(), got.size());
    }
    EXPECT_TRUE(got == data);
}

} // namespace
} // namespace vexlor::test
