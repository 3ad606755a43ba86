#include "cli/commands.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <functional>
#include <iterator>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "archive/archive_reader.h"
#include "cli/batch.h"
#include "cli/format.h"
#include "cli/output.h"
#include "cli/table_output.h"
#include "common/ip_text.h"
#include "common/text.h"
#include "common/unique_fd.h"
#include "drivers/archive_build.h"
#include "drivers/flow_stats.h"
#include "drivers/split_pipeline.h"
#include "flow/filter.h"
#include "packet/wide_dissect.h"
#include "parser/pcap_format.h"

namespace vexlor::cli {
namespace {

using namespace std::string_literals;

std::unexpected<Failure> failed(std::string message) {
    return std::unexpected(Failure{kExitFailure, std::move(message)});
}
std::unexpected<Failure> misused(UsageError e) {
    return std::unexpected(Failure{kExitUsage, std::move(e.message)});
}
// A core error prints exactly as the module raises it.
std::unexpected<Failure> core_failed(const Error& e) {
    return failed(e.kind == ErrorKind::Panic ? "internal error: " + e.message : e.message);
}
// A reader that stopped reading our output ends the run without noise.
std::unexpected<Failure> write_failed(int err, std::string_view where) {
    if (err == EPIPE) {
        return std::unexpected(Failure{kExitFailure, {}});
    }
    return failed("Failed to write " + std::string(where) + ": " + os_error_text(err));
}

// ---- progress ---------------------------------------------------------------

// One status line on standard error, redrawn in place.  The drivers report
// every 65536 records; drawing is further limited to a few times a second
// so that a fast run does not spend its time on the terminal.
class ProgressLine {
public:
    explicit ProgressLine(bool enabled) : enabled_(enabled) {}

    ProgressFn callback() {
        if (!enabled_) {
            return {};
        }
        return [this](const Progress& p) {
            last_ = p;
            seen_ = true;
            auto now = Clock::now();
            if (!drawn_ || now - last_draw_ >= kInterval) {
                draw(now);
            }
        };
    }

    // Success leaves the final figures on their own line; a failure clears
    // the line so that the error message starts at the margin.
    void finish(bool ok) {
        if (ok && seen_) {
            draw(Clock::now());
            std::fputs("\n", stderr);
        } else if (drawn_) {
            std::fprintf(stderr, "\r%*s\r", static_cast<int>(width_), "");
        }
    }

private:
    using Clock = std::chrono::steady_clock;
    static constexpr auto kInterval = std::chrono::milliseconds(250);

    void draw(Clock::time_point now) {
        double secs = std::chrono::duration<double>(now - start_).count();
        double rate = secs > 0 ? static_cast<double>(last_.bytes_done) / 1e6 / secs : 0;
        unsigned percent = last_.bytes_total == 0
                               ? 100
                               : static_cast<unsigned>(last_.bytes_done * 100 / last_.bytes_total);
        char line[160];
        int n =
            std::snprintf(line, sizeof line, "%s / %s (%u%%)  %llu packets  %.1f MB/s",
                          size_text(last_.bytes_done).c_str(), size_text(last_.bytes_total).c_str(),
                          percent, static_cast<unsigned long long>(last_.packets), rate);
        std::size_t len = n < 0 ? 0 : std::min<std::size_t>(static_cast<std::size_t>(n), 159);
        // Blanks over whatever a longer previous line left behind.
        std::fprintf(stderr, "\r%s%*s", line, static_cast<int>(width_ > len ? width_ - len : 0),
                     "");
        width_ = std::max(width_, len);
        drawn_ = true;
        last_draw_ = now;
    }

    bool enabled_;
    bool seen_ = false;
    bool drawn_ = false;
    std::size_t width_ = 0;
    Progress last_;
    Clock::time_point start_ = Clock::now();
    Clock::time_point last_draw_;
};

bool show_progress(const ParsedArgs& args) {
    return !args.has("quiet") && ::isatty(STDERR_FILENO) == 1;
}

// ---- shared options ---------------------------------------------------------

template <class T>
Parsed<T> number_option(const ParsedArgs& args, std::string_view name, T fallback) {
    auto text = args.last(name);
    if (!text) {
        return fallback;
    }
    auto n = parse_number(*text, std::numeric_limits<T>::max(), "--"s + std::string(name));
    if (!n) {
        return std::unexpected(n.error());
    }
    return static_cast<T>(*n);
}

Parsed<std::vector<std::uint16_t>> port_options(const ParsedArgs& args) {
    std::vector<std::uint16_t> ports;
    for (std::string_view text : args.all("port")) {
        auto n = parse_number(text, 65535, "--port");
        if (!n) {
            return std::unexpected(n.error());
        }
        ports.push_back(static_cast<std::uint16_t>(*n));
    }
    return ports;
}

std::unexpected<Failure> bad_address(std::string_view text) {
    const bool prefix = text.find('/') != std::string_view::npos;
    return misused(
        {(prefix ? "invalid IP prefix '" : "invalid IP address '") + std::string(text) + "'"});
}

// Filters for split and archive: addresses and prefixes ("10.0.0.0/8").  The
// drivers would skip a malformed address silently, which on a command line
// turns a typo into "no address filter"; the tool refuses it instead.
std::expected<void, Failure> filter_options(const ParsedArgs& args, std::vector<std::string>& ips,
                                            std::vector<std::uint16_t>& ports) {
    auto p = port_options(args);
    if (!p) {
        return misused(p.error());
    }
    ports = std::move(*p);
    for (std::string_view text : args.all("ip")) {
        if (!parse_ip(text) && !parse_prefix(text)) {
            return bad_address(text);
        }
        ips.emplace_back(text);
    }
    return {};
}

// ---- interrupts -------------------------------------------------------------

// Set by SIGINT or SIGTERM; the drivers poll it.  A lock-free atomic is safe
// to store from a signal handler.
std::atomic<bool> g_cancel{false};
volatile std::sig_atomic_t g_signal = 0;

extern "C" void on_interrupt(int sig) {
    g_signal = sig;
    g_cancel.store(true, std::memory_order_relaxed);
}

void catch_interrupts() {
    struct sigaction sa {};
    sa.sa_handler = on_interrupt;
    sigemptyset(&sa.sa_mask);
    // A second signal of the same kind takes the default way out, for a run
    // that does not come to its next poll soon enough.
    sa.sa_flags = SA_RESETHAND;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
}

// ---- inputs -----------------------------------------------------------------

// The tool looks at the input before a run, for messages that name it.
std::expected<void, Failure> check_input(const std::string& path) {
    if (path == "-") {
        return {};
    }
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        return failed("cannot read " + path + ": " + os_error_text(errno));
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) == 0 && S_ISDIR(st.st_mode)) {
        return failed(path + ": is a directory");
    }
    return {};
}

std::string input_name(const std::string& path) {
    return path == "-" ? "standard input" : path;
}

// ---- split and archive ------------------------------------------------------

// Seconds as a whole number or with up to six decimals ("300", "0.5"), in
// microseconds.  A year and more is allowed: a capture may span one.
Parsed<std::uint64_t> seconds_option(std::string_view text, std::string_view what) {
    constexpr std::uint64_t kMaxSeconds = 1'000'000'000;
    const std::size_t dot = text.find('.');
    const std::string_view whole = text.substr(0, dot);
    const std::string_view frac =
        dot == std::string_view::npos ? std::string_view() : text.substr(dot + 1);
    auto secs = parse_number(whole, kMaxSeconds, what);
    auto micros =
        frac.size() <= 6 ? parse_number(frac.empty() ? "0" : frac, 999999, what) : usage_error("");
    if (!secs || !micros || (dot != std::string_view::npos && frac.empty())) {
        return usage_error("invalid value '" + std::string(text) + "' for " + std::string(what) +
                           ": expected seconds, such as 300 or 0.5");
    }
    std::uint64_t us = *micros;
    for (std::size_t i = frac.size(); i < 6; ++i) {
        us *= 10;
    }
    return *secs * 1'000'000 + us;
}

