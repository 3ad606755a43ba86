// What both drivers do besides writing their outputs: progress, the order of
// their errors, locks, cancellation and the removal of temporaries.  (Outputs
// that are the input, the summary and cut-off captures are checked through the
// module and the tool.)
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>

#include "archive/archive_writer.h"
#include "builders.h"
#include "drivers/archive_build.h"
#include "drivers/split_pipeline.h"

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

// One driver over `input`: a split into the directory `output`, or an archive
// at that path.
Status run(bool archive, const std::string& input, const std::string& output,
           ProgressFn progress = {}, RunControl control = {}) {
    if (archive) {
        return build_archive({.input_path = input,
                              .output_path = output,
                              .progress = std::move(progress),
                              .control = control});
    }
    return run_split({.input_path = input,
                      .output_dir = output,
                      .progress = std::move(progress),
                      .control = control});
}

// Progress goes forward, one report per interval of records and a last one at
// the end of the input.  Reports also come by time, as many as a slow machine
// makes: they only grow, and the last is the whole input.
TEST(Drivers, ReportProgressUpToTheWholeInput) {
    TempDir dir;
    write_file(dir / "cap.pcap", capture(kProgressInterval + 500));
    const std::uint64_t size = std::filesystem::file_size(dir / "cap.pcap");
    for (bool archive : {false, true}) {
        std::vector<Progress> seen;
        ASSERT_TRUE(run(archive, dir / "cap.pcap", dir / (archive ? "a.vexlor" : "out"),
                        [&](const Progress& p) { seen.push_back(p); }));
        ASSERT_GE(seen.size(), 2u) << archive;
        for (std::size_t i = 1; i < seen.size(); ++i) {
            EXPECT_GE(seen[i].packets, seen[i - 1].packets);
            EXPECT_GE(seen[i].bytes_done, seen[i - 1].bytes_done);
        }
        EXPECT_LE(seen.front().packets, kProgressInterval);
        EXPECT_LT(seen.front().bytes_done, size);
        EXPECT_EQ(seen.back().packets, kProgressInterval + 500);
        EXPECT_EQ(seen.back().bytes_done, size);
        EXPECT_EQ(seen.back().bytes_total, size);
    }
}

// Errors in the order the drivers meet them: the input, its header, the
// output, then the records.  The earlier check wins; nothing is created
// before the output step, and nothing gets a final name after it.
TEST(Drivers, ReportTheFirstError) {
    const Bytes whole = capture();
    const std::size_t frame = (whole.size() - 24) / 3 - 16;
    struct Case {
        const char* input;
        const char* output;
        ErrorKind kind;
        std::string message;
    };
    for (bool archive : {false, true}) {
        TempDir dir;
        write_file(dir / "text", {'h', 'e', 'l', 'l', 'o', '\n'});
        write_file(dir / "cut.pcap", cut(whole, whole.size() - 3));
        write_file(dir / "file", {1});
        for (const Case& c : std::vector<Case>{
                 {"missing", "out", ErrorKind::Io, os_error_text(ENOENT)},
                 {".", "out", ErrorKind::Io, "No such device (os error 19)"},
                 {"text", "file/out", ErrorKind::Runtime,
                  "Unsupported file format (unknown magic number)"},
                 {"cut.pcap", "file/out", ErrorKind::Io,
                  archive ? "Failed to create temp archive file: " + (dir / "file/out.tmp")
                          : os_error_text(ENOTDIR)},
                 {"cut.pcap", "out", ErrorKind::Runtime,
                  "Invalid PCAP format: packet incl_len " + std::to_string(frame) +
                      " exceeds remaining data at offset " +
                      std::to_string(whole.size() - frame)}}) {
            const std::string out = dir / c.output;
            expect_error(run(archive, dir / c.input, out), c.kind, c.message);
            const bool reached_records = c.kind == ErrorKind::Runtime && c.input[0] == 'c';
            if (archive || !reached_records) {
                EXPECT_FALSE(std::filesystem::exists(out)) << c.message;
            }
            for (const std::string& name : dir_names(out)) {
                EXPECT_TRUE(name.starts_with(".") && name.ends_with(".tmp")) << name;
            }
        }
        // The failed build left its partial temporary file.
        EXPECT_EQ(std::filesystem::exists(dir / "out.tmp"), archive);
    }
}

// ---- locks --------------------------------------------------------------------------------------

// While a writer writes, and until its rename is done, its output stays held
// against a second writer.  (An output another process holds is refused, and
// left untouched, through the module and the tool: tests/python/test_safety.py.)
TEST(Locks, AWritersOutputIsHeldUntilItsRename) {
    TempDir dir;
    auto writer = ArchiveWriter::create(dir / "a.tmp", dir / "a", 1);
    ASSERT_TRUE(writer);
    expect_error(ArchiveWriter::create(dir / "a.tmp", dir / "a", 1), ErrorKind::Io,
                 "Output path " + (dir / "a") + " is in use by another run");
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
        const RunControl control{.cancel = &cancel, .remove_on_failure = c.remove};
        auto st = run(false, dir / "cap.pcap", dir / "out", {}, control);
        ASSERT_FALSE(st);
        EXPECT_EQ(st.error().message, c.cancel ? "interrupted" : st.error().message);
        EXPECT_EQ(dir_names(dir / "out").size(), c.left);
        ASSERT_FALSE(run(true, dir / "cap.pcap", dir / "a.vexlor", {}, control));
        EXPECT_EQ(dir_names(dir.path()).size(), c.remove ? 2u : 3u)
            << "cap.pcap, out, a.vexlor.tmp";
    }
}

} // namespace
} // namespace vexlor
