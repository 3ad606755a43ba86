// What readers yield, of built and of real captures, as plain values that
// compare and print.  The real captures live beside the project, and a user's
// clone does not have them: every test over them starts with
// SKIP_WITHOUT_CAPTURES(), and so shows up as skipped with one note.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <ostream>
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
// opening, too) as display text, what the reader counted on the way, and the
// cut-off record it dropped (offset, bytes).
struct Reading {
    std::vector<Rec> records;
    std::optional<std::string> error;
    std::uint64_t skipped = 0;
    std::vector<std::uint32_t> link_types;
    std::optional<std::pair<std::uint64_t, std::uint64_t>> cut_off;
    friend bool operator==(const Reading&, const Reading&) = default;
};

// The error of a pcap record whose frame runs past the end of the data.
inline std::string incl_len_error(std::uint32_t incl_len, std::uint64_t offset) {
    return "Invalid PCAP format: packet incl_len " + std::to_string(incl_len) +
           " exceeds remaining data at offset " + std::to_string(offset);
}

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
    if (const auto& c = reader.cut_off()) {
        out.cut_off = {c->offset, c->dropped};
    }
    return out;
}
inline Reading reading(SharedBytes bytes, ReaderOptions options = {}) {
    auto reader = open_reader(std::move(bytes), options);
    if (!reader) {
        return Reading{{}, reader.error().display()};
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

// A real capture's contents; an error when it cannot be read.
inline SharedBytes capture_bytes(const std::string& name) {
    auto bytes = read_input_bytes(captures_dir().value_or("") + "/" + name);
    if (!bytes) {
        throw std::runtime_error(name + ": " + bytes.error().message);
    }
    return std::move(*bytes);
}

} // namespace vexlor::test