// The options split and archive share: the live-flow cap, filters, the
// strategy and flow boundaries, into either driver's options.
template <class Options> CommandStatus build_options(const ParsedArgs& args, Options& opt) {
    auto max_sessions = number_option<std::uint32_t>(args, "max-sessions", opt.max_sessions);
    if (!max_sessions) {
        return misused(max_sessions.error());
    }
    opt.max_sessions = *max_sessions;
    if (auto st = filter_options(args, opt.ip_filters, opt.port_filters); !st) {
        return st;
    }
    const std::string_view strategy_text = args.last("strategy").value_or("session");
    auto strategy = parse_strategy(strategy_text);
    if (!strategy) {
        return misused({"unknown strategy '" + std::string(strategy_text) +
                        "' (valid: " + strategy_names() + ")"});
    }
    opt.strategy = *strategy;
    if (auto idle = args.last("idle-timeout")) {
        auto us = seconds_option(*idle, "--idle-timeout");
        if (!us) {
            return misused(us.error());
        }
        opt.boundaries.idle_timeout_us = *us;
    }
    opt.boundaries.tcp_restart = args.has("tcp-restart");
    // The tool decodes widely unless asked for exactly the module's outputs.
    const std::string_view decode = args.last("decode").value_or("wide");
    if (decode != "wide" && decode != "basic") {
        return misused(
            UsageError{"unknown decoding '" + std::string(decode) + "' (valid: wide, basic)"});
    }
    opt.decode = decode == "wide" ? Decode::Wide : Decode::Basic;
    return {};
}

// What the decoding made of the capture, on standard error: a capture whose
// packets mostly have no IP header was probably not read as its link layer
// deserves, and one useless fallback flow must not pass for a result.
void report_decoding(const ParsedArgs& args, const DecodeCounts& c) {
    if (c.packets > 0 && c.without_ip * 2 > c.packets) {
        std::fprintf(stderr,
                     "vexlor: warning: %llu of %llu packets had no IP header (link type %u, %s)\n",
                     static_cast<unsigned long long>(c.without_ip),
                     static_cast<unsigned long long>(c.packets), c.link_type,
                     link_type_name(c.link_type).c_str());
    }
    if (!args.has("quiet") && (c.decapsulated > 0 || c.unmatched_fragments > 0)) {
        std::fprintf(stderr, "vexlor: %llu packets decapsulated, %llu fragments unmatched\n",
                     static_cast<unsigned long long>(c.decapsulated),
                     static_cast<unsigned long long>(c.unmatched_fragments));
    }
}

std::string count_text(std::uint64_t n) {
    std::string digits = std::to_string(n);
    for (std::size_t i = digits.size(); i > 3; i -= 3) {
        digits.insert(i - 3, ",");
    }
    return digits;
}

std::string counted(std::uint64_t n, std::string_view one, std::string_view many) {
    return count_text(n) + " " + std::string(n == 1 ? one : many);
}

void print_summary(const RunSummary& s, double seconds) {
    std::fprintf(stderr, "vexlor: %s, %s, %s, %s written, %s without IP, %.1f s\n",
                 counted(s.packets, "packet", "packets").c_str(),
                 counted(s.flows, "flow", "flows").c_str(),
                 counted(s.files, "file", "files").c_str(), size_text(s.bytes_written).c_str(),
                 counted(s.packets_no_ip, "packet", "packets").c_str(), seconds);
}

// A core error, with the file it concerns named where the core's words do
// not name it.
std::unexpected<Failure> run_failed(const Error& e, const std::string& input,
                                    std::string_view output) {
    const std::string& m = e.message;
    if (m.starts_with("Invalid PCAP") || m.starts_with("Unsupported file format")) {
        return failed(input_name(input) + ": " + m);
    }
    if (e.kind == ErrorKind::Io && !m.starts_with("Output ") && !m.starts_with("Failed to")) {
        return failed("cannot write " + std::string(output) + ": " + m);
    }
    if (e.kind == ErrorKind::Value) {
        return failed(m);
    }
    return core_failed(e);
}

// How the tool's runs behave, unlike the module's: see RunControl.
void configure_run(const ParsedArgs& args, RunControl& control) {
    control.cancel = &g_cancel;
    control.remove_on_failure = true;
    control.tolerate_cut_off = !args.has("strict");
    control.ip_prefixes = true;
    control.record_host_side = true;
    // Compressed captures and standard input are read as streams.
    control.reading = InputReading::Streamed;
}

