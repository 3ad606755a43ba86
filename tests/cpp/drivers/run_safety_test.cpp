// What a run does to its outputs besides writing them: locks, refusals of an
// output that is the input, cancellation and the removal of temporaries,
// cut-off captures, and the summary.
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

// ---- an output that is the input ----------------------------------------------------------------

TEST(OwnInput, AnArchiveOverItsInputIsRefusedBeforeAnyWork) {
    TempDir dir;
    const Bytes data = capture();
    write_file(dir / "cap.pcap", data);
    ASSERT_EQ(::link((dir / "cap.pcap").c_str(), (dir / "x.tmp").c_str()), 0);
    ASSERT_EQ(::symlink((dir / "cap.pcap").c_str(), (dir / "sym").c_str()), 0);
    for (const std::string& out :
         {dir / "cap.pcap", dir / "." + "/cap.pcap", dir / "x", dir / "sym"}) {
        ArchiveBuildOptions o;
        o.input_path = dir / "cap.pcap";
        o.output_path = out;
        auto st = build_archive(o);
        ASSERT_FALSE(st) << out;
        EXPECT_EQ(st.error().kind, ErrorKind::Value);
        const std::string named = out == dir / "x" ? out + ".tmp" : out;
        EXPECT_EQ(st.error().message,
                  "Output path " + named + " is the input capture " + o.input_path);
        EXPECT_EQ(file_bytes(dir / "cap.pcap"), data);
    }
}

TEST(OwnInput, ASplitNeverTruncatesNorReplacesItsInput) {
    for (const char* name : {"cap_all.pcap", ".cap_all.pcap.tmp"}) {
        TempDir dir;
        const Bytes data = capture();
        write_file(dir / "cap.pcap", data);
        ASSERT_EQ(::mkdir((dir / "out").c_str(), 0777), 0);
        ASSERT_EQ(::link((dir / "cap.pcap").c_str(), (dir / "out/" + name).c_str()), 0);
        SplitOptions o;
        o.input_path = dir / "cap.pcap";
        o.output_dir = dir / "out";
        o.strategy = SplitStrategy::NoSplit;
        auto st = run_split(o);
        ASSERT_FALSE(st) << name;
        EXPECT_EQ(st.error().kind, ErrorKind::Value);
        EXPECT_EQ(st.error().message,
                  "Output file " + (dir / "out/") + name + " is the input capture " + o.input_path);
        EXPECT_EQ(file_bytes(dir / "cap.pcap"), data) << name;
    }
}

// ---- cancellation, failure, summary ------------------------------------------------------------

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

TEST(RunControl, ACutOffLastRecordKeepsThePacketsBeforeIt) {
    TempDir dir;
    const Bytes whole = capture(3);
    const std::size_t last = capture(2).size();
    for (std::size_t cut = last + 1; cut < whole.size(); ++cut) {
        write_file(dir / "cap.pcap", Bytes(whole.begin(), whole.begin() + static_cast<long>(cut)));
        RunSummary summary;
        SplitOptions s;
        s.input_path = dir / "cap.pcap";
        s.output_dir = dir / "out";
        s.control.tolerate_cut_off = true;
        s.control.summary = &summary;
        ASSERT_TRUE(run_split(s)) << cut;
        EXPECT_EQ(summary.packets, 2u) << cut;
        ASSERT_TRUE(summary.cut_off) << cut;
        EXPECT_EQ(summary.cut_off->offset, last);
        EXPECT_EQ(summary.cut_off->dropped, cut - last);
        // Without the option a record header cut short still ends quietly
        // (and is noted), a frame cut short fails.
        s.control.tolerate_cut_off = false;
        auto strict = run_split(s);
        EXPECT_EQ(strict.has_value(), cut - last < 16) << cut;
    }
}

TEST(RunControl, TheSummaryCountsWhatWasWritten) {
    TempDir dir;
    PcapBuilder b;
    b.packet(1, 0, udp_frame("10.0.0.2", 1, 53))
        .packet(2, 0, udp_frame("10.0.0.3", 1, 53))
        .packet(3, 0, Bytes(60, 0));
    write_file(dir / "cap.pcap", b.bytes());
    RunSummary summary;
    SplitOptions s;
    s.input_path = dir / "cap.pcap";
    s.output_dir = dir / "out";
    s.control.summary = &summary;
    ASSERT_TRUE(run_split(s));
    std::uint64_t bytes = 0;
    for (const std::string& name : dir_names(dir / "out")) {
        bytes += file_bytes(dir / "out/" + name).size();
    }
    EXPECT_EQ((std::array{summary.packets, summary.packets_no_ip, summary.flows, summary.files,
                          summary.bytes_written}),
              (std::array<std::uint64_t, 5>{3, 1, 3, 3, bytes}));
}

} // namespace
} // namespace vexlor
