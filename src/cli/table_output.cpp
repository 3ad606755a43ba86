#include "cli/table_output.h"

#include <cstdio>

#include "common/ip_text.h"
#include "flow/community_id.h"

namespace vexlor::cli {

namespace {

constexpr std::string_view kColumns[] = {
    "id",          "input",       "key",          "proto",     "src",         "dst",
    "src_port",    "dst_port",    "community_id", "first_us",  "last_us",     "duration_us",
    "packets_fwd", "packets_bwd", "bytes_fwd",    "bytes_bwd", "payload_fwd", "payload_bwd",
    "tcp_flags",   "sizes",       "dirs",         "gaps_us",   "outer",
};

// A CSV cell, quoted when it holds a comma, quote or line break.
void put_csv_text(std::string& line, std::string_view text) {
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) {
        line += text;
        return;
    }
    line += '"';
    for (char c : text) {
        line += c;
        if (c == '"') {
            line += '"';
        }
    }
    line += '"';
}

void put_json_text(std::string& line, std::string_view text) {
    line += '"';
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            line += '\\';
            line += static_cast<char>(c);
        } else if (c < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            line += esc;
        } else {
            line += static_cast<char>(c);
        }
    }
    line += '"';
}

template <class V> std::string list_text(const V& values, char sep) {
    std::string out;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i > 0) {
            out += sep;
        }
        out += std::to_string(values[i]);
    }
    return out;
}

std::string ip_or_empty(const FlowRecord& f, const IpAddress& a) {
    return f.has_ip ? format_ip(a) : std::string();
}

} // namespace

void write_table_header(FdWriter& out, TableFormat format) {
    if (format != TableFormat::Csv) {
        return;
    }
    std::string line;
    for (std::string_view c : kColumns) {
        line += line.empty() ? "" : ",";
        line += c;
    }
    out.write(line + "\n");
}

namespace {

// A row's cells in the order of kColumns, each handed to the callable of its
// kind.
template <class Number, class Text, class List>
void visit_row(const FlowRecord& f, std::string_view input, Number number, Text text, List list) {
    number(f.id);
    text(input);
    text(f.key);
    number(f.proto);
    text(ip_or_empty(f, f.src));
    text(ip_or_empty(f, f.dst));
    number(f.src_port);
    number(f.dst_port);
    text(flow_community_id(f));
    for (std::uint64_t n :
         {f.first_us, f.last_us, f.last_us - f.first_us, f.packets[0], f.packets[1], f.bytes[0],
          f.bytes[1], f.payload[0], f.payload[1], std::uint64_t{f.tcp_flags}}) {
        number(n);
    }
    list(f.sizes);
    list(f.dirs);
    list(f.gaps);
    text(f.outer);
}

} // namespace

void write_table_row(FdWriter& out, const FlowRecord& f, std::string_view input,
                     TableFormat format) {
    const bool csv = format == TableFormat::Csv;
    std::string line;
    std::size_t col = 0;
    auto name = [&] {
        if (!csv) {
            line += col == 0 ? "{\"" : ",\"";
            line += kColumns[col];
            line += "\":";
        } else if (col > 0) {
            line += ',';
        }
        ++col;
    };
    visit_row(
        f, input,
        [&](std::uint64_t n) {
            name();
            line += std::to_string(n);
        },
        [&](std::string_view t) {
            name();
            csv ? put_csv_text(line, t) : put_json_text(line, t);
        },
        [&](const auto& values) {
            name();
            line += csv ? list_text(values, ' ') : "[" + list_text(values, ',') + "]";
        });
    line += csv ? "\n" : "}\n";
    out.write(line);
}

std::vector<ParquetColumn> table_parquet_columns() {
    std::vector<ParquetColumn> columns;
    FlowRecord none;
    std::size_t col = 0;
    visit_row(
        none, "",
        [&](std::uint64_t) {
            columns.push_back({std::string(kColumns[col++]), ParquetKind::Int64});
        },
        [&](std::string_view) {
            columns.push_back({std::string(kColumns[col++]), ParquetKind::Text});
        },
        [&](const auto&) {
            columns.push_back({std::string(kColumns[col++]), ParquetKind::Int64List});
        });
    return columns;
}

void write_table_row(ParquetWriter& out, const FlowRecord& f, std::string_view input) {
    visit_row(
        f, input, [&](std::uint64_t n) { out.int64(static_cast<std::int64_t>(n)); },
        [&](std::string_view t) { out.text(t); },
        [&](const auto& values) {
            out.list(std::span<const typename std::decay_t<decltype(values)>::value_type>(values));
        });
    out.end_row();
}

void write_keys_header(FdWriter& out) {
    out.write("row,id,input,key,proto,src,dst,src_port,dst_port,community_id,first_us,packets\n");
}

void write_keys_row(FdWriter& out, std::uint64_t row, const FlowRecord& f, std::string_view input) {
    std::string line = std::to_string(row) + "," + std::to_string(f.id) + ",";
    put_csv_text(line, input);
    line += ',';
    put_csv_text(line, f.key);
    line += "," + std::to_string(f.proto) + "," + ip_or_empty(f, f.src) + "," +
            ip_or_empty(f, f.dst) + "," + std::to_string(f.src_port) + "," +
            std::to_string(f.dst_port) + "," + flow_community_id(f) + "," +
            std::to_string(f.start_us) + "," + std::to_string(f.packets[0] + f.packets[1]) + "\n";
    out.write(line);
}

std::string npy_header(std::uint64_t rows, std::uint64_t columns) {
    // Version 1.0: magic, version, little-endian header length, then a
    // Python dict literal padded with blanks and ended by a line break.
    std::string dict = "{'descr': '|u1', 'fortran_order': False, 'shape': (" +
                       std::to_string(rows) + ", " + std::to_string(columns) + "), }";
    const std::size_t text_len = kNpyHeaderSize - 10;
    dict.resize(text_len - 1, ' ');
    dict += '\n';
    std::string out("\x93NUMPY\x01\x00", 8);
    out += static_cast<char>(text_len & 0xFF);
    out += static_cast<char>(text_len >> 8);
    return out + dict;
}

} // namespace vexlor::cli