// Runs a driver with the progress line on the terminal when it is wanted,
// interrupts caught, and temporary files removed by a failed run.
template <class Options, class Driver>
CommandStatus run_driver(const ParsedArgs& args, Options& opt, std::string_view output,
                         Driver driver) {
    if (auto st = check_input(opt.input_path); !st) {
        return st;
    }
    RunSummary summary;
    configure_run(args, opt.control);
    opt.control.summary = &summary;
    catch_interrupts();
    const auto start = std::chrono::steady_clock::now();
    ProgressLine progress(show_progress(args));
    opt.progress = progress.callback();
    DecodeCounts counts;
    opt.counts = &counts;
    auto st = driver(opt);
    progress.finish(st.has_value());
    if (!st && g_cancel.load()) {
        return std::unexpected(
            Failure{128 + static_cast<int>(g_signal), "interrupted: nothing published"});
    }
    if (summary.cut_off) {
        std::fprintf(stderr, "vexlor: warning: %s: last record cut off at byte %llu (%s dropped)\n",
                     input_name(opt.input_path).c_str(),
                     static_cast<unsigned long long>(summary.cut_off->offset),
                     counted(summary.cut_off->dropped, "byte", "bytes").c_str());
    }
    if (!st) {
        return run_failed(st.error(), opt.input_path, output);
    }
    if (!args.has("quiet")) {
        print_summary(
            summary,
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    report_decoding(args, counts);
    return {};
}

Parsed<std::string> prefix_option(const ParsedArgs& args) {
    auto text = args.last("prefix");
    if (!text) {
        return std::string();
    }
    if (text->empty() || text->find('/') != std::string_view::npos ||
        text->find('\0') != std::string_view::npos || *text == "." || *text == "..") {
        return usage_error("invalid value '" + std::string(*text) +
                           "' for --prefix: expected a file name without '/'");
    }
    return std::string(*text);
}

// The default file-name prefix of a compressed input: its name without the
// compression's extension and then the capture's ("a.pcap.gz": "a").
// Empty (the driver's own default) for any other input.
std::string compressed_stem(const std::string& path) {
    for (std::string_view ext : {".gz", ".zst", ".zstd", ".xz", ".bz2"}) {
        if (path.size() > ext.size() && path.ends_with(ext)) {
            return output_prefix(path.substr(0, path.size() - ext.size()));
        }
    }
    return "";
}

// The options that shape outputs, in a fixed form: a manifest made with
// others does not vouch for this run's outputs.
std::string options_signature(const ParsedArgs& args) {
    std::string sig;
    for (const ParsedArgs::Option& o : args.options) {
        if (o.name != "quiet" && o.name != "jobs" && o.name != "writer-threads" &&
            o.name != "help" && o.name != "each" && o.name != "root" && o.name != "list") {
            sig += (sig.empty() ? "--" : " --") + std::string(o.name) +
                   (o.value.empty() ? "" : "=" + o.value);
        }
    }
    return sig;
}

void set_output(SplitOptions& opt, const std::string& out) {
    opt.output_dir = out;
    if (opt.prefix.empty()) {
        opt.prefix = compressed_stem(opt.input_path);
    }
}
void set_output(ArchiveBuildOptions& opt, const std::string& out) {
    opt.output_path = out;
}

// Several inputs (or a directory, or a pattern): either one run over all of
// them read as one capture (--combine), or one run per input.  nullopt: the
// command line names one capture, for the usual run.
template <class Options>
std::optional<CommandStatus> run_many(const ParsedArgs& args, Options& opt, std::string& output,
                                      std::string_view command, std::string_view suffix,
                                      Status (*driver)(const Options&)) {
    const std::vector<std::string> paths(args.positionals.begin(), args.positionals.end() - 1);
    auto inputs = expand_inputs(paths, std::string(args.last("root").value_or("")));
    if (!inputs) {
        return std::unexpected(inputs.error());
    }
    auto jobs = number_option<std::uint32_t>(args, "jobs",
                                             std::max(1u, std::thread::hardware_concurrency()));
    if (!jobs) {
        return misused(jobs.error());
    }
    const auto combine = args.last("combine");
    if (combine && *combine != "concat" && *combine != "merge") {
        return misused(
            {"unknown way to combine '" + std::string(*combine) + "' (valid: concat, merge)"});
    }
    const bool each = args.has("each") || args.has("list");
    if (!combine && !each && !inputs->expanded && inputs->files.size() == 1) {
        opt.input_path = inputs->files.front().path;
        return std::nullopt;
    }
    if (inputs->files.empty()) {
        return failed("no capture in " + comma_list(paths, [](const std::string& p) { return p; }));
    }
    if (combine) {
        for (const InputFile& f : inputs->files) {
            opt.control.combined_inputs.push_back(f.path);
        }
        opt.control.combine = *combine == "merge" ? Combine::Merge : Combine::Concatenate;
        opt.input_path = inputs->files.front().path;
        return std::nullopt;
    }
    Batch batch{std::string(command),
                output,
                std::string(suffix),
                options_signature(args),
                std::max<std::uint32_t>(*jobs, 1),
                args.has("quiet"),
                args.has("list"),
                &g_cancel,
                &g_signal,
                show_progress(args)};
    configure_run(args, opt.control);
    catch_interrupts();
    return run_batch(
        batch, *inputs,
        [&](const InputFile& in, const std::string& out, RunControl& control,
            const ProgressFn& progress) {
            if (auto readable = check_input(in.path); !readable) {
                return Status(io_error(readable.error().message));
            }
            Options one = opt;
            one.input_path = in.path;
            if constexpr (requires { one.writer_threads; }) {
                // Parallel inputs already keep every core busy.
                if (*jobs > 1 && !args.has("writer-threads")) {
                    one.writer_threads = 0;
                }
            }
            set_output(one, out);
            one.progress = progress;
            control.cancel = opt.control.cancel;
            control.remove_on_failure = true;
            control.tolerate_cut_off = opt.control.tolerate_cut_off;
            control.ip_prefixes = true;
            control.record_host_side = true;
            control.reading = InputReading::Streamed;
            one.control = control;
            Status st = driver(one);
            if (!st) {
                // The tool's words for it, the input named.
                return Status(std::unexpected(
                    Error{st.error().kind, run_failed(st.error(), in.path, out).error().message}));
            }
            return st;
        });
}

CommandStatus split_command(const ParsedArgs& args) {
    SplitOptions opt;
    opt.output_dir = args.positionals.back();
    auto buffer_bytes = number_option<std::uint64_t>(args, "buffer-bytes", opt.buffer_bytes);
    if (!buffer_bytes) {
        return misused(buffer_bytes.error());
    }
    opt.buffer_bytes = *buffer_bytes;
    // At most 255: more would only take turns with each other.
    auto writers = number_option<std::uint8_t>(args, "writer-threads",
                                               static_cast<std::uint8_t>(default_writer_threads()));
    if (!writers) {
        return misused(writers.error());
    }
    opt.writer_threads = *writers;
    if (auto st = build_options(args, opt); !st) {
        return st;
    }
    const std::string_view type_text = args.last("output-type").value_or("pcap");
    auto type = parse_output_type(type_text);
    if (!type) {
        return misused({"unknown output type '" + std::string(type_text) + "' (valid: pcap, l7)"});
    }
    opt.output_type = *type;
    auto prefix = prefix_option(args);
    if (!prefix) {
        return misused(prefix.error());
    }
    opt.prefix = *prefix;
    opt.shorten_long_names = true;
    if (auto many = run_many(args, opt, opt.output_dir, "split", "", run_split)) {
        return *many;
    }
    // Standard input has no stem; "-" as a leading file name character
    // would read as an option to other tools.
    if (opt.prefix.empty()) {
        opt.prefix = opt.input_path == "-" ? "stdin" : compressed_stem(opt.input_path);
    }
    return run_driver(args, opt, opt.output_dir, run_split);
}

CommandStatus archive_command(const ParsedArgs& args) {
    ArchiveBuildOptions opt;
    opt.output_path = args.positionals.back();
    if (auto st = build_options(args, opt); !st) {
        return st;
    }
    if (auto many = run_many(args, opt, opt.output_path, "archive", ".vexlor", build_archive)) {
        return *many;
    }
    return run_driver(args, opt, opt.output_path, build_archive);
}

// ---- flow selection ---------------------------------------------------------

// Repeating one kind of selector widens the choice (any of the values);
// different kinds narrow it (all of the kinds).
struct Selection {
    std::vector<std::uint64_t> ids;
    std::vector<Address16> ips;
    std::vector<IpPrefix> prefixes;
    std::vector<std::uint16_t> ports;
    std::vector<std::uint8_t> protos;
    // Flows with a packet in [since, until] (their first and last packet
    // times), microseconds since the epoch.
    std::optional<std::uint64_t> since, until;

    // Whether an index selects (time is looked at flow by flow).
    bool indexed() const {
        return !ids.empty() || !ips.empty() || !prefixes.empty() || !ports.empty() ||
               !protos.empty();
    }
    bool any() const { return indexed() || since || until; }
    bool in_time(const FlowEntry& e) const {
        return (!since || std::max(e.start_ts, e.end_ts) >= *since) &&
               (!until || std::min(e.start_ts, e.end_ts) <= *until);
    }
};

std::expected<Selection, Failure> selection_options(const ParsedArgs& args) {
    Selection sel;
    // Mistakes of form (numbers) are reported before mistakes of value
    // (names), whatever their order on the line.
    std::optional<Failure> value_problem;
    for (const ParsedArgs::Option& o : args.options) {
        if (o.name == "id") {
            auto n = parse_number(o.value, std::numeric_limits<std::uint64_t>::max(), "--id");
            if (!n) {
                return misused(n.error());
            }
            sel.ids.push_back(*n);
        } else if (o.name == "port") {
            auto n = parse_number(o.value, 65535, "--port");
            if (!n) {
                return misused(n.error());
            }
            sel.ports.push_back(static_cast<std::uint16_t>(*n));
        } else if (o.name == "proto") {
            if (!o.value.empty() && o.value[0] >= '0' && o.value[0] <= '9') {
                auto n = parse_number(o.value, 255, "--proto");
                if (!n) {
                    return misused(n.error());
                }
                sel.protos.push_back(static_cast<std::uint8_t>(*n));
            } else if (auto p = protocol_by_name(o.value)) {
                sel.protos.push_back(*p);
            } else if (!value_problem) {
                value_problem = Failure{kExitUsage, "unknown protocol '" + o.value +
                                                        "' (valid: " + protocol_names() +
                                                        ", or a number from 0 to 255)"};
            }
        } else if (o.name == "since" || o.name == "until") {
            auto t = parse_utc_time(o.value);
            if (!t) {
                return misused({"invalid value '" + o.value + "' for --" + std::string(o.name) +
                                ": expected a UTC time such as 2024-01-02T03:04:05 or seconds "
                                "since the epoch"});
            }
            (o.name == "since" ? sel.since : sel.until) = *t;
        } else if (o.name == "ip") {
            if (auto ip = parse_ip(o.value)) {
                sel.ips.push_back(ip->mapped16());
            } else if (auto prefix = parse_prefix(o.value)) {
                sel.prefixes.push_back(*prefix);
            } else if (!value_problem) {
                value_problem = bad_address(o.value).error();
            }
        }
    }
    if (value_problem) {
        return std::unexpected(std::move(*value_problem));
    }
    return sel;
}

// An address as archives store it (IPv4 as IPv4-mapped IPv6) back in its
// own family, so that prefixes of one family hold no address of the other.
IpAddress stored_address(const Address16& a) {
    constexpr std::uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (std::equal(a.begin(), a.begin() + 12, kMapped)) {
        return IpAddress::v4(a.data() + 12);
    }
    return IpAddress::v6(a.data());
}

// The selected flows in ascending id order, or every flow in table order
// when nothing is selected.  Each kind is answered from the archive's
// indexes (a scan of the flow table only when the archive has none).
std::vector<const FlowEntry*> select_indexed(const ArchiveReader& reader, const Selection& sel) {
    std::vector<const FlowEntry*> out;
    if (!sel.indexed()) {
        for (const FlowEntry& e : reader.flows()) {
            out.push_back(&e);
        }
        return out;
    }
    std::optional<std::vector<std::uint64_t>> chosen;
    auto narrow = [&](std::vector<std::uint64_t> ids) {
        std::ranges::sort(ids);
        ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
        if (!chosen) {
            chosen = std::move(ids);
            return;
        }
        std::vector<std::uint64_t> both;
        std::ranges::set_intersection(*chosen, ids, std::back_inserter(both));
        chosen = std::move(both);
    };
    auto union_of = [](const auto& keys, auto lookup) {
        std::vector<std::uint64_t> ids;
        for (const auto& key : keys) {
            std::ranges::copy(lookup(key), std::back_inserter(ids));
        }
        return ids;
    };
    if (!sel.ids.empty()) {
        narrow(sel.ids);
    }
    if (!sel.ips.empty() || !sel.prefixes.empty()) {
        auto ids = union_of(sel.ips, [&](const Address16& a) { return reader.find_by_address(a); });
        auto in_prefixes = [&](const Address16& a) {
            return std::ranges::any_of(
                sel.prefixes, [&](const IpPrefix& p) { return p.contains(stored_address(a)); });
        };
        // Prefixes are answered by a scan of the flow table: the address
        // index has no range lookup.
        for (const FlowEntry& e : reader.flows()) {
            const bool has_ip = e.proto != 0 || e.src_addr != Address16{};
            if (has_ip && (in_prefixes(e.src_addr) || in_prefixes(e.dst_addr))) {
                ids.push_back(e.id);
            }
        }
        // A flow of the host strategy is the flow of one address only; its
        // entry holds its first packet's two.
        std::erase_if(ids, [&](std::uint64_t id) {
            const FlowEntry* e = reader.resolve(id);
            if (!e || e->host_side == HostSide::Unknown) {
                return false;
            }
            const Address16& host = e->host_side == HostSide::Source ? e->src_addr : e->dst_addr;
            return std::ranges::find(sel.ips, host) == sel.ips.end() && !in_prefixes(host);
        });
        narrow(std::move(ids));
    }
    if (!sel.ports.empty()) {
        narrow(union_of(sel.ports, [&](std::uint16_t p) { return reader.find_by_port(p); }));
    }
    if (!sel.protos.empty()) {
        narrow(union_of(sel.protos, [&](std::uint8_t p) { return reader.find_by_protocol(p); }));
    }
    for (std::uint64_t id : *chosen) {
        if (const FlowEntry* e = reader.resolve(id)) {
            out.push_back(e);
        }
    }
    return out;
}

std::vector<const FlowEntry*> select_flows(const ArchiveReader& reader, const Selection& sel) {
    std::vector<const FlowEntry*> out = select_indexed(reader, sel);
    std::erase_if(out, [&](const FlowEntry* e) { return !sel.in_time(*e); });
    return out;
}

std::expected<std::shared_ptr<const ArchiveReader>, Failure> open_archive(const std::string& path) {
    auto reader = ArchiveReader::open(path);
    if (!reader) {
        // The reader's words do not say why the file could not be opened;
        // the system's do.
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) {
            return failed("cannot open archive " + path + ": " + os_error_text(errno));
        }
        if (S_ISDIR(st.st_mode)) {
            return failed(path + ": is a directory");
        }
        return failed("cannot open archive " + path + ": " + reader.error().message);
    }
    return std::move(*reader);
}

// The archives of the ARCHIVE arguments, each with the name it is listed
// under; `set` when a directory, a manifest or several archives were named.
struct ArchiveSet {
    std::vector<std::string> names;
    std::vector<std::shared_ptr<const ArchiveReader>> readers;
    bool set = false;
};

std::expected<ArchiveSet, Failure> open_archives(const ParsedArgs& args) {
    ArchiveSet out;
    out.set = args.positionals.size() > 1;
    for (const std::string& arg : args.positionals) {
        auto named = archives_named(arg, out.set);
        if (!named) {
            return std::unexpected(named.error());
        }
        for (std::string& path : *named) {
            auto reader = open_archive(path);
            if (!reader) {
                return std::unexpected(reader.error());
            }
            out.names.push_back(std::move(path));
            out.readers.push_back(std::move(*reader));
        }
    }
    return out;
}

// ---- flows ------------------------------------------------------------------

// Each flow's outer identifiers (VLAN ids, labels, VNI, ...), from its first
// stored packet decoded again widely: the archive keeps whole frames, so
// tenants that share inner addresses can be told apart without a field of
// the archive for them.  A flow keyed by its innermost header has the outer
// layers of its first packet; later packets may have come another way.
std::vector<std::string> outer_layers(const ArchiveReader& reader,
                                      std::span<const FlowEntry* const> flows) {
    std::vector<std::string> out(flows.size());
    WideDissection d;
    for (std::size_t i = 0; i < flows.size(); ++i) {
        const auto offset = reader.first_packet_offset(*flows[i]);
        const auto packet = offset ? reader.packet_at(*offset) : std::nullopt;
        if (packet) {
            dissect_wide(packet->data, reader.link_type(), d);
            out[i] = outer_text(d.encap);
        }
    }
    return out;
}

CommandStatus flows_command(const ParsedArgs& args) {
    ListFormat format = ListFormat::Table;
    if (auto f = args.last("format")) {
        if (*f == "table") {
            format = ListFormat::Table;
        } else if (*f == "csv") {
            format = ListFormat::Csv;
        } else if (*f == "json") {
            format = ListFormat::Json;
        } else {
            return misused({"invalid value '" + std::string(*f) +
                            "' for --format: expected table, csv or json"});
        }
    }
    auto sel = selection_options(args);
    if (!sel) {
        return std::unexpected(sel.error());
    }
    auto archives = open_archives(args);
    if (!archives) {
        return std::unexpected(archives.error());
    }
    std::vector<const FlowEntry*> flows;
    std::vector<std::string> outer, names;
    for (std::size_t a = 0; a < archives->readers.size(); ++a) {
        const ArchiveReader& reader = *archives->readers[a];
        std::vector<const FlowEntry*> chosen = select_flows(reader, *sel);
        std::ranges::move(outer_layers(reader, chosen), std::back_inserter(outer));
        if (archives->set) {
            names.insert(names.end(), chosen.size(), archives->names[a]);
        }
        flows.insert(flows.end(), chosen.begin(), chosen.end());
    }
    FdWriter out(STDOUT_FILENO);
    write_flows(out, flows, format, outer, names);
    if (!out.flush()) {
        return write_failed(out.error(), "standard output");
    }
    return {};
}

// A strategy that puts a packet into two flows (host, mac) stores it once
// for each, as two identical records one right after the other.  Walking the
// selected records in file order, a record is such a copy when it follows an
// original of another flow directly and has the same bytes; an original
// pairs with one copy at most, so a packet captured twice stays twice.
template <class PendingT>
void drop_stored_copies(const ArchiveReader& reader, std::vector<PendingT>& pending) {
    std::vector<std::size_t> by_offset(pending.size());
    for (std::size_t i = 0; i < by_offset.size(); ++i) {
        by_offset[i] = i;
    }
    std::ranges::sort(by_offset, {}, [&](std::size_t i) { return pending[i].offset; });
    std::vector<bool> copy(pending.size(), false);
    for (std::size_t k = 1; k < by_offset.size(); ++k) {
        const PendingT& prev = pending[by_offset[k - 1]];
        const PendingT& cur = pending[by_offset[k]];
        if (copy[by_offset[k - 1]] || prev.flow == cur.flow || prev.size != cur.size ||
            prev.offset + prev.size != cur.offset) {
            continue;
        }
        auto a = reader.record_at(prev.offset);
        auto b = reader.record_at(cur.offset);
        if (a && b && std::ranges::equal(*a, *b)) {
            copy[by_offset[k]] = true;
        }
    }
    std::size_t out = 0;
    for (std::size_t i = 0; i < pending.size(); ++i) {
        if (!copy[i]) {
            pending[out++] = pending[i];
        }
    }
    pending.resize(out);
}

// ---- extract ----------------------------------------------------------------

CommandStatus extract_command(const ParsedArgs& args) {
    auto sel = selection_options(args);
    if (!sel) {
        return std::unexpected(sel.error());
    }
    if (!sel->any()) {
        return misused(
            {"extract needs at least one of --id, --ip, --port, --proto, --since, --until"});
    }
    std::optional<std::string_view> dest = args.last("output");
    bool to_stdout = !dest || *dest == "-";
    if (to_stdout && ::isatty(STDOUT_FILENO) == 1) {
        return misused({"refusing to write pcap data to a terminal; use -o FILE or a pipe"});
    }
    auto archives = open_archives(args);
    if (!archives) {
        return std::unexpected(archives.error());
    }
    // One pcap holds one link type.
    const std::uint32_t link_type =
        archives->readers.empty() ? kLinkEthernet : archives->readers.front()->link_type();
    for (std::size_t a = 1; a < archives->readers.size(); ++a) {
        if (archives->readers[a]->link_type() != link_type) {
            return failed(archives->names[a] + " has link type " +
                          std::to_string(archives->readers[a]->link_type()) + ", but " +
                          archives->names.front() + " has " + std::to_string(link_type) +
                          ": one pcap holds one link type");
        }
    }

    // Every selected packet's time and place, then one stable sort: equal
    // times keep archive order, then flow-id order, then each flow's stored
    // order.  Flows are not assumed to be in time order themselves
    // (captures need not be).
    struct Pending {
        std::uint64_t ts;
        std::uint64_t offset;
        std::uint64_t flow;
        std::uint64_t size; // of the stored record
        std::size_t archive = 0;
    };
    std::vector<Pending> pending;
    for (std::size_t a = 0; a < archives->readers.size(); ++a) {
        const ArchiveReader& reader = *archives->readers[a];
        std::vector<Pending> mine;
        std::unordered_set<std::uint64_t> seen; // a record listed twice is one packet
        for (const FlowEntry* e : select_flows(reader, *sel)) {
            auto offsets = reader.get_packet_offsets(*e);
            if (!offsets) {
                return core_failed(offsets.error());
            }
            for (std::uint64_t off : *offsets) {
                // Records that do not lie wholly inside the file are left
                // out, as the module's packets() does.
                auto p = reader.packet_at(off);
                auto rec = reader.record_at(off);
                if (p && rec && seen.insert(off).second) {
                    mine.push_back({std::uint64_t{p->ts_sec} * 1000000 + p->ts_usec, off, e->id,
                                    rec->size(), a});
                }
            }
        }
        drop_stored_copies(reader, mine);
        pending.insert(pending.end(), mine.begin(), mine.end());
    }
    std::ranges::stable_sort(pending, {}, &Pending::ts);

    std::string tmp;
    UniqueFd file;
    if (!to_stdout) {
        tmp = std::string(*dest) + ".tmp";
        file = UniqueFd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
        if (!file.valid()) {
            return failed("Failed to create output file " + tmp + ": " + os_error_text(errno));
        }
    }
    FdWriter out(to_stdout ? STDOUT_FILENO : file.get());
    out.write(pcap_global_header(link_type));
    for (const Pending& p : pending) {
        // A stored record is a classic pcap record as it stands.
        if (auto rec = archives->readers[p.archive]->record_at(p.offset)) {
            out.write(*rec);
        }
    }
    bool written = out.flush();
    if (to_stdout) {
        return written ? CommandStatus{} : write_failed(out.error(), "standard output");
    }
    int err = written ? file.reset() : out.error();
    if (err != 0) {
        ::unlink(tmp.c_str());
        return write_failed(err, tmp);
    }
    if (::rename(tmp.c_str(), std::string(*dest).c_str()) != 0) {
        err = errno;
        ::unlink(tmp.c_str());
        return failed("Failed to rename " + tmp + " -> " + std::string(*dest) + ": " +
                      os_error_text(err));
    }
    return {};
}

// ---- table and bytes --------------------------------------------------------

// A file written under a temporary name and renamed into place by publish();
// dropped unpublished, it is removed.
class TempFile {
public:
    static std::expected<TempFile, Failure> create(std::string path) {
        TempFile f;
        f.path_ = std::move(path);
        f.tmp_ = f.path_ + ".tmp";
        f.fd_ = UniqueFd(::open(f.tmp_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
        if (!f.fd_.valid()) {
            return failed("Failed to create output file " + f.tmp_ + ": " + os_error_text(errno));
        }
        return f;
    }
    TempFile() = default;
    TempFile(TempFile&& o) noexcept { *this = std::move(o); }
    TempFile& operator=(TempFile&& o) noexcept {
        std::swap(path_, o.path_);
        std::swap(tmp_, o.tmp_);
        std::swap(fd_, o.fd_);
        return *this;
    }
    ~TempFile() {
        if (fd_.valid() || !tmp_.empty()) {
            ::unlink(tmp_.c_str());
        }
    }
    int fd() const { return fd_.get(); }
    const std::string& tmp() const { return tmp_; }

    CommandStatus publish() {
        if (int err = fd_.reset(); err != 0) {
            return write_failed(err, tmp_);
        }
        if (::rename(tmp_.c_str(), path_.c_str()) != 0) {
            return failed("Failed to rename " + tmp_ + " -> " + path_ + ": " +
                          os_error_text(errno));
        }
        tmp_.clear();
        return {};
    }

private:
    std::string path_, tmp_;
    UniqueFd fd_;
};

// The inputs of table and bytes: one run per input, or one over all of them
// with --combine.  Each flow goes to `sink` with the name of its input.
using NamedSink = std::function<CommandStatus(const FlowRecord&, const std::string& input)>;

CommandStatus run_flow_inputs(const ParsedArgs& args, FlowStatsOptions& opt,
                              const NamedSink& sink) {
    auto inputs = expand_inputs(args.positionals, "");
    if (!inputs) {
        return std::unexpected(inputs.error());
    }
    if (inputs->files.empty()) {
        return failed("no capture in " +
                      comma_list(args.positionals, [](const std::string& p) { return p; }));
    }
    std::vector<std::string> runs;
    const auto combine = args.last("combine");
    if (combine) {
        if (*combine != "concat" && *combine != "merge") {
            return misused(
                {"unknown way to combine '" + std::string(*combine) + "' (valid: concat, merge)"});
        }
        for (const InputFile& f : inputs->files) {
            opt.control.combined_inputs.push_back(f.path);
        }
        opt.control.combine = *combine == "merge" ? Combine::Merge : Combine::Concatenate;
        runs.push_back(inputs->files.front().path);
    } else {
        for (const InputFile& f : inputs->files) {
            runs.push_back(f.path);
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
        Status st = run_flow_stats(opt, [&](const FlowRecord& flow) -> Status {
            last_id = std::max(last_id, flow.id);
            if (auto written = sink(flow, path); !written) {
                sink_failure = written.error();
                return runtime_error("output failed");
            }
            return {};
        });
        if (sink_failure) {
            progress.finish(false);
            return std::unexpected(*sink_failure);
        }
        if (!st) {
            progress.finish(false);
            if (g_cancel.load()) {
                return std::unexpected(
                    Failure{128 + static_cast<int>(g_signal), "interrupted: nothing published"});
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
    if (auto combine = args.last("combine");
        combine && *combine != "concat" && *combine != "merge") {
        return misused(
            {"unknown way to combine '" + std::string(*combine) + "' (valid: concat, merge)"});
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
    auto n = parse_number(*text, max, "--"s + std::string(name));
    if (!n) {
        return std::unexpected(n.error());
    }
    if (*n == 0) {
        return usage_error("invalid value '0' for --" + std::string(name) +
                           ": expected a number from 1 to " + std::to_string(max));
    }
    return static_cast<std::uint32_t>(*n);
}

CommandStatus table_command(const ParsedArgs& args) {
    FlowStatsOptions opt;
    if (auto st = flow_input_options(args, opt); !st) {
        return st;
    }
    auto first = number_option<std::uint32_t>(args, "first", 20);
    if (!first || *first > 100000) {
        return misused(first ? UsageError{"invalid value for --first: at most 100000"}
                             : first.error());
    }
    opt.features.first_n = *first;
    TableFormat format = TableFormat::Csv;
    if (auto f = args.last("format")) {
        if (*f == "jsonl") {
            format = TableFormat::Jsonl;
        } else if (*f != "csv") {
            return misused(
                {"invalid value '" + std::string(*f) + "' for --format: expected csv or jsonl"});
        }
    }
    const std::optional<std::string_view> dest = args.last("output");
    const bool to_stdout = !dest || *dest == "-";
    std::optional<TempFile> file;
    if (!to_stdout) {
        auto created = TempFile::create(std::string(*dest));
        if (!created) {
            return std::unexpected(created.error());
        }
        file.emplace(std::move(*created));
    }
    FdWriter out(to_stdout ? STDOUT_FILENO : file->fd());
    const std::string where = to_stdout ? "standard output" : file->tmp();
    write_table_header(out, format);
    auto st = run_flow_inputs(
        args, opt, [&](const FlowRecord& flow, const std::string& input) -> CommandStatus {
            write_table_row(out, flow, input, format);
            return out.error() == 0 ? CommandStatus{} : write_failed(out.error(), where);
        });
    if (!st) {
        return st;
    }
    if (!out.flush()) {
        return write_failed(out.error(), where);
    }
    return to_stdout ? CommandStatus{} : file->publish();
}

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
            } else {
                return usage_error("unknown field '" + std::string(field) +
                                   "' for --mask (valid: mac, ip, port)");
            }
        }
    }
    return mask;
}

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
    auto npy = TempFile::create(npy_path);
    if (!npy) {
        return std::unexpected(npy.error());
    }
    auto keys = TempFile::create(keys_path);
    if (!keys) {
        return std::unexpected(keys.error());
    }
    FdWriter rows(npy->fd());
    FdWriter key_rows(keys->fd());
    rows.write(npy_header(0, width));
    write_keys_header(key_rows);
    std::uint64_t count = 0;
    auto st = run_flow_inputs(
        args, opt, [&](const FlowRecord& flow, const std::string& input) -> CommandStatus {
            std::vector<std::uint8_t> row = flow.row;
            row.resize(width, 0);
            rows.write(row);
            write_keys_row(key_rows, count++, flow, input);
            if (rows.error() != 0) {
                return write_failed(rows.error(), npy->tmp());
            }
            return key_rows.error() == 0 ? CommandStatus{}
                                         : write_failed(key_rows.error(), keys->tmp());
        });
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

// ---- the command table ------------------------------------------------------

constexpr std::string_view kInputOutdir[] = {"INPUT", "OUTDIR"};
constexpr std::string_view kInputOutput[] = {"INPUT", "OUTPUT"};
constexpr std::string_view kArchiveArg[] = {"ARCHIVE"};
constexpr std::string_view kInputArg[] = {"INPUT"};

constexpr OptionDef kSplitOptions[] = {
    {"strategy", true},     {"max-sessions", true}, {"buffer-bytes", true},   {"ip", true},
    {"port", true},         {"output-type", true},  {"prefix", true},         {"strict", false},
    {"decode", true},       {"quiet", false},       {"jobs", true, 'j'},      {"combine", true},
    {"each", false},        {"root", true},         {"list", false},          {"help", false, 'h'},
    {"idle-timeout", true}, {"tcp-restart", false}, {"writer-threads", true},
};
constexpr OptionDef kArchiveOptions[] = {
    {"strategy", true},   {"max-sessions", true}, {"ip", true},           {"port", true},
    {"strict", false},    {"decode", true},       {"quiet", false},       {"jobs", true, 'j'},
    {"combine", true},    {"each", false},        {"root", true},         {"list", false},
    {"help", false, 'h'}, {"idle-timeout", true}, {"tcp-restart", false},
};
constexpr OptionDef kFlowsOptions[] = {
    {"ip", true},    {"port", true},  {"proto", true},      {"format", true},
    {"since", true}, {"until", true}, {"help", false, 'h'},
};
constexpr OptionDef kExtractOptions[] = {
    {"id", true},    {"ip", true},    {"port", true},        {"proto", true},
    {"since", true}, {"until", true}, {"output", true, 'o'}, {"help", false, 'h'},
};

constexpr OptionDef kTableOptions[] = {
    {"strategy", true},   {"max-sessions", true}, {"ip", true},           {"port", true},
    {"strict", false},    {"decode", true},       {"quiet", false},       {"combine", true},
    {"help", false, 'h'}, {"idle-timeout", true}, {"tcp-restart", false}, {"first", true},
    {"format", true},     {"output", true, 'o'},
};
constexpr OptionDef kBytesOptions[] = {
    {"strategy", true},   {"max-sessions", true}, {"ip", true},           {"port", true},
    {"strict", false},    {"decode", true},       {"quiet", false},       {"combine", true},
    {"help", false, 'h'}, {"idle-timeout", true}, {"tcp-restart", false}, {"first", true},
    {"packets", true},    {"payload", false},     {"mask", true},         {"output", true, 'o'},
};

// The --decode option of split and archive, the same text in both helps.
#define DECODE_HELP                                                                                \
    "  --decode D        wide (default): also Linux cooked, loopback, PPP, PPPoE,\n"               \
    "                    stacked VLAN tags, MPLS, GRE/ERSPAN, VXLAN, Geneve, GTP-U\n"              \
    "                    and IP-in-IP, flows keyed by the innermost IP header, IP\n"               \
    "                    fragments kept with their first fragment's flow; basic:\n"                \
    "                    exactly the Python module's decoding and outputs\n"

// Many inputs, the same text in both helps.
#define INPUTS_HELP                                                                                \
    "  -j, --jobs N      with several inputs, run N at once (default: every core)\n"               \
    "  --combine HOW     read every input as one capture: concat (the files of a\n"                \
    "                    rotated capture, in the order of their first packets) or\n"               \
    "                    merge (captures of several interfaces, by packet time)\n"                 \
    "  --each            one output per input even for a single input\n"                           \
    "  --root DIR        name outputs of inputs named directly after their path\n"                 \
    "                    below DIR (as if DIR had been given)\n"                                   \
    "  --list            print what would run, one JSON object per input (path,\n"                 \
    "                    relative, output, done), and exit\n"

// What several inputs do, the same text in both helps.
#define MANY_HELP                                                                                  \
    "INPUT may be given several times, as a directory (walked recursively; files\n"                \
    "that are not captures are skipped and counted) or as a quoted glob pattern.\n"                \
    "Captures compressed with gzip, zstd, xz or bzip2 are read as they stream,\n"                  \
    "known by their first bytes.  Several inputs without --combine give one\n"                     \
    "output each below the last argument, named after the input's path below\n"                    \
    "its directory without extensions (day1/a.pcap.gz: day1/a), each published\n"                  \
    "whole.  Captures whose names differ only in extensions keep them (a.pcap\n"                   \
    "and a.pcap.gz: a.pcap, a.pcap.gz); two inputs that would still get one\n"                     \
    "output (x.pcap in two directories given) are refused before anything runs,\n"                 \
    "both named (exit status 1).  vexlor-manifest.jsonl there records every input\n"               \
    "(path, size, mtime, first and last packet time, packets, link type, output,\n"                \
    "status), appended as each ends; the same command run again skips the inputs\n"                \
    "it shows done.  A failing input is reported and the others go on; the exit\n"                 \
    "status is then 1.  With --combine there is one output, as for one input;\n"                   \
    "the inputs must share a link type.\n"                                                         \
    "\n"

// Flow boundaries, the same text in both helps.
#define BOUNDARY_HELP                                                                              \
    "  --idle-timeout S  a packet more than S seconds (0.5 allowed) after the\n"                   \
    "                    previous one of its flow starts a new flow of the same\n"                 \
    "                    endpoints (default: never)\n"                                             \
    "  --tcp-restart     a TCP connection that ended (FIN both ways, or RST) and\n"                \
    "                    sees a SYN again starts a new flow (session and flow\n"                   \
    "                    strategies)\n"

// How split and archive runs behave, the same text in both helps.
#define RUN_HELP                                                                                   \
    "A capture whose last record is cut off (a capture still being written, a\n"                   \
    "copy cut short) keeps every complete packet before it, with a warning that\n"                 \
    "names the offset; --strict makes it a failure.  While the run lasts, OUTDIR\n"                \
    "(or OUTPUT) is locked: a second run into it fails at once.  SIGINT or\n"                      \
    "SIGTERM stops the run, removes its temporary files and exits with 130 or\n"                   \
    "143; any other failure removes them too.  At the end, unless --quiet, one\n"                  \
    "line sums up packets, flows, files, bytes, packets without IP and time.\n"                    \
    "\n"                                                                                           \
    "Exit status: 0 done, 1 the run failed, 2 a mistake on the command line (an\n"                 \
    "unknown option, strategy, output type or protocol, a bad number or address).\n"

constexpr std::string_view kSplitHelp =
    R"(Usage: vexlor split INPUT... OUTDIR [OPTIONS]

Split the capture INPUT (pcap or pcapng; - reads standard input) into one
file per flow in OUTDIR, which is created if missing.

Options:
  --strategy S      how packets form flows: session, flow, host, hostpair,
                    mac, bssid or nosplit (default: session)
  --max-sessions N  most flows kept open at once (default: 10000)
  --buffer-bytes N  write buffer share per open output file (default: 10000)
  --ip ADDR         keep only packets from or to ADDR, or a prefix such
                    as 10.0.0.0/8 or 2001:db8::/32 (repeatable)
  --port N          keep only packets from or to port N (repeatable)
  --output-type T   pcap, or l7 for the application payload (default: pcap)
  --writer-threads N  threads that create and write the files, 0 for none
                    (default: one per core, at most 4; 0 with --jobs above 1);
                    the files are the same with any number
)" DECODE_HELP BOUNDARY_HELP INPUTS_HELP
    R"(  --prefix NAME     start file names with NAME (default: the input's name
                    without its extensions; stdin for standard input)
  --strict          fail on a capture whose last record is cut off
  --quiet           no progress display and no summary line
  -h, --help        show this help and exit

Files are named NAME_FLOW.pcap (or .l7); later flows of the same endpoints,
cut off by --idle-timeout or --tcp-restart, are NAME_FLOW-2.pcap,
NAME_FLOW-3.pcap and so on.  A name too long for the file system is cut
short and ends in a hash of the whole name.

)" MANY_HELP RUN_HELP;

constexpr std::string_view kArchiveHelp =
    R"(Usage: vexlor archive INPUT... OUTPUT [OPTIONS]

Build the indexed flow archive OUTPUT (.vexlor) from the capture INPUT
(pcap or pcapng; - reads standard input).

Options:
  --strategy S      how packets form flows: session, flow, host, hostpair,
                    mac, bssid or nosplit (default: session)
  --max-sessions N  accepted for symmetry with split; an archive keeps
                    every flow (default: 10000)
  --ip ADDR         keep only packets from or to ADDR, or a prefix such
                    as 10.0.0.0/8 or 2001:db8::/32 (repeatable)
  --port N          keep only packets from or to port N (repeatable)
)" DECODE_HELP BOUNDARY_HELP INPUTS_HELP
    R"(  --strict          fail on a capture whose last record is cut off
  --quiet           no progress display and no summary line
  -h, --help        show this help and exit

