// Text forms the tool prints: addresses, protocols, times, and the flow
// listing in its three formats.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "archive/format.h"
#include "cli/output.h"
#include "packet/wide_dissect.h"

namespace vexlor::cli {

// Dotted decimal for IPv4 (stored IPv4-mapped), the compressed IPv6 text
// otherwise; a flow without IP header has the all-zero address "::".
std::string address_text(const Address16& addr);

// `s` as a JSON string, quotes included: quotes and backslashes escaped,
// control characters as \u00XX, other bytes as they are.
std::string json_string(std::string_view s);

// The lower-case protocol name that --proto accepts, or the decimal number
// when the protocol has no name here (0 for flows without IP header).
std::string protocol_text(std::uint8_t proto);
// A name, any case, or nothing.
std::optional<std::uint8_t> protocol_by_name(std::string_view name);
// "tcp, udp, ..." for messages.
std::string protocol_names();

// Microseconds since the epoch as "2024-01-02 03:04:05.123456" (UTC).
std::string utc_time(std::uint64_t micros);
// The other way: "2024-01-02 03:04:05.123456" (or with a T, a final Z, no
// fraction, no seconds, no time of day) as UTC, or seconds since the epoch
// ("1704164645.5"), to microseconds since the epoch.  Digits below the
// microsecond are cut off, or with `round_up` count as one more microsecond,
// so that a lower bound never takes in a time below it.
std::optional<std::uint64_t> parse_utc_time(std::string_view text, bool round_up = false);
// Microseconds as seconds with six decimals: "1700000000.250000".
std::string seconds_text(std::uint64_t micros);
// end - start as signed seconds: a flow stored out of time order can end
// before it starts.
std::string duration_text(std::uint64_t start, std::uint64_t end);
// Seconds as a clock shows them: "4:05", "1:02:03".
std::string clock_text(double seconds);

// A byte count as the progress lines show it: "812 B", "1.5 kB", "3.2 MB",
// "1.46 GB".
std::string size_text(std::uint64_t bytes);

enum class ListFormat { Table, Csv, Json, Parquet };

// `outer`: each flow's outer identifiers (an "outer" column when any is
// not empty); `archive`: each flow's archive, for a set of archives (an
// "archive" column first when `archive_column`, also when no flow is
// listed, so that the columns of a set do not depend on what was found).  Parquet has every column,
// typed (archive, id, protocol, src_ip, dst_ip, src_port, dst_port, packets, bytes, first_us,
// last_us, host, outer), empty texts where a flow has none.
void write_flows(FdWriter& out, std::span<const FlowEntry* const> flows, ListFormat format,
                 std::span<const std::string> outer = {}, std::span<const std::string> archive = {},
                 bool archive_column = false);

} // namespace vexlor::cli
