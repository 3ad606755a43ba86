// Shared helpers for the reader tests: drain a built capture into plain
// values that compare and print.
#pragma once

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

// Everything a reader yields up to end of data or its first error, the
// error of opening included, as display text.
struct Drained {
    std::vector<Rec> records;
    std::optional<std::string> error;
};

inline Drained drain(CaptureReader& reader) {
    Drained out;
    for (;;) {
        auto rec = reader.next_record();
        if (!rec || !*rec) {
            out.error = rec ? std::nullopt : std::optional(rec.error().display());
            return out;
        }
        const RawRecord& r = **rec;
        out.records.push_back(
            {r.ts_sec, r.ts_usec, r.orig_len, r.link_type, Bytes(r.frame.begin(), r.frame.end())});
    }
}

inline Drained drain(SharedBytes bytes) {
    auto reader = open_reader(std::move(bytes));
    return reader ? drain(**reader) : Drained{{}, reader.error().display()};
}
inline Drained drain(const Bytes& bytes) {
    return drain(SharedBytes::from_vector(bytes));
}

inline Bytes prefix(const Bytes& b, std::size_t n) {
    return Bytes(b.begin(), b.begin() + n);
}

} // namespace vexlor::test
