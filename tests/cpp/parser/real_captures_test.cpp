// Every real capture beside the project, read to the end.  Classic pcap
// packet counts must match the manifest; files the manifest marks as broken
// must fail with exactly the text it gives.
#include "parser/capture_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace vexlor {
namespace {

namespace fs = std::filesystem;

std::string captures_dir() {
    const char* env = std::getenv("VEXLOR_CAPTURES");
    return env && *env ? env : VEXLOR_CAPTURES;
}

struct ManifestRow {
    std::string format;
    std::string packets;
    std::string note;
};

// file -> row, from the tab-separated manifest (first line: column names).
std::map<std::string, ManifestRow> read_manifest(const std::string& dir) {
    std::map<std::string, ManifestRow> rows;
    std::ifstream in(dir + "/MANIFEST.tsv");
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::vector<std::string> cols;
        std::stringstream ss(line);
        for (std::string col; std::getline(ss, col, '\t');) {
            cols.push_back(col);
        }
        if (cols.size() >= 8) {
            rows[cols[0]] = {cols[4], cols[6], cols[7]};
        }
    }
    return rows;
}

std::vector<std::string> capture_files() {
    std::vector<std::string> files;
    const fs::path root = captures_dir();
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::end(it);
         it.increment(ec)) {
        if (it->is_regular_file() && it->path().parent_path() != root) {
            files.push_back(fs::relative(it->path(), root).string());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

// The packet count a classic pcap reader must reach: the leading number of
// the packets column ("20056 (then: ...)" counts the packets before the cut).
std::optional<std::size_t> expected_count(const ManifestRow& row) {
    if (row.format.rfind("pcap-", 0) != 0 || row.packets.empty() ||
        !std::isdigit(static_cast<unsigned char>(row.packets[0]))) {
        return std::nullopt;
    }
    std::size_t used = 0;
    const std::size_t n = std::stoul(row.packets, &used);
    if (used != row.packets.size() && row.packets.compare(used, 7, " (then:") != 0) {
        return std::nullopt;
    }
    return n;
}

std::optional<std::string> expected_error(const ManifestRow& row) {
    const std::string mark = "expected: vexlor raises RuntimeError \"";
    const auto at = row.note.find(mark);
    if (at == std::string::npos) {
        return std::nullopt;
    }
    const auto begin = at + mark.size();
    return row.note.substr(begin, row.note.find('"', begin) - begin);
}

class RealCapture : public ::testing::TestWithParam<std::string> {};

TEST_P(RealCapture, ReadsToTheEnd) {
    static const auto manifest = read_manifest(captures_dir());
    const auto row = manifest.find(GetParam());
    ASSERT_NE(row, manifest.end()) << GetParam() << " is not in MANIFEST.tsv";

    auto bytes = read_input_bytes(captures_dir() + "/" + GetParam());
    ASSERT_TRUE(bytes) << bytes.error().message;
    std::size_t count = 0;
    std::optional<std::string> error;
    auto reader = open_reader(std::move(*bytes));
    if (!reader) {
        error = reader.error().display();
    } else {
        (void)(*reader)->link_type();
        for (;;) {
            auto p = (*reader)->next_packet();
            if (!p) {
                error = p.error().display();
                break;
            }
            if (!*p) {
                break;
            }
            ASSERT_EQ((*p)->caplen, (*p)->data.size());
            ++count;
        }
    }
    EXPECT_EQ(error, expected_error(row->second));
    if (auto want = expected_count(row->second)) {
        EXPECT_EQ(count, *want);
    }
}

INSTANTIATE_TEST_SUITE_P(Captures, RealCapture, ::testing::ValuesIn(capture_files()),
                         [](const auto& info) {
                             std::string name = info.param;
                             for (char& c : name) {
                                 if (!std::isalnum(static_cast<unsigned char>(c))) {
                                     c = '_';
                                 }
                             }
                             return name;
                         });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(RealCapture);

} // namespace
} // namespace vexlor
