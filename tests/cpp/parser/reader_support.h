// Shared helpers for the reader tests: open a built capture, drain it into
// plain values that compare and print.
#pragma once

#include "builders.h"
#include "parser/capture_reader.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

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

// Everything a reader yields up to end of data or its first error.
struct Drained {
    std::vector<Rec> records;
    std::optional<std::string> error; // display text

    friend std::ostream& operator<<(std::ostream& os, const Drained& d) {
        os << d.records.size() << " records";
        if (d.error) {
            os << ", then \"" << *d.error << "\"";
        }
        return os;
    }
};

inline std::unique_ptr<CaptureReader> open_bytes(const Bytes& bytes) {
    auto reader = open_reader(SharedBytes::from_vector(bytes));
    EXPECT_TRUE(reader.has_value()) << reader.error().display();
    return reader ? std::move(*reader) : nullptr;
}

// The display text of the error open_reader gives, or "" when it opens.
inline std::string open_error(const Bytes& bytes) {
    auto reader = open_reader(SharedBytes::from_vector(bytes));
    return reader ? std::string() : reader.error().display();
}

inline Drained drain(CaptureReader& reader) {
    Drained out;
    for (;;) {
        auto rec = reader.next_record();
        if (!rec) {
            out.error = rec.error().display();
            return out;
        }
        if (!*rec) {
            return out;
        }
        const RawRecord& r = **rec;
        out.records.push_back(
            {r.ts_sec, r.ts_usec, r.orig_len, r.link_type, Bytes(r.frame.begin(), r.frame.end())});
    }
}

inline Drained drain(const Bytes& bytes) {
    auto reader = open_bytes(bytes);
    return reader ? drain(*reader) : Drained{{}, "open failed"};
}

} // namespace vexlor::test
