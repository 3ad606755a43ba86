// Splits every readable real capture by session and checks the result with
// an independent reader (capinfos and tshark) and against the input's own
// records: together the output files hold exactly the input's packets.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include "builders.h"
#include "drivers/split_pipeline.h"
#include "parser/capture_reader.h"

namespace vexlor {
namespace {

using namespace test;

// The real captures beside the repository; a user's clone has none, and the
// suite then says so once (the test below) instead of failing.
const std::string kCaptures = [] {
    const char* env = std::getenv("VEXLOR_CAPTURES");
    return std::string(env && *env ? env : VEXLOR_CAPTURES);
}();

struct Record {
    std::uint32_t ts_sec = 0, ts_usec = 0, caplen = 0, orig_len = 0;
    Bytes frame;
    auto operator<=>(const Record&) const = default;
};

std::vector<std::string> manifest_files() {
    std::vector<std::string> out;
    std::ifstream in(kCaptures + "/MANIFEST.tsv");
    std::string line;
    std::getline(in, line); // column names
    while (std::getline(in, line)) {
        if (std::string file = line.substr(0, line.find('\t')); !file.empty()) {
            out.push_back(file);
        }
    }
    return out;
}

std::uint32_t le32(const Bytes& b, std::size_t at) {
    return std::uint32_t(b[at]) | std::uint32_t(b[at + 1]) << 8 | std::uint32_t(b[at + 2]) << 16 |
           std::uint32_t(b[at + 3]) << 24;
}

// Reads one written file strictly: the fixed header, then whole records up to
// the last byte.  Failures are reported through gtest and end the walk.
std::vector<Record> read_written(const std::string& path, std::uint32_t link_type) {
    Bytes b = read_file(path);
    std::vector<Record> out;
    const Bytes head = {0xD4, 0xC3, 0xB2, 0xA1, 2, 0, 4, 0, // magic, version 2.4
                        0,    0,    0,    0,    0, 0, 0, 0, // time zone, accuracy
                        0xFF, 0xFF, 0,    0};               // snapshot length
    if (b.size() < 24 || !std::equal(head.begin(), head.end(), b.begin()) ||
        le32(b, 20) != link_type) {
        ADD_FAILURE() << path << ": bad global header";
        return out;
    }
    for (std::size_t pos = 24; pos < b.size(); pos += 16 + out.back().caplen) {
        if (b.size() - pos < 16 || b.size() - pos - 16 < le32(b, pos + 8)) {
            ADD_FAILURE() << path << ": cut-off record at " << pos;
            return out;
        }
        auto frame = b.begin() + static_cast<std::ptrdiff_t>(pos + 16);
        out.push_back({le32(b, pos), le32(b, pos + 4), le32(b, pos + 8), le32(b, pos + 12),
                       Bytes(frame, frame + le32(b, pos + 8))});
    }
    return out;
}

// Runs a shell command; its standard output, and whether it exited with 0.
std::pair<std::string, bool> run(const std::string& command) {
    std::string out;
    FILE* p = ::popen((command + " 2>/dev/null").c_str(), "r");
    if (p == nullptr) {
        return {out, false};
    }
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) {
        out.append(buf, n);
    }
    return {out, ::pclose(p) == 0};
}

std::string shell_quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) {
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return out + "'";
}

// tshark starts slowly: it reads one output file per capture, this many at most.
std::atomic<int> tshark_budget{30};

class RealCaptureSplit : public ::testing::TestWithParam<std::string> {};

TEST_P(RealCaptureSplit, OutputFilesHoldExactlyTheInputPackets) {
    if (::access("/usr/bin/tshark", X_OK) != 0 || ::access("/usr/bin/capinfos", X_OK) != 0) {
        GTEST_SKIP() << "tshark/capinfos not installed";
    }
    const std::string input = kCaptures + "/" + GetParam();

    // The input's records as the reader yields them; captures that do not
    // open or read to the end are not split here.
    auto bytes = read_input_bytes(input);
    ASSERT_TRUE(bytes) << bytes.error().message;
    auto reader = open_reader(std::move(*bytes));
    if (!reader) {
        GTEST_SKIP() << reader.error().display();
    }
    const std::uint32_t link_type = (*reader)->link_type();
    std::vector<Record> want;
    for (;;) {
        auto p = (*reader)->next_packet();
        if (!p) {
            GTEST_SKIP() << p.error().display();
        }
        if (!*p) {
            break;
        }
        const Packet& pk = **p;
        want.push_back({pk.ts_sec, pk.ts_usec, pk.caplen, pk.orig_len,
                        Bytes(pk.bytes().begin(), pk.bytes().end())});
    }
    reader->reset();

    TempDir tmp;
    SplitOptions o;
    o.input_path = input;
    o.output_dir = tmp / "out";
    Status st = run_split(o);
    ASSERT_TRUE(st) << st.error().message;

    const std::string prefix = output_prefix(input);
    std::vector<std::string> files = list_dir(o.output_dir);
    std::vector<Record> got;
    std::map<std::string, std::size_t> counts;
    for (const std::string& f : files) {
        ASSERT_TRUE(f.starts_with(prefix + "_") && f.ends_with(".pcap")) << f;
        auto recs = read_written(o.output_dir + "/" + f, link_type);
        ASSERT_FALSE(recs.empty()) << f;
        counts[f] = recs.size();
        got.insert(got.end(), recs.begin(), recs.end());
    }
    std::sort(want.begin(), want.end());
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got.size(), want.size());
    EXPECT_TRUE(got == want) << "the output records differ from the input records";

    // The outside view, where the tools read the link type at all.
    if (!run("capinfos -c " + shell_quote(input)).second) {
        return;
    }
    for (std::size_t i = 0; i < files.size(); i += 200) {
        std::string cmd = "cd " + shell_quote(o.output_dir) + " && capinfos -c -T -r -M";
        for (std::size_t j = i; j < std::min(files.size(), i + 200); ++j) {
            cmd += " " + shell_quote(files[j]);
        }
        auto [text, ok] = run(cmd);
        EXPECT_TRUE(ok) << cmd;
        std::istringstream lines(text);
        std::string name;
        std::size_t count, seen = 0;
        for (; lines >> name >> count; ++seen) {
            EXPECT_EQ(count, counts[name]) << name;
        }
        EXPECT_EQ(seen, std::min<std::size_t>(files.size() - i, 200));
    }
    if (!files.empty() && tshark_budget.fetch_sub(1) > 0) {
        auto largest = std::max_element(counts.begin(), counts.end(), [](auto& a, auto& b) {
                           return a.second < b.second;
                       })->first;
        auto [text, ok] = run("tshark -r " + shell_quote(o.output_dir + "/" + largest) +
                              " -T fields -e frame.cap_len -e frame.len");
        EXPECT_TRUE(ok) << largest;
        std::string expect;
        for (const Record& r : read_written(o.output_dir + "/" + largest, link_type)) {
            expect += std::to_string(r.caplen) + "\t" + std::to_string(r.orig_len) + "\n";
        }
        EXPECT_EQ(text, expect) << largest;
    }
}

GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(RealCaptureSplit);

TEST(RealCaptures, AreBesideTheRepository) {
    if (manifest_files().empty()) {
        GTEST_SKIP() << "no real captures at " << kCaptures << ": their tests are skipped";
    }
}

INSTANTIATE_TEST_SUITE_P(Manifest, RealCaptureSplit, ::testing::ValuesIn(manifest_files()),
                         [](const auto& info) {
                             std::string name = info.param;
                             for (char& c : name) {
                                 c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             }
                             return name;
                         });

} // namespace
} // namespace vexlor
