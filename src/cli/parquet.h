// Flow tables as Parquet files, for DuckDB, pandas, Spark or Dask straight
// from the tool.  The file is written front to back (to a pipe as well): the
// column chunks of each row group as the group fills, then the footer, the
// file's metadata in Thrift's compact encoding.  Columns are required (never
// null): 64-bit integers, UTF-8 strings, and lists of 64-bit integers; one
// plain-encoded data page per column and row group, compressed with zstd.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cli/output.h"

namespace vexlor::cli {

enum class ParquetKind { Int64, Text, Int64List };

struct ParquetColumn {
    std::string name;
    ParquetKind kind;
};

class ParquetWriter {
public:
    ParquetWriter(FdWriter& out, std::vector<ParquetColumn> columns);

    // One row: every column once, in order, then end_row().
    void int64(std::int64_t value);
    void text(std::string_view value);
    template <class T> void list(std::span<const T> values) {
        Column& c = next();
        if (values.empty()) {
            level(c, 0, 0);
        }
        for (std::size_t i = 0; i < values.size(); ++i) {
            level(c, i == 0 ? 0 : 1, 1);
            put_int64(c, static_cast<std::int64_t>(values[i]));
        }
    }
    void end_row();
    // The last row group and the footer; the output is complete (flush the
    // FdWriter to see whether it was written).
    void finish();

private:
    struct Column {
        ParquetColumn def;
        std::vector<std::uint8_t> values;     // plain-encoded
        std::vector<std::uint8_t> reps, defs; // lists: each value's levels
        std::uint64_t entries = 0;            // values, and empty lists
    };
    struct Chunk {
        std::uint64_t offset, entries, compressed, uncompressed;
    };
    struct Group {
        std::vector<Chunk> chunks;
        std::uint64_t rows, bytes;
    };

    Column& next() { return columns_.at(at_++); }
    static void put_int64(Column& c, std::int64_t v);
    static void level(Column& c, std::uint8_t rep, std::uint8_t def);
    void write(std::string_view bytes);
    void flush_group();
    std::string footer() const;

    FdWriter& out_;
    std::vector<Column> columns_;
    std::size_t at_ = 0; // the column the next value goes to
    std::uint64_t rows_ = 0, buffered_ = 0, offset_ = 0, total_rows_ = 0;
    std::vector<Group> groups_;
};

} // namespace vexlor::cli
