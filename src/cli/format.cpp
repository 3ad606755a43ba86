#include "cli/format.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "common/ip_text.h"
#include "common/text.h"
#include "packet/protocols.h"

namespace vexlor::cli {
namespace {

// The last column, "host", is there only when a listed flow records which
// address it belongs to (archives of the host strategy made by the tool).
constexpr std::size_t kColumns = 11;
using Cells = std::array<std::string, kColumns>;

constexpr std::array<std::string_view, kColumns> kKeys = {
    "id",      "protocol", "src_ip", "dst_ip",   "src_port", "dst_port",
    "packets", "bytes",    "start",  "duration", "host",
};
// Numbers line up on the right in the table.
constexpr std::array<bool, kColumns> kRightAligned = {true, false, false, false, true, true,
                                                      true, true,  false, true,  false};
// Columns written as JSON strings; the rest are numbers.
constexpr std::array<bool, kColumns> kJsonString = {false, true,  true,  true,  false, false,
                                                    false, false, false, false, true};

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

Cells flow_cells(const FlowEntry& e, bool iso_start) {
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
            host_text(e)};
}

void write_padded(FdWriter& out, std::string_view text, std::size_t width, bool right) {
    std::string pad(width > text.size() ? width - text.size() : 0, ' ');
    if (right) {
        out.write(pad);
    }
    out.write(text);
    if (!right) {
        out.write(pad);
    }
}

void write_table(FdWriter& out, std::span<const FlowEntry* const> flows, std::size_t shown) {
    Cells header;
    std::array<std::size_t, kColumns> width{};
    for (std::size_t c = 0; c < shown; ++c) {
        for (char ch : kKeys[c]) {
            header[c].push_back(ch >= 'a' && ch <= 'z' ? static_cast<char>(ch - 'a' + 'A') : ch);
        }
        width[c] = header[c].size();
    }
    // Widths first, in a pass of its own, so that no row is kept in memory.
    for (const FlowEntry* e : flows) {
        Cells cells = flow_cells(*e, true);
        for (std::size_t c = 0; c < shown; ++c) {
            width[c] = std::max(width[c], cells[c].size());
        }
    }
    auto write_row = [&](const Cells& cells) {
        for (std::size_t c = 0; c < shown; ++c) {
            if (c != 0) {
                out.write("  ");
            }
            // No trailing blanks after a left-aligned last column.
            bool last = c + 1 == shown;
            write_padded(out, cells[c], last && !kRightAligned[c] ? 0 : width[c], kRightAligned[c]);
        }
        out.write("\n");
    };
    write_row(header);
    for (const FlowEntry* e : flows) {
        write_row(flow_cells(*e, true));
    }
}

void write_csv(FdWriter& out, std::span<const FlowEntry* const> flows, std::size_t shown) {
    // No cell can hold a comma, a quote or a line break, so none is quoted.
    auto write_row = [&](auto const& cells) {
        for (std::size_t c = 0; c < shown; ++c) {
            if (c != 0) {
                out.write(",");
            }
            out.write(cells[c]);
        }
        out.write("\n");
    };
    write_row(kKeys);
    for (const FlowEntry* e : flows) {
        write_row(flow_cells(*e, true));
    }
}

void write_json(FdWriter& out, std::span<const FlowEntry* const> flows, std::size_t shown) {
    if (flows.empty()) {
        out.write("[]\n");
        return;
    }
    out.write("[\n");
    for (std::size_t i = 0; i < flows.size(); ++i) {
        Cells cells = flow_cells(*flows[i], false);
        out.write("  {");
        for (std::size_t c = 0; c < shown; ++c) {
            out.write(c == 0 ? "\"" : ", \"");
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

std::string seconds_text(std::uint64_t micros) {
    char frac[8];
    std::snprintf(frac, sizeof frac, ".%06u", static_cast<unsigned>(micros % 1000000));
    return std::to_string(micros / 1000000) + frac;
}

std::string duration_text(std::uint64_t start, std::uint64_t end) {
    return end >= start ? seconds_text(end - start) : "-" + seconds_text(start - end);
}

void write_flows(FdWriter& out, std::span<const FlowEntry* const> flows, ListFormat format) {
    const bool hosts = std::ranges::any_of(
        flows, [](const FlowEntry* e) { return e->host_side != HostSide::Unknown; });
    const std::size_t shown = hosts ? kColumns : kColumns - 1;
    switch (format) {
    case ListFormat::Table:
        write_table(out, flows, shown);
        break;
    case ListFormat::Csv:
        write_csv(out, flows, shown);
        break;
    case ListFormat::Json:
        write_json(out, flows, shown);
        break;
    }
}

} // namespace vexlor::cli
