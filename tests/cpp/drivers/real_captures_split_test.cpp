// Every readable real capture split by session: together the output files
// hold exactly the input's records, each file behind the exact global header
// of the input's link type and read here without the library.
#include <gtest/gtest.h>

#include <algorithm>

#include "drivers/split_pipeline.h"
#include "reading.h"

namespace vexlor::test {
namespace {

struct Record {
    std::uint32_t ts_sec = 0, ts_usec = 0, caplen = 0, orig_len = 0;
    Bytes frame;
    auto operator<=>(const Record&) const = default;
};

// One written file, strictly: the fixed header, then whole records up to the
// last byte.  Failures are reported through gtest and end the walk.
std::vector<Record> written_records(const std::string& path, std::uint32_t link_type) {
    const Bytes b = file_bytes(path);
    std::vector<Record> out;
    if (b.size() < 24 || !std::equal(b.begin(), b.begin() + 24,
                                     PcapBuilder{.link_type = link_type}.bytes().begin())) {
        ADD_FAILURE() << path << ": bad global header";
        return out;
    }
    for (std::size_t pos = 24; pos < b.size(); pos += 16 + out.back().caplen) {
        const auto caplen = static_cast<std::uint32_t>(le_at(b, pos + 8, 4));
        if (b.size() - pos < 16 || b.size() - pos - 16 < caplen) {
            ADD_FAILURE() << path << ": cut-off record at " << pos;
            return out;
        }
        const auto frame = b.begin() + static_cast<std::ptrdiff_t>(pos + 16);
        out.push_back({static_cast<std::uint32_t>(le_at(b, pos, 4)),
                       static_cast<std::uint32_t>(le_at(b, pos + 4, 4)), caplen,
                       static_cast<std::uint32_t>(le_at(b, pos + 12, 4)),
                       Bytes(frame, frame + caplen)});
    }
    return out;
}

class RealCaptureSplit : public ::testing::TestWithParam<CaptureFile> {};

TEST_P(RealCaptureSplit, OutputFilesHoldExactlyTheInputRecords) {
    SKIP_WITHOUT_CAPTURES();
    // Captures that do not read to the end are not split here.
    const Reading in = reading(capture_bytes(GetParam().name));
    if (in.error) {
        GTEST_SKIP() << *in.error;
    }
    std::vector<Record> want;
    for (const Rec& r : in.records) {
        want.push_back(
            {r.ts_sec, r.ts_usec, static_cast<std::uint32_t>(r.frame.size()), r.orig_len, r.frame});
    }
    const std::uint32_t link_type = (*open_reader(capture_bytes(GetParam().name)))->link_type();
    TempDir tmp;
    SplitOptions o;
    o.input_path = GetParam().path();
    o.output_dir = tmp / "out";
    const Status st = run_split(o);
    ASSERT_TRUE(st) << st.error().message;
    std::vector<Record> got;
    for (const std::string& f : dir_names(o.output_dir)) {
        ASSERT_TRUE(f.starts_with(output_prefix(o.input_path) + "_") && f.ends_with(".pcap")) << f;
        const auto recs = written_records(o.output_dir + "/" + f, link_type);
        ASSERT_FALSE(recs.empty()) << f;
        got.insert(got.end(), recs.begin(), recs.end());
    }
    std::sort(want.begin(), want.end());
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got.size(), want.size());
    EXPECT_TRUE(got == want) << "the output records differ from the input records";
}

INSTANTIATE_TEST_SUITE_P(Manifest, RealCaptureSplit, ::testing::ValuesIn(capture_files()),
                         [](const auto& i) { return test_name(i.param.name); });

} // namespace
} // namespace vexlor::test
