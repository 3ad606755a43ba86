// The outputs of `vexlor table` and `vexlor bytes`: flow rows as CSV, JSON
// lines or Parquet, byte rows as a NumPy .npy file with a CSV of the flows beside it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "cli/output.h"
#include "cli/parquet.h"
#include "drivers/flow_stats.h"

namespace vexlor::cli {

enum class TableFormat { Csv, Jsonl };

// The CSV header line (nothing for JSON lines).
void write_table_header(FdWriter& out, TableFormat format);
// One flow.  In CSV the list columns (sizes, dirs, gaps) are numbers
// separated by single spaces in one cell; in JSON lines, arrays.
void write_table_row(FdWriter& out, const FlowRecord& flow, std::string_view input,
                     TableFormat format);

// The same rows as Parquet: integers as int64, texts as UTF-8 strings, the
// lists as lists of int64.
std::vector<ParquetColumn> table_parquet_columns();
void write_table_row(ParquetWriter& out, const FlowRecord& flow, std::string_view input);

// The flows of a byte matrix, one CSV line per row of the matrix.
void write_keys_header(FdWriter& out);
void write_keys_row(FdWriter& out, std::uint64_t row, const FlowRecord& flow,
                    std::string_view input);

// The .npy header of a two-dimensional uint8 array, always kNpyHeaderSize
// bytes long, so that it can be written first with a guess and again at the
// end with the real number of rows.
inline constexpr std::size_t kNpyHeaderSize = 128;
std::string npy_header(std::uint64_t rows, std::uint64_t columns);

} // namespace vexlor::cli
