// table and bytes: one row per flow of captures or archives, as a table or
// as the first bytes of each flow in a NumPy array.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "cli/batch.h"
#include "cli/command_support.h"
#include "cli/output.h"
#include "cli/table_output.h"
#include "common/text.h"
#include "drivers/flow_stats.h"
#include "drivers/split_pipeline.h"

namespace vexlor::cli {
namespace {

// The inputs of table and bytes: one run per input, or one over all of them
// with --combine.  Each flow goes to `sink` with the name of its input.
using NamedSink = std::function<CommandStatus(const FlowRecord&, const std::string& input)>;

// The archives of an archive set among the inputs: a job's manifest stands
// for the archives it shows done, a directory for the archives in it (and
// is walked for captures too); `captures` keeps the other arguments.
std::expected<std::vector<std::string>, Failure> archive_sets(const std::vector<std::string>& args,
                                                              std::vector<std::string>& captures) {
    std::vector<std::string> archives;
    for (const std::string& arg : args) {
        std::error_code ec;
        const bool directory = std::filesystem::is_directory(arg, ec);
        bool set = false;
        auto named = directory || std::filesystem::is_regular_file(arg, ec)
                         ? archives_named(arg, set)
                         : std::expected<std::vector<std::string>, Failure>{};
        if (!named && !directory) {
            return std::unexpected(named.error());
        }
        if (named && set) {
            archives.insert(archives.end(), named->begin(), named->end());
        }
        if (directory || !set) {
            captures.push_back(arg);
        }
    }
    return archives;
}

// `outputs`: the command's files, none of which may be an input.
CommandStatus run_flow_inputs(const ParsedArgs& args, FlowStatsOptions& opt, const NamedSink& sink,
                              std::initializer_list<const TempFile*> outputs) {
    std::vector<std::string> capture_args;
    auto archives = archive_sets(args.positionals, capture_args);
    if (!archives) {
        return std::unexpected(archives.error());
    }
    auto inputs = expand_inputs(capture_args, "");
    if (!inputs) {
        return std::unexpected(inputs.error());
    }
    if (inputs->files.empty() && archives->empty()) {
        return failed("no capture or archive in " +
                      comma_list(args.positionals, [](const std::string& p) { return p; }));
    }
    std::vector<std::string> runs;
    const auto combine = combine_option(args);
    if (!combine) {
        return std::unexpected(combine.error());
    }
    // Archives named directly are looked for only when inputs are combined:
    // each look opens the file.
    if (*combine &&
        (!archives->empty() || std::ranges::any_of(inputs->files, [](const InputFile& f) {
            return is_archive_file(f.path);
        }))) {
        return failed("--combine reads captures as one, not archives");
    }
    if (*combine) {
        for (const InputFile& f : inputs->files) {
            opt.control.combined_inputs.push_back(f.path);
        }
        opt.control.combine = **combine;
        runs.push_back(inputs->files.front().path);
    } else {
        for (const InputFile& f : inputs->files) {
            runs.push_back(f.path);
        }
    }
    // An archive named twice (directly and in its set) is read once.
    for (const std::string& a : *archives) {
        if (std::ranges::find(runs, a) == runs.end()) {
            runs.push_back(a);
        }
    }
    std::vector<std::string> read = *archives;
    for (const InputFile& f : inputs->files) {
        read.push_back(f.path);
    }
    std::ranges::move(manifests_of(args.positionals), std::back_inserter(read));
    for (const TempFile* out : outputs) {
        for (const std::string& path : read) {
            if (auto st = out != nullptr ? out->guard(path) : CommandStatus{}; !st) {
                return st;
            }
        }
    }
    configure_run(args, opt.control);
    catch_interrupts();
    ProgressLine progress(show_progress(args));
    opt.progress = progress.callback();
    RunSummary total;
    const auto start = std::chrono::steady_clock::now();
    for (const std::string& path : runs) {
        if (auto st = check_input(path); !st) {
            return st;
        }
        opt.input_path = path;
        RunSummary summary;
        opt.control.summary = &summary;
        std::optional<Failure> sink_failure;
        std::uint64_t last_id = opt.first_id - 1;
        // The input column is text for Arrow, Parquet and JSON: a file name
        // that is not UTF-8 is shown as Python shows it with "replace".
        const std::string shown = utf8_or_replaced(path);
        if (shown != path) {
            std::fprintf(stderr,
                         "vexlor: warning: the file name %s is not UTF-8: the input column shows "
                         "U+FFFD in place of its bytes that are not\n",
                         input_name(path).c_str());
        }
        Status st = run_flow_stats(opt, [&](const FlowRecord& flow) -> Status {
            last_id = std::max(last_id, flow.id);
            if (auto written = sink(flow, shown); !written) {
                sink_failure = written.error();
                return runtime_error("output failed");
            }
            return {};
        });
        for (const auto& [held, strategy, strategy_name, names] :
             {std::tuple{summary.host_flows, SplitStrategy::Host, "host", "their hosts' names"},
              std::tuple{summary.mac_flows, SplitStrategy::Mac, "mac", "their link addresses"}}) {
            if (held && opt.strategy != strategy) {
                std::fprintf(stderr,
                             "vexlor: warning: %s holds the flows of --strategy %s, named here by "
                             "--strategy %s: give --strategy %s for %s\n",
                             input_name(path).c_str(), strategy_name,
                             std::string(args.last("strategy").value_or("session")).c_str(),
                             strategy_name, names);
            }
        }
        warn_left_out(summary, path);
        if (sink_failure) {
            progress.finish(false);
            return std::unexpected(*sink_failure);
        }
        if (!st) {
            progress.finish(false);
            if (g_cancel.load()) {
                return interrupted();
            }
            if (opt.control.combined_inputs.empty() && is_archive_file(path)) {
                // Failures to open are I/O errors; the rest are damage
                // found while reading.
                return failed((st.error().kind == ErrorKind::Io ? "cannot open archive " : "") +
                              path + ": " + st.error().message);
            }
            return run_failed(st.error(), path, "");
        }
        opt.first_id = last_id + 1;
        total.packets += summary.packets;
        total.flows += summary.flows;
        total.packets_no_ip += summary.packets_no_ip;
    }
    progress.finish(true);
    if (!args.has("quiet")) {
        std::fprintf(
            stderr, "vexlor: %s, %s, %s without IP, %.1f s\n",
            counted(total.packets, "packet", "packets").c_str(),
            counted(total.flows, "flow", "flows").c_str(),
            counted(total.packets_no_ip, "packet", "packets").c_str(),
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    return {};
}

// The options table and bytes share with split and archive.
CommandStatus flow_input_options(const ParsedArgs& args, FlowStatsOptions& opt) {
    if (auto st = build_options(args, opt); !st) {
        return st;
    }
    // An archive's flows are read on every core (a capture is read in order).
    opt.threads = default_writer_threads();
    if (auto combine = combine_option(args); !combine) {
        return std::unexpected(combine.error());
    }
    return {};
}

// A positive count: 0 is refused for options that size something.
Parsed<std::uint32_t> positive_option(const ParsedArgs& args, std::string_view name,
                                      std::uint32_t fallback, std::uint32_t max) {
    auto text = args.last(name);
    if (!text) {
        return fallback;
    }
    auto n = parse_number(*text, max, "--" + std::string(name));
    if (!n || *n == 0) {
        return usage_error("invalid value '" + std::string(*text) + "' for --" + std::string(name) +
                           ": expected a number from 1 to " + std::to_string(max));
    }
    return static_cast<std::uint32_t>(*n);
}

} // namespace

CommandStatus table_command(const ParsedArgs& args) {
    FlowStatsOptions opt;
    if (auto st = flow_input_options(args, opt); !st) {
        return st;
    }
    auto first = number_option<std::uint32_t>(args, "first", 20);
    if (!first || *first > 100000) {
        return misused({"invalid value '" + std::string(args.last("first").value_or("")) +
                        "' for --first: expected a number from 0 to 100000"});
    }
    opt.features.first_n = *first;
    TableFormat format = TableFormat::Csv;
    bool parquet = false;
    if (auto f = args.last("format")) {
        if (*f == "jsonl") {
            format = TableFormat::Jsonl;
        } else if (*f == "parquet") {
            parquet = true;
        } else if (*f != "csv") {
            return misused({"invalid value '" + std::string(*f) +
                            "' for --format: expected csv, jsonl or parquet"});
        }
    }
    if (parquet && !args.has("output") && ::isatty(STDOUT_FILENO) == 1) {
        return misused({"refusing to write Parquet to a terminal; use -o FILE or a pipe"});
    }
    auto file = TempFile::for_output(args.last("output"), args.positionals);
    if (!file) {
        return std::unexpected(file.error());
    }
    FdWriter out(*file ? (*file)->fd() : STDOUT_FILENO);
    const std::string where = *file ? (*file)->tmp() : "standard output";
    std::optional<ParquetWriter> columns;
    if (parquet) {
        columns.emplace(out, table_parquet_columns());
    } else {
        write_table_header(out, format);
    }
    auto st = run_flow_inputs(
        args, opt,
        [&](const FlowRecord& flow, const std::string& input) -> CommandStatus {
            if (columns) {
                write_table_row(*columns, flow, input);
            } else {
                write_table_row(out, flow, input, format);
            }
            return out.error() == 0 ? CommandStatus{} : write_failed(out.error(), where);
        },
        {*file ? &**file : nullptr});
    if (!st) {
        return st;
    }
    if (columns) {
        columns->finish();
    }
    if (!out.flush()) {
        return write_failed(out.error(), where);
    }
    return *file ? (*file)->publish() : CommandStatus{};
}

namespace {

Parsed<std::uint8_t> mask_option(const ParsedArgs& args) {
    std::uint8_t mask = 0;
    for (std::string_view text : args.all("mask")) {
        for (std::size_t from = 0; from <= text.size();) {
            const std::size_t comma = std::min(text.find(',', from), text.size());
            const std::string_view field = text.substr(from, comma - from);
            from = comma + 1;
            if (field == "mac") {
                mask |= kMaskMac;
            } else if (field == "ip") {
                mask |= kMaskIp;
            } else if (field == "port") {
                mask |= kMaskPort;
            } else if (field == "checksum") {
                mask |= kMaskChecksum;
            } else {
                return usage_error("unknown field '" + std::string(field) +
                                   "' for --mask (valid: mac, ip, port, checksum)");
            }
        }
    }
    return mask;
}

} // namespace

CommandStatus bytes_command(const ParsedArgs& args) {
    FlowStatsOptions opt;
    if (auto st = flow_input_options(args, opt); !st) {
        return st;
    }
    if (!args.has("first")) {
        return misused({"bytes needs --first N, the bytes kept of each flow (or packet)"});
    }
    auto n = positive_option(args, "first", 0, 1u << 20);
    if (!n) {
        return misused(n.error());
    }
    auto k = positive_option(args, "packets", 0, 4096);
    if (!k) {
        return misused(k.error());
    }
    auto mask = mask_option(args);
    if (!mask) {
        return misused(mask.error());
    }
    const std::optional<std::string_view> dest = args.last("output");
    if (!dest || *dest == "-" || dest->empty()) {
        return misused({"bytes needs -o FILE.npy"});
    }
    opt.features.first_n = 0;
    opt.features.row_bytes = *n;
    opt.features.row_packets = *k;
    opt.features.payload = args.has("payload");
    opt.features.mask = *mask;
    // The keys carry only each flow's packet count: packets past the row's
    // need no decoding.
    opt.features.directions = false;
    const std::uint64_t width = std::uint64_t(*n) * (*k == 0 ? 1 : *k);

    const std::string npy_path(*dest);
    const std::string keys_path =
        (npy_path.ends_with(".npy") ? npy_path.substr(0, npy_path.size() - 4) : npy_path) +
        ".keys.csv";
    // Two files, the keys named after the array, whose header (it counts
    // the rows) is written over its start last: no device or pipe.
    if (auto target = output_target(npy_path); target && target->in_place) {
        return failed("Output path " + npy_path +
                      " is not a regular file: bytes writes FILE.npy and FILE.keys.csv");
    }
    auto npy = TempFile::create(npy_path, args.positionals);
    if (!npy) {
        return std::unexpected(npy.error());
    }
    auto keys = TempFile::create(keys_path, args.positionals);
    if (!keys) {
        return std::unexpected(keys.error());
    }
    FdWriter rows(npy->fd());
    FdWriter key_rows(keys->fd());
    rows.write(npy_header(0, width));
    write_keys_header(key_rows);
    std::uint64_t count = 0;
    auto st =
        run_flow_inputs(args, opt,
                        [&](const FlowRecord& flow, const std::string& input) -> CommandStatus {
                            std::vector<std::uint8_t> row = flow.row;
                            row.resize(width, 0);
                            rows.write(row);
                            write_keys_row(key_rows, count++, flow, input);
                            if (rows.error() != 0) {
                                return write_failed(rows.error(), npy->tmp());
                            }
                            return key_rows.error() == 0
                                       ? CommandStatus{}
                                       : write_failed(key_rows.error(), keys->tmp());
                        },
                        {&*npy, &*keys});
    if (!st) {
        return st;
    }
    if (!rows.flush()) {
        return write_failed(rows.error(), npy->tmp());
    }
    if (!key_rows.flush()) {
        return write_failed(key_rows.error(), keys->tmp());
    }
    // The real number of rows, over the header written first.
    const std::string header = npy_header(count, width);
    if (::pwrite(npy->fd(), header.data(), header.size(), 0) !=
        static_cast<ssize_t>(header.size())) {
        return write_failed(errno, npy->tmp());
    }
    if (auto published = keys->publish(); !published) {
        return published;
    }
    return npy->publish();
}

} // namespace vexlor::cli
