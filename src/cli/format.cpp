#include "cli/format.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <vector>

#include "cli/parquet.h"
#include "common/ip_text.h"
#include "common/text.h"
#include "packet/protocols.h"

namespace vexlor::cli {
namespace {

// The last two columns are there only when some listed flow has them, so
// that listings of archives without them read as they always have: "host"
// when a flow records which address it belongs to (archives of the host
// strategy made by the tool), "outer" when a flow's first packet came
// through tags or tunnels.
constexpr std::size_t kColumns = 13;
constexpr std::size_t kHost = 10;
constexpr std::size_t kOuter = 11;
constexpr std::size_t kArchive = 12; // listed first, for a set of archives
using Cells = std::array<std::string, kColumns>;
using Shown = std::vector<std::size_t>; // the columns listed, in order

constexpr std::array<std::string_view, kColumns> kKeys = {
    "id",    "protocol", "src_ip",   "dst_ip", "src_port", "dst_port", "packets",
    "bytes", "start",    "duration", "host",   "outer",    "archive",
};
// Numbers line up on the right in the table.
constexpr std::array<bool, kColumns> kRightAligned = {true, false, false, false, true,  true, true,
                                                      true, false, true,  false, false, false};
// Columns written as JSON strings; the rest are numbers.
constexpr std::array<bool, kColumns> kJsonString = {false, true,  true,  true, false, false, false,
                                                    false, false, false, true, true,  true};

std::string host_text(const FlowEntry& e) {
    switch (e.host_side) {
    case HostSide::Source:
        return address_text(e.src_addr);
    case HostSide::Destination:
        return address_text(e.dst_addr);
    case HostSide::Unknown:
        break;
    }
    return "";
}

} // namespace

std::string json_string(std::string_view s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", static_cast<unsigned>(c));
            out += esc;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

namespace {

// An archive's path as a cell: quoted for CSV when it holds a comma, a quote
// or a line break, escaped for JSON (without the quotes, which the row adds).
std::string archive_cell(std::string_view path, ListFormat format) {
    if (format == ListFormat::Json) {
        // JSON text is UTF-8: a name that is not shows U+FFFD where it is not.
        const std::string quoted = json_string(utf8_or_replaced(path));
        return quoted.substr(1, quoted.size() - 2);
    }
    if (format != ListFormat::Csv || path.find_first_of(",\"\r\n") == path.npos) {
        return std::string(path);
    }
    std::string out = "\"";
    for (char c : path) {
        out += c;
        if (c == '"') {
            out += '"';
        }
    }
    return out + "\"";
}

Cells flow_cells(const FlowEntry& e, std::string_view outer, bool iso_start) {
    return {std::to_string(e.id),
            protocol_text(e.proto),
            address_text(e.src_addr),
            address_text(e.dst_addr),
            std::to_string(e.src_port),
            std::to_string(e.dst_port),
            std::to_string(e.packet_count),
            std::to_string(e.total_bytes),
            iso_start ? utc_time(e.start_ts) : seconds_text(e.start_ts),
            duration_text(e.start_ts, e.end_ts),
            host_text(e),
            std::string(outer)};
}

// The outer identifiers of the i-th flow, when the caller has them.
std::string_view outer_of(std::span<const std::string> outer, std::size_t i) {
    return i < outer.size() ? std::string_view(outer[i]) : std::string_view();
}

// What a listing shows beside each flow's own fields.
struct Extra {
    std::span<const std::string> outer;
    std::span<const std::string> archive;
    ListFormat format;

    Cells cells(std::span<const FlowEntry* const> flows, std::size_t i) const {
        Cells c = flow_cells(*flows[i], outer_of(outer, i), format != ListFormat::Json);
        if (i < archive.size()) {
            c[kArchive] = archive_cell(archive[i], format);
        }
        return c;
    }
};

void write_table(FdWriter& out, std::span<const FlowEntry* const> flows, const Extra& extra,
                 const Shown& shown) {
    Cells header;
    std::array<std::size_t, kColumns> width{};
    for (std::size_t c : shown) {
        for (char ch : kKeys[c]) {
            header[c].push_back(ch >= 'a' && ch <= 'z' ? static_cast<char>(ch - 'a' + 'A') : ch);
        }
        width[c] = header[c].size();
    }
    // Widths first, in a pass of its own, so that no row is kept in memory.
    for (std::size_t i = 0; i < flows.size(); ++i) {
        Cells cells = extra.cells(flows, i);
        for (std::size_t c : shown) {
            width[c] = std::max(width[c], cells[c].size());
        }
    }
    std::string line;
    auto write_row = [&](const Cells& cells) {
        line.clear();
        for (std::size_t c : shown) {
            if (c != shown.front()) {
                line += "  ";
            }
            const std::size_t pad = width[c] > cells[c].size() ? width[c] - cells[c].size() : 0;
            line.append(kRightAligned[c] ? pad : 0, ' ') += cells[c];
            line.append(kRightAligned[c] ? 0 : pad, ' ');
        }
        // No trailing blanks after a left-aligned last column, empty or not.
        line.erase(line.find_last_not_of(' ') + 1);
        out.write(line);
        out.write("\n");
    };
    write_row(header);
    for (std::size_t i = 0; i < flows.size(); ++i) {
        write_row(extra.cells(flows, i));
    }
}

void write_parquet(FdWriter& out, std::span<const FlowEntry* const> flows,
                   std::span<const std::string> outer, std::span<const std::string> archive) {
    using K = ParquetKind;
    ParquetWriter w(out, {{"archive", K::Text},
                          {"id", K::Int64},
                          {"protocol", K::Text},
                          {"src_ip", K::Text},
                          {"dst_ip", K::Text},
                          {"src_port", K::Int64},
                          {"dst_port", K::Int64},
                          {"packets", K::Int64},
                          {"bytes", K::Int64},
                          {"first_us", K::Int64},
                          {"last_us", K::Int64},
                          {"host", K::Text},
                          {"outer", K::Text}});
    for (std::size_t i = 0; i < flows.size(); ++i) {
        const FlowEntry& e = *flows[i];
        // Parquet strings are UTF-8, as in JSON.
        w.text(i < archive.size() ? utf8_or_replaced(archive[i]) : std::string());
        w.int64(static_cast<std::int64_t>(e.id));
        w.text(protocol_text(e.proto));
        w.text(address_text(e.src_addr));
        w.text(address_text(e.dst_addr));
        for (std::uint64_t n :
             {std::uint64_t{e.src_port}, std::uint64_t{e.dst_port}, std::uint64_t{e.packet_count},
              e.total_bytes, e.start_ts, e.end_ts}) {
            w.int64(static_cast<std::int64_t>(n));
        }
        w.text(host_text(e));
        w.text(outer_of(outer, i));
        w.end_row();
    }
    w.finish();
}

void write_csv(FdWriter& out, std::span<const FlowEntry* const> flows, const Extra& extra,
               const Shown& shown) {
    // No cell can hold a comma, a quote or a line break, so none is quoted.
    auto write_row = [&](auto const& cells) {
        for (std::size_t c : shown) {
            if (c != shown.front()) {
                out.write(",");
            }
            out.write(cells[c]);
        }
        out.write("\n");
    };
    write_row(kKeys);
    for (std::size_t i = 0; i < flows.size(); ++i) {
        write_row(extra.cells(flows, i));
    }
}

void write_json(FdWriter& out, std::span<const FlowEntry* const> flows, const Extra& extra,
                const Shown& shown) {
    if (flows.empty()) {
        out.write("[]\n");
        return;
    }
    out.write("[\n");
    for (std::size_t i = 0; i < flows.size(); ++i) {
        Cells cells = extra.cells(flows, i);
        out.write("  {");
        for (std::size_t c : shown) {
            out.write(c == shown.front() ? "\"" : ", \"");
            out.write(kKeys[c]);
            out.write(kJsonString[c] ? "\": \"" : "\": ");
            out.write(cells[c]);
            if (kJsonString[c]) {
                out.write("\"");
            }
        }
        out.write(i + 1 == flows.size() ? "}\n" : "},\n");
    }
    out.write("]\n");
}

void append_two(std::string& out, unsigned v) {
    out.push_back(static_cast<char>('0' + v / 10 % 10));
    out.push_back(static_cast<char>('0' + v % 10));
}

} // namespace

std::string address_text(const Address16& addr) {
    return format_ip(from_address16(addr));
}

std::string protocol_text(std::uint8_t proto) {
    const ProtocolName* p = protocol_entry(proto);
    return p ? std::string(p->name) : std::to_string(proto);
}

std::optional<std::uint8_t> protocol_by_name(std::string_view name) {
    const ProtocolName* p = protocol_named(ascii_lower(name));
    return p ? std::optional<std::uint8_t>(p->number) : std::nullopt;
}

std::string protocol_names() {
    return comma_list(kProtocolNames, [](const ProtocolName& p) { return p.name; });
}

std::string utc_time(std::uint64_t micros) {
    std::uint64_t secs = micros / 1000000;
    std::uint64_t days = secs / 86400;
    unsigned rem = static_cast<unsigned>(secs % 86400);
    // Days since 1970-01-01 to a proleptic Gregorian date, counting in
    // 400-year eras that start on 0000-03-01 so that leap days fall last.
    std::uint64_t z = days + 719468;
    std::uint64_t era = z / 146097;
    std::uint64_t doe = z - era * 146097;
    std::uint64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    std::uint64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    std::uint64_t mp = (5 * doy + 2) / 153;
    unsigned day = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
    unsigned month = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
    std::uint64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);

    std::string out = year < 1000 ? std::string(4 - std::to_string(year).size(), '0') : "";
    out += std::to_string(year);
    out += '-';
    append_two(out, month);
    out += '-';
    append_two(out, day);
    out += ' ';
    append_two(out, rem / 3600);
    out += ':';
    append_two(out, rem / 60 % 60);
    out += ':';
    append_two(out, rem % 60);
    char frac[8];
    std::snprintf(frac, sizeof frac, ".%06u", static_cast<unsigned>(micros % 1000000));
    return out + frac;
}

std::optional<std::uint64_t> parse_utc_time(std::string_view text, bool round_up) {
    auto digits = [&](std::size_t at, std::size_t n) -> std::optional<unsigned> {
        if (at + n > text.size()) {
            return std::nullopt;
        }
        unsigned v = 0;
        for (std::size_t i = at; i < at + n; ++i) {
            if (text[i] < '0' || text[i] > '9') {
                return std::nullopt;
            }
            v = v * 10 + static_cast<unsigned>(text[i] - '0');
        }
        return v;
    };
    // The fraction after a dot at `at`, as microseconds; `at` moves past it.
    auto fraction = [&](std::size_t& at) -> std::optional<std::uint64_t> {
        if (at >= text.size() || text[at] != '.') {
            return std::uint64_t{0};
        }
        std::uint64_t us = 0, scale = 100000;
        bool finer = false; // digits below the microsecond that are not 0
        std::size_t i = at + 1;
        for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
            us += static_cast<std::uint64_t>(text[i] - '0') * scale;
            finer = finer || (scale == 0 && text[i] != '0');
            scale /= 10;
        }
        if (i == at + 1) {
            return std::nullopt;
        }
        at = i;
        return us + (finer && round_up ? 1 : 0);
    };
    // Four digits alone look like a year: neither a date nor, surely, 2024
    // seconds after the epoch.
    if (text.size() == 4 &&
        std::ranges::all_of(text, [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    if (text.size() <= 4 || text[4] != '-') {
        // Seconds since the epoch (a date has its year's dash at [4]).
        std::size_t at = 0;
        std::uint64_t secs = 0;
        for (; at < text.size() && text[at] >= '0' && text[at] <= '9' && at < 12; ++at) {
            secs = secs * 10 + static_cast<std::uint64_t>(text[at] - '0');
        }
        auto us = at > 0 || (!text.empty() && text[0] == '.') ? fraction(at) : std::nullopt;
        return us && at == text.size() ? std::optional(secs * 1000000 + *us) : std::nullopt;
    }
    const auto year = digits(0, 4), month = digits(5, 2), day = digits(8, 2);
    if (!year || !month || !day || text.size() < 10 || text[7] != '-' || *month < 1 ||
        *month > 12 || *day < 1 || *year < 1970) {
        return std::nullopt;
    }
    // A day the month has: 2023-02-30 is a mistake, not March 2nd.
    const bool leap = *year % 4 == 0 && (*year % 100 != 0 || *year % 400 == 0);
    constexpr std::uint8_t kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (*day > kDays[*month - 1] + (*month == 2 && leap ? 1u : 0u)) {
        return std::nullopt;
    }
    std::uint64_t secs_of_day = 0, us = 0;
    std::size_t at = 10;
    if (at < text.size() && (text[at] == ' ' || text[at] == 'T')) {
        // Seconds may be left out: 2024-01-02 03:04 is 03:04:00.
        const bool minutes_only = text.size() == 16 || (text.size() == 17 && text[16] == 'Z');
        const auto h = digits(11, 2), m = digits(14, 2);
        const auto sec = minutes_only ? std::optional(0u) : digits(17, 2);
        if (!h || !m || !sec || text[13] != ':' || (!minutes_only && text[16] != ':') || *h > 23 ||
            *m > 59 || *sec > 60) {
            return std::nullopt;
        }
        secs_of_day = *h * 3600u + *m * 60u + *sec;
        at = minutes_only ? 16 : 19;
        auto f = fraction(at);
        if (!f) {
            return std::nullopt;
        }
        us = *f;
    }
    if (at < text.size() && text[at] == 'Z') {
        ++at;
    }
    if (at != text.size()) {
        return std::nullopt;
    }
    // Days since 1970-01-01 of a proleptic Gregorian date (utc_time's
    // counting, run backwards).
    const std::uint64_t y = *year - (*month <= 2 ? 1 : 0);
    const std::uint64_t era = y / 400, yoe = y - era * 400;
    const std::uint64_t mp = *month > 2 ? *month - 3 : *month + 9;
    const std::uint64_t doy = (153 * mp + 2) / 5 + *day - 1;
    const std::uint64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const std::uint64_t days = era * 146097 + doe - 719468;
    return (days * 86400 + secs_of_day) * 1000000 + us;
}

std::string seconds_text(std::uint64_t micros) {
    char frac[8];
    std::snprintf(frac, sizeof frac, ".%06u", static_cast<unsigned>(micros % 1000000));
    return std::to_string(micros / 1000000) + frac;
}

std::string clock_text(double seconds) {
    const auto s = static_cast<unsigned long long>(seconds + 0.5);
    char buf[32];
    if (s >= 3600) {
        std::snprintf(buf, sizeof buf, "%llu:%02llu:%02llu", s / 3600, s / 60 % 60, s % 60);
    } else {
        std::snprintf(buf, sizeof buf, "%llu:%02llu", s / 60, s % 60);
    }
    return buf;
}

std::string duration_text(std::uint64_t start, std::uint64_t end) {
    return end >= start ? seconds_text(end - start) : "-" + seconds_text(start - end);
}

void write_flows(FdWriter& out, std::span<const FlowEntry* const> flows, ListFormat format,
                 std::span<const std::string> outer, std::span<const std::string> archive,
                 bool archive_column) {
    Shown shown = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    if (archive_column) {
        shown.insert(shown.begin(), kArchive);
    }
    const Extra extra{outer, archive, format};
    if (std::ranges::any_of(flows,
                            [](const FlowEntry* e) { return e->host_side != HostSide::Unknown; })) {
        shown.push_back(kHost);
    }
    if (std::ranges::any_of(outer, [](const std::string& o) { return !o.empty(); })) {
        shown.push_back(kOuter);
    }
    switch (format) {
    case ListFormat::Parquet:
        write_parquet(out, flows, outer, archive);
        break;
    case ListFormat::Table:
        write_table(out, flows, extra, shown);
        break;
    case ListFormat::Csv:
        write_csv(out, flows, extra, shown);
        break;
    case ListFormat::Json:
        write_json(out, flows, extra, shown);
        break;
    }
}

std::string size_text(std::uint64_t bytes) {
    char buf[32];
    if (bytes >= 1000000000) {
        std::snprintf(buf, sizeof buf, "%.2f GB", static_cast<double>(bytes) / 1e9);
    } else if (bytes >= 1000000) {
        std::snprintf(buf, sizeof buf, "%.1f MB", static_cast<double>(bytes) / 1e6);
    } else if (bytes >= 1000) {
        std::snprintf(buf, sizeof buf, "%.1f kB", static_cast<double>(bytes) / 1e3);
    } else {
        std::snprintf(buf, sizeof buf, "%u B", static_cast<unsigned>(bytes));
    }
    return buf;
}

} // namespace vexlor::cli
