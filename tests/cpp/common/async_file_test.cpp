#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "builders.h"
#include "common/async_file.h"

namespace vexlor {
namespace {

using test::Bytes;

AsyncFile open_file(const std::string& path, int flags, std::size_t buffer) {
    auto f = AsyncFile::open(UniqueFd(::open(path.c_str(), flags | O_CLOEXEC, 0666)), buffer);
    EXPECT_TRUE(f.has_value());
    return std::move(*f);
}

// Where referred-to bytes come from: memory, a mapped file sent with
// sendfile(), a name that is another file now, or a "file" that sendfile()
// refuses (a pipe); the last two go through memory after all.
enum class Source { Memory, SentFromFile, Replaced, Refused };

FileIdentity identity(int fd) {
    struct stat st {};
    EXPECT_EQ(::fstat(fd, &st), 0);
    return FileIdentity{st.st_dev, st.st_ino};
}

class AsyncFileSource : public ::testing::TestWithParam<Source> {};

// Copies shorter and longer than a buffer, and references to bytes that stay
// put, arrive whole and in order: references that continue each other, short
// ones (copied), and enough of them to fill a buffer's quota of pieces and of
// referenced bytes several times over.  flush() puts everything on disk, and
// a file dropped without close() still gets what was buffered.
TEST_P(AsyncFileSource, WritesEverythingInOrder) {
    test::TempDir dir;
    const std::string path = dir / "out";
    const Bytes bytes = test::sample(std::size_t{12} << 20, 3);
    test::write_file(dir / "in", bytes);
    UniqueFd in(::open((dir / "in").c_str(), O_RDONLY | O_CLOEXEC));
    void* mapped = ::mmap(nullptr, bytes.size(), PROT_READ, MAP_SHARED, in.get(), 0);
    ASSERT_NE(mapped, MAP_FAILED);
    const std::span<const std::uint8_t> source(static_cast<const std::uint8_t*>(mapped),
                                               bytes.size());
    int pipe_fds[2];
    ASSERT_EQ(::pipe(pipe_fds), 0);
    UniqueFd pipe_in(pipe_fds[0]), pipe_out(pipe_fds[1]);
    Bytes want;
    const auto wrote = [&](std::span<const std::uint8_t> b) {
        want.insert(want.end(), b.begin(), b.end());
    };
    {
        AsyncFile f = open_file(path, O_WRONLY | O_CREAT | O_TRUNC, 4096);
        if (GetParam() == Source::SentFromFile) {
            f.add_source(dir / "in", identity(in.get()), 0, source, true);
        } else if (GetParam() == Source::Replaced) {
            f.add_source(path, identity(in.get()), 0, source, true);
        } else if (GetParam() == Source::Refused) {
            f.add_source("/proc/self/fd/" + std::to_string(pipe_in.get()), identity(pipe_in.get()),
                         0, source, true);
        }
        std::uint32_t seed = 0;
        for (std::size_t n : {0, 1, 4095, 4096, 4097, 10000, 5, 128}) {
            const Bytes b = test::sample(n, seed++);
            ASSERT_TRUE(f.write(b));
            wrote(b);
        }
        ASSERT_TRUE(f.flush());
        EXPECT_EQ(test::file_bytes(path), want);
        std::size_t at = 0;
        for (std::size_t i = 0; at < source.size(); ++i) {
            const std::size_t n =
                std::min<std::size_t>(source.size() - at, i % 7 == 0   ? 5
                                                          : i % 3 == 0 ? 3000
                                                                       : 200 + i % 90);
            const std::span<const std::uint8_t> piece(source.data() + at, n);
            ASSERT_TRUE(f.write_stable(piece));
            wrote(piece);
            if (i % 5 == 0) { // a copy between references; else they continue each other
                const Bytes b = test::sample(i % 50, static_cast<std::uint32_t>(i));
                ASSERT_TRUE(f.write(b));
                wrote(b);
            }
            at += i % 11 == 0 ? n + 17 : n; // now and then a gap in the source
        }
        // One reference longer than any buffer takes, cut where buffers end.
        ASSERT_TRUE(f.write_stable(source));
        wrote(source);
        AsyncFile moved = std::move(f); // the moved-from file owns nothing
        EXPECT_FALSE(f.is_open());
    }
    EXPECT_TRUE(test::file_bytes(path) == want);
    ::munmap(mapped, bytes.size());
}

INSTANTIATE_TEST_SUITE_P(Sources, AsyncFileSource,
                         ::testing::Values(Source::Memory, Source::SentFromFile, Source::Replaced,
                                           Source::Refused));

// A failed write of the thread is reported by a later call, and every call
// after it fails the same way, close() included.
TEST(AsyncFile, ReportsTheThreadsFailureLater) {
    test::TempDir dir;
    test::write_file(dir / "ro", Bytes{});
    AsyncFile f = open_file(dir / "ro", O_RDONLY, 16);
    Status first;
    for (int i = 0; i < 4 && first; ++i) {
        first = f.write(test::repeat(1, 16));
    }
    if (first) {
        first = f.flush();
    }
    ASSERT_FALSE(first);
    EXPECT_EQ(first.error().message, "Bad file descriptor (os error 9)");
    EXPECT_FALSE(f.write(test::repeat(2, 40)));
    auto closed = f.close();
    ASSERT_FALSE(closed);
    EXPECT_EQ(closed.error().message, first.error().message);
    EXPECT_TRUE(f.close()); // closed already: nothing to report
}

} // namespace
} // namespace vexlor