Later flows of the same endpoints (see --idle-timeout, --tcp-restart) are
flows of their own, with ids of their own.  An OUTPUT that is the input
capture (under any name) is refused.

)" MANY_HELP RUN_HELP;

constexpr std::string_view kFlowsHelp = R"(Usage: vexlor flows ARCHIVE... [OPTIONS]

List the flows of ARCHIVE: id, protocol, addresses, ports, packets, bytes,
start time (UTC) and duration.  Two columns follow only when a listed flow
has them: host (archives of the host strategy: the flow's own address) and
outer, the identifiers of the tags and tunnels around the first packet of
the flow, such as "vlan=100/20 vni=5001 tunnel=192.0.2.1>192.0.2.2" (also
mpls, pppoe, gre_key, erspan, teid), which tell apart tenants that reuse
the same inner addresses.

Options:
  --ip ADDR         flows with ADDR (or in a prefix ADDR/BITS) as source
                    or destination
  --port N          flows with port N as source or destination
  --proto NAME      flows of a protocol: tcp, udp, icmp, icmpv6, sctp, ...
                    or a number from 0 to 255
  --since TIME      flows with a packet at TIME or later, and
  --until TIME      flows with a packet at TIME or earlier: UTC as in
                    2024-01-02T03:04:05.5 (or 2024-01-02), or epoch seconds
  --format F        table (default), csv or json
  -h, --help        show this help and exit

Repeating a selector widens the choice (--port 53 --port 853: either port);
different selectors narrow it (--ip ADDR --port 53: both).  Without
selectors every flow is listed.

ARCHIVE may be given several times, as a directory (every .vexlor file
below it) or as the vexlor-manifest.jsonl of an archive job (the archives
it shows done): a set of archives listed as one, with an archive column
first.
)";

