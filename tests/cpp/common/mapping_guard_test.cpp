#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <csignal>

#include "builders.h"
#include "common/mapping_guard.h"

namespace vexlor {
namespace {

using namespace test;

// Three pages of a file, mapped read-only as the readers map captures.
struct Mapped {
    explicit Mapped(const std::string& path) {
        write_file(path, repeat(7, 3 * kPage));
        fd = ::open(path.c_str(), O_RDONLY);
        base = static_cast<const volatile std::uint8_t*>(
            ::mmap(nullptr, 3 * kPage, PROT_READ, MAP_SHARED, fd, 0));
    }
    ~Mapped() {
        ::munmap(const_cast<std::uint8_t*>(base), 3 * kPage);
        ::close(fd);
    }
    static constexpr std::size_t kPage = 4096;
    int fd = -1;
    const volatile std::uint8_t* base = nullptr;
};

// A watched mapping whose file is cut short reads zeros past the cut and says
// so; the pages before it keep their bytes.
TEST(MappingGuard, TurnsPagesCutFromTheFileIntoZerosAndTellsOfIt) {
    TempDir dir;
    Mapped m(dir / "f");
    MappingGuard guard = MappingGuard::watch(const_cast<std::uint8_t*>(m.base), 3 * Mapped::kPage);
    EXPECT_FALSE(guard.cut());
    ASSERT_EQ(::truncate((dir / "f").c_str(), Mapped::kPage + 10), 0);
    EXPECT_EQ(m.base[Mapped::kPage + 5], 7);
    EXPECT_FALSE(guard.cut());
    EXPECT_EQ(m.base[2 * Mapped::kPage + 5], 0);
    EXPECT_TRUE(guard.cut());
    MappingGuard moved = std::move(guard);
    EXPECT_TRUE(moved.cut());
    EXPECT_FALSE(guard.cut());
}

// A fault outside every watched mapping (or in one no longer watched) is
// what it always was.
TEST(MappingGuardDeathTest, LeavesOtherFaultsToTheirFate) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    TempDir dir;
    EXPECT_DEATH(
        {
            Mapped m(dir / "g");
            MappingGuard guard =
                MappingGuard::watch(const_cast<std::uint8_t*>(m.base), 3 * Mapped::kPage);
            guard.reset();
            (void)::truncate((dir / "g").c_str(), 0);
            std::exit(m.base[5]);
        },
        "");
}

} // namespace
} // namespace vexlor
