// What readers yield, of built and of real captures, as plain values that
// compare and print.  The real captures live beside the project, and a user's
// clone does not have them: every test over them starts with
// SKIP_WITHOUT_CAPTURES(), and so shows up as skipped with one note.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "builders.h"
#include "parser/capture_reader.h"

namespace vexlor::test {

struct Rec {
    std::uint32_t ts_sec = 0;
    std::uint32_t ts_usec = 0;
    std::uint32_t orig_len = 0;
    std::uint32_t link_type = 0;
    Bytes frame;
    friend bool operator==(const Rec&, const Rec&) = default;
    friend std::ostream& operator<<(std::ostream& os, const Rec& r) {
        return os << "{" << r.ts_sec << "." << r.ts_usec << " orig " << r.orig_len << " link "
                  << r.link_type << " caplen " << r.frame.size() << "}";
    }
};

// The records up to the end of data or the first error, that error (of
// opening, too) as display text, and what the reader counted on the way.
struct Reading {
    std::vector<Rec> records;
    std::optional<std::string> error;
    std::uint64_t skipped = 0;
    std::vector<std::uint32_t> link_types;
};

inline Reading reading(CaptureReader& reader) {
    Reading out;
    for (auto rec = reader.next_record(); !rec || *rec; rec = reader.next_record()) {
        if (!rec) {
            out.error = rec.error().display();
            break;
        }
        const RawRecord& r = **rec;
        out.records.push_back(
            {r.ts_sec, r.ts_usec, r.orig_len, r.link_type, Bytes(r.frame.begin(), r.frame.end())});
    }
    out.skipped = reader.skipped_records();
    out.link_types = reader.link_types_seen();
    return out;
}
inline Reading reading(SharedBytes bytes, ReaderOptions options = {}) {
    auto reader = open_reader(std::move(bytes), options);
    if (!reader) {
        return Reading{{}, reader.error().display(), 0, {}};
    }
    return reading(**reader);
}
inline Reading reading(const Bytes& bytes, ReaderOptions options = {}) {
    return reading(SharedBytes::from_vector(bytes), options);
}

// ---- the real captures ------------------------------------------------------

// $VEXLOR_CAPTURES, else the folder named when the tests were configured;
// nothing when it holds no manifest.
inline std::optional<std::string> captures_dir() {
    const char* env = std::getenv("VEXLOR_CAPTURES");
    const std::string dir = env && *env ? env : VEXLOR_CAPTURES;
    if (!std::filesystem::exists(dir + "/MANIFEST.tsv")) {
        return std::nullopt;
    }
    return dir;
}

#define SKIP_WITHOUT_CAPTURES()                                                                    \
    if (!::vexlor::test::captures_dir()) {                                                         \
        GTEST_SKIP() << "no real captures (set VEXLOR_CAPTURES to the folder of MANIFEST.tsv)";    \
    }

// One row of MANIFEST.tsv.
struct CaptureFile {
    std::string name;                   // relative to the folder; "none" for the placeholder
    std::optional<std::size_t> packets; // classic pcap: how many records read before the end
    std::optional<std::string> error;   // the exact error reading ends with
    std::string path() const { return captures_dir().value_or("") + "/" + name; }
    friend void PrintTo(const CaptureFile& c, std::ostream* os) { *os << c.name; }
};

// Every row of the manifest; without captures one placeholder row, so that a
// test parameterised over them is instantiated and skips.  Columns: file,
// source repository, source path, licence, format, link types, packets (a
// count leads: "20056 (then: ...)" counts those before a cut), note (which
// quotes the error a broken file must end with).
inline std::vector<CaptureFile> capture_files() {
    const auto dir = captures_dir();
    if (!dir) {
        return {CaptureFile{"none", {}, {}}};
    }
    const std::string mark = "expected: vexlor raises RuntimeError \"";
    std::vector<CaptureFile> out;
    std::ifstream in(*dir + "/MANIFEST.tsv");
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
        CaptureFile& c = out.emplace_back(CaptureFile{cols[0], {}, {}});
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

// A gtest name for a file: every character but letters and digits as '_'.
inline std::string test_name(std::string name) {
    for (char& c : name) {
        c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    }
    return name;
}

// A real capture's contents; an error when it cannot be read.
inline SharedBytes capture_bytes(const std::string& name) {
    auto bytes = read_input_bytes(captures_dir().value_or("") + "/" + name);
    if (!bytes) {
        throw std::runtime_error(name + ": " + bytes.error().message);
    }
    return std::move(*bytes);
}

} // namespace vexlor::test