constexpr std::string_view kExtractHelp = R"(Usage: vexlor extract ARCHIVE... SELECTOR... [-o FILE]

Write the packets of the selected flows of ARCHIVE as one pcap file, in
time order, to FILE or to standard output (for a pipe).  Flows of a set of
archives are merged by time; the archives must share a link type.

Selectors (at least one):
  --id N            the flow with id N
  --ip ADDR         flows with ADDR (or in a prefix ADDR/BITS) as source
                    or destination
  --port N          flows with port N as source or destination
  --proto NAME      flows of a protocol: tcp, udp, icmp, icmpv6, sctp, ...
                    or a number from 0 to 255
  --since TIME      flows with a packet at TIME or later (UTC, or epoch
  --until TIME      seconds), or at TIME or earlier

Options:
  -o FILE           write to FILE (- for standard output)
  -h, --help        show this help and exit

Repeating a selector widens the choice; different selectors narrow it.

ARCHIVE may be given several times, as a directory (every .vexlor file
below it) or as the vexlor-manifest.jsonl of an archive job (the archives
it shows done): a set of archives queried as one.
)";

// What table and bytes read, the same text in both helps.
#define FLOW_INPUTS_HELP                                                                           \
    "INPUT is a capture (pcap or pcapng, compressed or not; - for standard\n"                      \
    "input), a directory of them, a quoted glob pattern, or a .vexlor archive\n"                   \
    "(known by its first bytes), whose flows are taken as stored and named\n"                      \
    "by --strategy after their first packet.  Several inputs are read one\n"                       \
    "after the other into one output, flow ids going on from one to the next,\n"                   \
    "the input column naming each flow's; with --combine they are read as one\n"                   \
    "capture.  Memory grows with the number of flows, not of packets; with\n"                      \
    "--idle-timeout, flows idle past it are written out and forgotten as the\n"                    \
    "capture goes, so that only live flows are held.\n"

