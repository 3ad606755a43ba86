#include <fcntl.h>
#include <gtest/gtest.h>

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

Bytes pattern(std::size_t n, std::uint8_t seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) {
        b[i] = static_cast<std::uint8_t>(seed + i * 7);
    }
    return b;
}

// Writes shorter and longer than a buffer arrive whole and in order; flush
// puts everything on disk, and a file dropped without close() still gets
// what was buffered.
TEST(AsyncFile, WritesEverythingInOrder) {
    test::TempDir dir;
    const std::string path = dir / "out";
    Bytes want;
    {
        AsyncFile f = open_file(path, O_WRONLY | O_CREAT | O_TRUNC, 64);
        std::uint8_t seed = 0;
        for (std::size_t n : {0, 1, 63, 64, 65, 200, 5, 128}) {
            Bytes b = pattern(n, seed++);
            ASSERT_TRUE(f.write(b));
            want.insert(want.end(), b.begin(), b.end());
        }
        ASSERT_TRUE(f.flush());
        EXPECT_EQ(test::file_bytes(path), want);
        Bytes tail = pattern(10, 99);
        ASSERT_TRUE(f.write(tail));
        want.insert(want.end(), tail.begin(), tail.end());
        AsyncFile moved = std::move(f); // the moved-from file owns nothing
        EXPECT_FALSE(f.is_open());
    }
    EXPECT_EQ(test::file_bytes(path), want);
}

// References to bytes that stay put arrive in order among copies: runs that
// continue each other, short ones (copied), and enough of them to fill a
// buffer's quota of pieces and of referenced bytes several times over.
TEST(AsyncFile, WritesReferencesAmongCopiesInOrder) {
    test::TempDir dir;
    const std::string path = dir / "out";
    const Bytes source = pattern(std::size_t{12} << 20, 3);
    Bytes want;
    {
        AsyncFile f = open_file(path, O_WRONLY | O_CREAT | O_TRUNC, 4096);
        std::size_t at = 0;
        for (std::size_t i = 0; at < source.size(); ++i) {
            const std::size_t n =
                std::min<std::size_t>(source.size() - at, i % 7 == 0   ? 5
                                                          : i % 3 == 0 ? 3000
                                                                       : 200 + i % 90);
            const std::span<const std::uint8_t> piece(source.data() + at, n);
            ASSERT_TRUE(f.write_stable(piece));
            want.insert(want.end(), piece.begin(), piece.end());
            if (i % 5 == 0) { // a copy between references; else they continue each other
                Bytes b = pattern(i % 50, static_cast<std::uint8_t>(i));
                ASSERT_TRUE(f.write(b));
                want.insert(want.end(), b.begin(), b.end());
            }
            at += i % 11 == 0 ? n + 17 : n; // now and then a gap in the source
        }
        ASSERT_TRUE(f.close());
    }
    EXPECT_TRUE(test::file_bytes(path) == want);
}

// A failed write of the thread is reported by a later call, and every call
// after it fails the same way, close() included.
TEST(AsyncFile, ReportsTheThreadsFailureLater) {
    test::TempDir dir;
    test::write_file(dir / "ro", Bytes{});
    AsyncFile f = open_file(dir / "ro", O_RDONLY, 16);
    Status first;
    for (int i = 0; i < 4 && first; ++i) {
        first = f.write(pattern(16, 1));
    }
    if (first) {
        first = f.flush();
    }
    ASSERT_FALSE(first);
    EXPECT_EQ(first.error().message, "Bad file descriptor (os error 9)");
    EXPECT_FALSE(f.write(pattern(40, 2)));
    auto closed = f.close();
    ASSERT_FALSE(closed);
    EXPECT_EQ(closed.error().message, first.error().message);
    EXPECT_TRUE(f.close()); // closed already: nothing to report
}

} // namespace
} // namespace vexlor
