// Every real capture beside the project, read to the end.  Classic pcap
// packet counts must match the manifest; files the manifest marks as broken
// must fail with exactly the text it gives.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "reader_support.h"

namespace vexlor::test {
namespace {

std::string captures_dir() {
    const char* env = std::getenv("VEXLOR_CAPTURES");
    return env && *env ? env : VEXLOR_CAPTURES;
}

struct Capture {
    std::string file;
    std::optional<std::size_t> packets; // how many a classic pcap reader must reach
    std::optional<std::string> error;
};
void PrintTo(const Capture& c, std::ostream* os) {
    *os << c.file;
}

// The tab-separated manifest; its first line names the columns.
std::vector<Capture> manifest() {
    const std::string mark = "expected: vexlor raises RuntimeError \"";
    std::vector<Capture> out;
    std::ifstream in(captures_dir() + "/MANIFEST.tsv");
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::vector<std::string> cols;
        std::stringstream ss(line);
        for (std::string col; std::getline(ss, col, '\t');) {
            cols.push_back(col);
        }
        if (cols.size() < 8) {
            continue;
        }
        Capture& c = out.emplace_back(Capture{cols[0], {}, {}});
        // The packets column leads with the count ("20056 (then: ...)" counts
        // the packets before the cut) or says why there is none.
        if (cols[4].starts_with("pcap-") && std::isdigit(static_cast<unsigned char>(cols[6][0]))) {
            c.packets = std::stoul(cols[6]);
        }
        if (const auto at = cols[7].find(mark); at != std::string::npos) {
            const auto begin = at + mark.size();
            c.error = cols[7].substr(begin, cols[7].find('"', begin) - begin);
        }
    }
    return out;
}

class RealCapture : public ::testing::TestWithParam<Capture> {};

TEST_P(RealCapture, ReadsToTheEnd) {
    auto bytes = read_input_bytes(captures_dir() + "/" + GetParam().file);
    ASSERT_TRUE(bytes) << bytes.error().message;
    const Drained got = drain(std::move(*bytes));
    EXPECT_EQ(got.error, GetParam().error);
    if (GetParam().packets) {
        EXPECT_EQ(got.records.size(), *GetParam().packets);
    }
}

INSTANTIATE_TEST_SUITE_P(Captures, RealCapture, ::testing::ValuesIn(manifest()), [](const auto& i) {
    std::string name = i.param.file;
    std::replace_if(
        name.begin(), name.end(), [](unsigned char c) { return !std::isalnum(c); }, '_');
    return name;
});
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(RealCapture);

} // namespace
} // namespace vexlor::test