// The options of table and bytes beyond their own, the same text in both.
#define FLOW_OPTIONS_HELP                                                                          \
    "  --ip ADDR         keep only packets from or to ADDR or a prefix (repeatable)\n"             \
    "  --port N          keep only packets from or to port N (repeatable)\n"                       \
    "  --combine HOW     read every input as one capture: concat or merge\n" DECODE_HELP           \
        BOUNDARY_HELP "  --strict          fail on a capture whose last record is cut off\n"       \
    "  --quiet           no progress display and no summary line\n"                                \
    "  -h, --help        show this help and exit\n"

constexpr std::string_view kTableHelp =
    R"(Usage: vexlor table INPUT... [OPTIONS]

Write one row per flow: identity, counters per direction and the first
packets' sizes, directions and gaps, as CSV (default) or JSON lines, to
FILE or to standard output.

Options:
  --strategy S      how packets form flows: session, flow, host, hostpair,
                    mac, bssid or nosplit (default: session)
  --first N         list the sizes, directions and gaps of the first N
                    packets of each flow (default: 20; 0: none)
  --format F        csv (default) or jsonl
  -o FILE           write to FILE, published whole (- for standard output)
)" FLOW_OPTIONS_HELP R"(
Columns: id, input, key (the strategy's flow name), proto, src, dst,
src_port, dst_port (of the flow's first packet: its source is the
initiator), community_id (version 1, seed 0; ICMP type and code stand for
ports), first_us, last_us, duration_us (microseconds since the epoch, the
earliest and latest packet), packets_fwd, packets_bwd, bytes_fwd,
bytes_bwd (frame lengths on the wire), payload_fwd, payload_bwd (captured
transport payload), tcp_flags (every flag seen, OR-ed), then three lists
of the first N packets: sizes (wire lengths), dirs (0 from the initiator,
1 towards it) and gaps_us (microseconds since the flow's previous packet,
0 for the first), and outer: the tags and tunnels of the flow's first
packet ("vlan=100 vni=5001 tunnel=192.0.2.1>192.0.2.2"; empty without
any, and with --decode basic).  Forward is the initiator's way.  In CSV a
list is its numbers separated by single spaces, in one cell ("60 52
1500"); in JSON lines it is an array.  Rows come in id order (first packet order), except
that with --idle-timeout flows are written as they end.

)" FLOW_INPUTS_HELP "\n" RUN_HELP;

constexpr std::string_view kBytesHelp =
    R"(Usage: vexlor bytes INPUT... --first N [OPTIONS] -o FILE.npy

Write the first N bytes of each flow, zero-padded, one row per flow, as a
NumPy array of uint8 (FILE.npy, shape (flows, N)), and the flows of its
rows as CSV beside it (FILE.keys.csv: row, id, input, key, proto, src,
dst, src_port, dst_port, community_id, first_us, packets; first_us is the
time of the flow's first packet).  From an archive, only the packets a row
keeps are read: the counts are the flow entries'.

Options:
  --first N         bytes per row, or per packet with --packets (required)
  --packets K       the first N bytes of each of the first K packets
                    instead, one slot of N bytes per packet: shape
                    (flows, K*N)
  --payload         the transport payload instead of whole frames
  --mask FIELDS     zero these header fields (comma-separated, repeatable):
                    mac (link-layer addresses), ip (IP addresses of the
                    innermost IP header), port (its TCP, UDP or SCTP ports)
  -o FILE.npy       the array; both files are published whole
  --strategy S      how packets form flows (default: session)
)" FLOW_OPTIONS_HELP R"(
)" FLOW_INPUTS_HELP "\n" RUN_HELP;

constexpr Command kCommands[] = {
    {"split", kInputOutdir, kSplitOptions, kSplitHelp, split_command, true},
    {"archive", kInputOutput, kArchiveOptions, kArchiveHelp, archive_command, true},
    {"flows", kArchiveArg, kFlowsOptions, kFlowsHelp, flows_command, true},
    {"extract", kArchiveArg, kExtractOptions, kExtractHelp, extract_command, true},
    {"table", kInputArg, kTableOptions, kTableHelp, table_command, true},
    {"bytes", kInputArg, kBytesOptions, kBytesHelp, bytes_command, true},
};

} // namespace

std::span<const Command> commands() {
    return kCommands;
}

} // namespace vexlor::cli
