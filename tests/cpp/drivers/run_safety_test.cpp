// What a run does to its outputs besides writing them: locks, cancellation
// and the removal of temporaries.  (Outputs that are the input, the summary
// and cut-off captures are checked through the module and the tool.)
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>

#include "archive/archive_writer.h"
#include "builders.h"
#include "drivers/archive_build.h"
#include "drivers/split_pipeline.h"
#include "output/output_dir.h"
#include "parser/capture_reader.h"

namespace vexlor {
namespace {

using namespace test;

// `records` packets of three flows.
Bytes capture(std::size_t records = 3) {
    PcapBuilder b;
    for (std::size_t i = 0; i < records; ++i) {
        b.packet(1700000000, static_cast<std::uint32_t>(i),
                 udp_frame("10.0.0.2", static_cast<std::uint16_t>(1000 + i % 3), 53));
    }
    return b.bytes();
}

// ---- locks --------------------------------------------------------------------------------------

TEST(Locks, ASecondHolderOfAnOutputIsRefusedAndTouchesNothing) {
    TempDir dir;
    {
        auto first = OutputDir::open(dir / "out");
        ASSERT_TRUE(first);
        auto second = OutputDir::open(dir / "out");
        ASSERT_FALSE(second);
        EXPECT_EQ(second.error().kind, ErrorKind::Io);
        EXPECT_EQ(second.error().message,
                  "Output directory " + (dir / "out") + " is in use by another run");
        EXPECT_TRUE(is_in_use(second.error()));
    }
    EXPECT_TRUE(OutputDir::open(dir / "out")); // the lock went with the first

    // Another run's archive in the making: neither truncated nor removed.
    write_file(dir / "a.tmp", {1, 2, 3});
    const int held = ::open((dir / "a.tmp").c_str(), O_RDONLY);
    ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
    auto refused = ArchiveWriter::create(dir / "a.tmp", dir / "a", 1);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().message, "Output path " + (dir / "a") + " is in use by another run");
    EXPECT_EQ(file_bytes(dir / "a.tmp"), (Bytes{1, 2, 3}));
    ::close(held);
    auto writer = ArchiveWriter::create(dir / "a.tmp", dir / "a", 1);
    ASSERT_TRUE(writer);
    // While it writes, and until the rename is done, the file stays held.
    EXPECT_FALSE(ArchiveWriter::create(dir / "a.tmp", dir / "a", 1));
    ASSERT_TRUE(std::move(*writer).finalize());
    EXPECT_TRUE(ArchiveWriter::create(dir / "a.tmp", dir / "a", 1));
}

// ---- cancellation, failure ---------------------------------------------------------------------

TEST(RunControl, ACancelledOrFailedRunRemovesItsTemporariesWhenAsked) {
    struct Case {
        bool cancel;
        bool cut; // the last record cut inside its frame: a parse failure
        bool remove;
        std::size_t left; // temporary files left in the output directory
    };
    for (Case c :
         {Case{true, false, true, 0}, Case{false, true, true, 0}, Case{false, true, false, 3}}) {
        TempDir dir;
        Bytes data = capture(1000);
        if (c.cut) {
            data.resize(data.size() - 3);
        }
        write_file(dir / "cap.pcap", data);
        std::atomic<bool> cancel{c.cancel};
        SplitOptions s;
        s.input_path = dir / "cap.pcap";
        s.output_dir = dir / "out";
        s.control.cancel = &cancel;
        s.control.remove_on_failure = c.remove;
        auto st = run_split(s);
        ASSERT_FALSE(st);
        EXPECT_EQ(st.error().message, c.cancel ? "interrupted" : st.error().message);
        EXPECT_EQ(dir_names(dir / "out").size(), c.left);

        ArchiveBuildOptions a;
        a.input_path = dir / "cap.pcap";
        a.output_path = dir / "a.vexlor";
        a.control = s.control;
        ASSERT_FALSE(build_archive(a));
        EXPECT_EQ(dir_names(dir.path()).size(), c.remove ? 2u : 3u)
            << "cap.pcap, out, a.vexlor.tmp";
    }
}

} // namespace
} // namespace vexlor
