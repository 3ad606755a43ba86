// What both drivers do besides writing their outputs: progress and the order
// of their errors.  (Outputs that are the input, the summary and cut-off
// captures are checked through the module and the tool.)
#include <gtest/gtest.h>

#include <filesystem>
#include <tuple>
#include <utility>

#include "archive/archive_reader.h"
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
           ProgressFn progress = {}) {
    return archive
               ? build_archive({.input_path = input, .output_path = output, .progress = progress})
               : run_split({.input_path = input, .output_dir = output, .progress = progress});
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

// Errors in the order the drivers meet them: the input, its header, then the
// output; an error in the records comes after all of these
// (split_pipeline_test.cpp).  The earlier check wins, and nothing is created
// before the output step.
TEST(Drivers, ReportTheFirstError) {
    const Bytes whole = capture();
    for (bool archive : {false, true}) {
        TempDir dir;
        write_file(dir / "text", {'h', 'e', 'l', 'l', 'o', '\n'});
        write_file(dir / "cut.pcap", cut(whole, whole.size() - 3));
        write_file(dir / "file", {1});
        const std::tuple<const char*, const char*, ErrorKind, std::string> cases[] = {
            {"missing", "out", ErrorKind::Io, os_error_text(ENOENT)},
            {".", "out", ErrorKind::Io, "No such device (os error 19)"},
            {"text", "file/out", ErrorKind::Runtime,
             "Unsupported file format (unknown magic number)"},
            {"cut.pcap", "file/out", ErrorKind::Io,
             archive ? "Failed to create temp archive file: " + (dir / "file/out.tmp")
                     : os_error_text(ENOTDIR)}};
        for (const auto& [input, output, kind, message] : cases) {
            expect_error(run(archive, dir / input, dir / output), kind, message);
            EXPECT_FALSE(std::filesystem::exists(dir / output)) << message;
        }
        EXPECT_EQ(dir_names(dir.path()), (std::vector<std::string>{"cut.pcap", "file", "text"}));
    }
}

// A capture cut short by another program while a run reads it (rotated by
// truncating it in place) fails the run with a message that says so, and
// nothing is published: the mapped pages past the cut would otherwise have
// killed the process.  The archive read afterwards leaves out the records
// its own file lost, as it leaves out any past its end.
TEST(Drivers, FailWhenTheInputIsCutShortUnderThem) {
    // Cut early, far behind the reading (pages gone), or at the end by a few
    // bytes of a page that stays (read as zeros without any fault).
    for (auto [archive, at_end] :
         {std::pair{false, false}, {true, false}, {false, true}, {true, true}}) {
        TempDir dir;
        const std::string input = dir / "cap.pcap", output = dir / (archive ? "a.vexlor" : "out");
        write_file(input, capture(4 * kProgressInterval));
        const auto size = std::filesystem::file_size(input);
        bool cut_once = false;
        expect_error(run(archive, input, output,
                         [&](const Progress& p) {
                             if ((!at_end || p.bytes_done == size) &&
                                 !std::exchange(cut_once, true)) {
                                 std::filesystem::resize_file(input, at_end ? size - 10 : size / 2);
                             }
                         }),
                     ErrorKind::Runtime, kInputCutWhileRead);
        EXPECT_TRUE(cut_once);
        EXPECT_FALSE(std::filesystem::exists(output) && archive) << archive;
        for (const std::string& name : archive ? std::vector<std::string>{} : dir_names(output)) {
            EXPECT_EQ(name.front(), '.') << name;
        }
    }
    TempDir dir;
    write_file(dir / "cap.pcap", capture(kProgressInterval));
    ASSERT_TRUE(run(true, dir / "cap.pcap", dir / "a.vexlor"));
    auto reader = ArchiveReader::open(dir / "a.vexlor");
    ASSERT_TRUE(reader);
    std::vector<std::uint64_t> offsets;
    for (const FlowEntry& flow : (*reader)->flows()) {
        const auto list = (*reader)->get_packet_offsets(flow);
        offsets.insert(offsets.end(), list->begin(), list->end());
    }
    const std::uint64_t half = std::filesystem::file_size(dir / "cap.pcap") / 2;
    std::filesystem::resize_file(dir / "a.vexlor", half);
    std::size_t kept = 0;
    for (std::uint64_t at : offsets) {
        kept += (*reader)->packet_at(at).has_value();
    }
    EXPECT_LT(kept, offsets.size() / 2);
    expect_error((*reader)->get_packet_offsets((*reader)->flows().front()), ErrorKind::Runtime,
                 "Offset list extends beyond file");
}

} // namespace
} // namespace vexlor
