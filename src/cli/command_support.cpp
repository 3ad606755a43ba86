#include "cli/command_support.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>

#include "common/file_identity.h"
#include "common/ip_text.h"
#include "common/text.h"
#include "drivers/archive_build.h"
#include "drivers/flow_stats.h"
#include "drivers/split_pipeline.h"
#include "flow/filter.h"

namespace vexlor::cli {

// ---- failures ---------------------------------------------------------------

std::unexpected<Failure> failed(std::string message) {
    return std::unexpected(Failure{kExitFailure, std::move(message)});
}

std::unexpected<Failure> misused(UsageError e) {
    return std::unexpected(Failure{kExitUsage, std::move(e.message)});
}

std::unexpected<Failure> core_failed(const Error& e) {
    return failed(e.kind == ErrorKind::Panic ? "internal error: " + e.message : e.message);
}

std::unexpected<Failure> write_failed(int err, std::string_view where) {
    if (err == EPIPE) {
        return std::unexpected(Failure{kExitFailure, {}});
    }
    return failed("Failed to write " + std::string(where) + ": " + os_error_text(err));
}

std::unexpected<Failure> run_failed(const Error& e, const std::string& input,
                                    std::string_view output) {
    const std::string& m = e.message;
    if (m.starts_with("Invalid PCAP") || m.starts_with("Unsupported file format")) {
        return failed(input_name(input) + ": " + m);
    }
    if (e.kind == ErrorKind::Io && !m.starts_with("Output ") && !m.starts_with("Failed to") &&
        !m.starts_with("cannot read ")) {
        // Without an output file (a table to standard output), the system's
        // words are about the input.
        return failed(output.empty() ? input_name(input) + ": " + m
                                     : "cannot write " + std::string(output) + ": " + m);
    }
    if (e.kind == ErrorKind::Value) {
        return failed(m);
    }
    // The system's bare words for a failure to create or write a file of
    // the output: the output is what they are about.
    if (!output.empty() && m.find(" (os error ") != std::string::npos &&
        m.find(':') == std::string::npos) {
        return failed("cannot write " + std::string(output) + ": " + m);
    }
    return core_failed(e);
}

// ---- progress ---------------------------------------------------------------

bool show_progress(const ParsedArgs& args) {
    return !args.has("quiet") && ::isatty(STDERR_FILENO) == 1;
}

// ---- options ----------------------------------------------------------------

namespace {

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
    std::uint64_t us = micros ? *micros : 0;
    for (std::size_t i = frac.size(); i < 6; ++i) {
        us *= 10;
    }
    // No time at all would cut at every packet's gap but none: not what
    // anyone means, and "never" is leaving the option out.
    if (!secs || !micros || (dot != std::string_view::npos && frac.empty()) ||
        *secs * 1'000'000 + us == 0) {
        return usage_error("invalid value '" + std::string(text) + "' for " + std::string(what) +
                           ": expected seconds from 0.000001 on, such as 300 or 0.5");
    }
    return *secs * 1'000'000 + us;
}

} // namespace

std::unexpected<Failure> bad_address(std::string_view text) {
    const bool prefix = text.find('/') != std::string_view::npos;
    return misused(
        {(prefix ? "invalid IP prefix '" : "invalid IP address '") + std::string(text) + "'"});
}

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

template CommandStatus build_options(const ParsedArgs&, SplitOptions&);
template CommandStatus build_options(const ParsedArgs&, ArchiveBuildOptions&);
template CommandStatus build_options(const ParsedArgs&, FlowStatsOptions&);

std::expected<std::optional<Combine>, Failure> combine_option(const ParsedArgs& args) {
    const auto combine = args.last("combine");
    if (!combine) {
        return std::nullopt;
    }
    if (*combine != "concat" && *combine != "merge") {
        return misused(
            {"unknown way to combine '" + std::string(*combine) + "' (valid: concat, merge)"});
    }
    return *combine == "merge" ? Combine::Merge : Combine::Concatenate;
}

std::size_t descriptor_share(unsigned runs, std::size_t held) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return 0;
    }
    const std::size_t reserve = 32 + held;
    const std::size_t n = std::max(runs, 1u);
    const auto cur = static_cast<std::size_t>(limit.rlim_cur);
    return cur > reserve + n ? (cur - reserve) / n : 1;
}

std::uint64_t copied_buffer_share(unsigned runs) {
    // A flow of a stream leaves in as many writes (each reopening its file
    // once more than the open-file cap) as the budget is smaller than the
    // capture; a mapped file's bytes wait in the page cache instead.
    constexpr std::uint64_t least = SplitWriter::kBufferBudget;
    constexpr std::uint64_t most = std::uint64_t{256} << 20;
    return std::max(least, std::clamp(machine_memory() / 16, least, most) / std::max(runs, 1u));
}

void configure_run(const ParsedArgs& args, RunControl& control) {
    control.cancel = &g_cancel;
    control.remove_on_failure = true;
    control.tolerate_cut_off = !args.has("strict");
    control.refuse_cut_off = args.has("strict");
    control.ip_prefixes = true;
    control.record_host_side = true;
    control.system_reasons = true;
    // Compressed captures and standard input are read as streams.
    control.reading = InputReading::Streamed;
}

// ---- interrupts -------------------------------------------------------------

// A lock-free atomic is safe to store from a signal handler.
std::atomic<bool> g_cancel{false};
volatile std::sig_atomic_t g_signal = 0;

namespace {

// When the first interrupt came (monotonic milliseconds; 0: none yet).
std::atomic<std::int64_t> g_first_interrupt_ms{0};
// Repeats within this long are the same interrupt told twice: a terminal's
// Ctrl-C reaches the whole foreground group, so a script that runs the tool
// hears it too and passes it on a moment later.
constexpr std::int64_t kSameInterruptMs = 1000;

extern "C" void on_interrupt(int sig) {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now); // safe in a signal handler
    const std::int64_t ms = std::int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000 + 1;
    std::int64_t first = 0;
    if (g_first_interrupt_ms.compare_exchange_strong(first, ms)) {
        g_signal = sig;
        g_cancel.store(true, std::memory_order_relaxed);
        return;
    }
    if (ms - first < kSameInterruptMs) {
        return;
    }
    // Asked again later: the default way out, for a run that does not come
    // to its next poll soon enough.
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

} // namespace

void catch_interrupts() {
    // A run waiting on a silent pipe stops when asked, too.
    set_read_cancel(&g_cancel);
    struct sigaction sa {};
    sa.sa_handler = on_interrupt;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    // A hang-up (the terminal or the ssh session gone) ends the run the same
    // way, unless the run was started to outlive it (nohup ignores it).
    if (struct sigaction was{};
        ::sigaction(SIGHUP, nullptr, &was) == 0 && was.sa_handler != SIG_IGN) {
        ::sigaction(SIGHUP, &sa, nullptr);
    }
}

std::unexpected<Failure> interrupted() {
    return std::unexpected(
        Failure{128 + static_cast<int>(g_signal), "interrupted: nothing published"});
}

// ---- inputs and outputs -----------------------------------------------------

std::expected<void, Failure> check_input(const std::string& path) {
    if (path == "-") {
        return {};
    }
    // A pipe is not opened to look at it: its writer could meet no reader
    // (and die of SIGPIPE) between this open and the run's own.
    struct stat named {};
    if (::stat(path.c_str(), &named) == 0 && (S_ISFIFO(named.st_mode) || S_ISSOCK(named.st_mode))) {
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

namespace {

std::string count_text(std::uint64_t n) {
    std::string digits = std::to_string(n);
    for (std::size_t i = digits.size(); i > 3; i -= 3) {
        digits.insert(i - 3, ",");
    }
    return digits;
}

} // namespace

std::string counted(std::uint64_t n, std::string_view one, std::string_view many) {
    return count_text(n) + " " + std::string(n == 1 ? one : many);
}

void warn_cut_off(const CutOff& cut, const std::string& path) {
    for (const CutOff& earlier : cut.earlier) {
        warn_cut_off(earlier, path);
    }
    std::fprintf(stderr, "vexlor: warning: %s: %s\n", input_name(cut_off_input(cut, path)).c_str(),
                 cut_off_text(cut).c_str());
}

std::string skipped_text(std::uint64_t skipped) {
    return counted(skipped, "packet", "packets") +
           " of interfaces the capture never declared skipped";
}

void warn_left_out(const RunSummary& summary, const std::string& path) {
    if (summary.cut_off) {
        warn_cut_off(*summary.cut_off, path);
    }
    if (summary.skipped != 0) {
        std::fprintf(stderr, "vexlor: warning: %s: %s\n", input_name(path).c_str(),
                     skipped_text(summary.skipped).c_str());
    }
}

std::string cut_off_text(const CutOff& cut) {
    return "last record cut off at byte " + std::to_string(cut.offset) + " (" +
           counted(cut.dropped, "byte", "bytes") + " dropped)";
}

namespace {

// The descriptor a path names, when it names one of ours: /dev/stdout and
// /dev/stderr, /dev/fd/N, /proc/self/fd/N.  Opened again by its name, a
// file that standard output was redirected to would be written from its
// start (not appended to), or replaced when renamed over.
std::optional<int> descriptor_named(std::string_view path) {
    if (path == "/dev/stdout" || path == "/dev/stderr") {
        return path == "/dev/stdout" ? 1 : 2;
    }
    for (std::string_view dir : {"/dev/fd/", "/proc/self/fd/"}) {
        if (path.starts_with(dir) && path.size() > dir.size() && path.size() - dir.size() <= 9 &&
            std::ranges::all_of(path.substr(dir.size()),
                                [](char c) { return c >= '0' && c <= '9'; })) {
            return std::stoi(std::string(path.substr(dir.size())));
        }
    }
    return std::nullopt;
}

} // namespace

std::expected<OutputTarget, Failure> output_target(const std::string& path) {
    std::string at = path;
    for (int hops = 0; hops < 40; ++hops) {
        if (auto fd = descriptor_named(at)) {
            return OutputTarget{at, *fd, true};
        }
        struct stat link {};
        if (::lstat(at.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) {
            struct stat st {};
            const bool special =
                ::stat(at.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode);
            return OutputTarget{at, -1, special};
        }
        const std::size_t slash = at.rfind('/');
        const std::string dir = slash == std::string::npos ? "."
                                : slash == 0               ? "/"
                                                           : at.substr(0, slash);
        // The kernel's rule for links in shared directories such as /tmp
        // (fs.protected_symlinks), which a rename would not apply: a link
        // in a world-writable sticky directory is followed only when it is
        // ours or the directory owner's.
        if (struct stat d{}; ::stat(dir.c_str(), &d) == 0 && (d.st_mode & S_ISVTX) &&
                             (d.st_mode & S_IWOTH) && link.st_uid != ::geteuid() &&
                             link.st_uid != d.st_uid) {
            return failed(
                "Output path " + path + (at == path ? "" : " leads to " + at + ", which") +
                " is a link another user made in the shared directory " + dir + ": not followed");
        }
        std::string target(PATH_MAX, '\0');
        const ssize_t n = ::readlink(at.c_str(), target.data(), target.size());
        if (n <= 0 || static_cast<std::size_t>(n) >= target.size()) {
            return failed("Output path " + path + ": cannot read the link " + at);
        }
        target.resize(static_cast<std::size_t>(n));
        at = target.front() == '/' || slash == std::string::npos ? target
                                                                 : at.substr(0, slash + 1) + target;
    }
    return failed("Output path " + path + ": too many levels of symbolic links");
}

std::expected<TempFile, Failure> TempFile::create(std::string path,
                                                  std::span<const std::string> inputs) {
    TempFile f;
    if (path.empty()) {
        return misused({"the output path is empty"});
    }
    auto target = output_target(path);
    if (!target) {
        return std::unexpected(target.error());
    }
    // One of our descriptors (/dev/stdout), a device or a named pipe
    // (/dev/null, a FIFO a reader waits on) is written into as it is:
    // renamed over, it would become a plain file and its reader would get
    // nothing.  A descriptor may still lead to an input (standard output
    // redirected onto it): refused as the input named is.
    if (target->in_place) {
        f.path_ = path;
        for (const std::string& input : inputs) {
            if (auto st = f.guard(input); !st) {
                return std::unexpected(st.error());
            }
        }
        f.fd_ =
            UniqueFd(target->descriptor >= 0 ? ::fcntl(target->descriptor, F_DUPFD_CLOEXEC, 0)
                                             : ::open(target->path.c_str(), O_WRONLY | O_CLOEXEC));
        if (!f.fd_.valid()) {
            return failed("Failed to open output file " + f.path_ + ": " + os_error_text(errno));
        }
        return f;
    }
    // A link's file is replaced, not the link.
    f.path_ = std::move(target->path);
    f.tmp_ = beside(f.path_, ".tmp");
    // Until the file is ours (created and locked), a failure must leave the
    // temporary name alone: it may be another run's output in the making.
    auto refuse = [&f](std::unexpected<Failure> why) {
        f.tmp_.clear();
        return why;
    };
    for (const std::string& input : inputs) {
        if (auto st = f.guard(input); !st) {
            return refuse(std::unexpected(st.error()));
        }
    }
    // Found now rather than when the finished file cannot be renamed over it.
    struct stat st {};
    if (::stat(f.path_.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        return refuse(failed("Output path " + f.path_ + " is a directory"));
    }
    // No O_TRUNC: emptied only once its lock is ours.  The lock belongs to
    // the open file and is kept, on a second descriptor, until the rename is
    // done: a second run into the same output fails at once instead of
    // writing into this one's file.
    f.fd_ = UniqueFd(::open(f.tmp_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666));
    if (!f.fd_.valid()) {
        return refuse(
            failed("Failed to create output file " + f.tmp_ + ": " + os_error_text(errno)));
    }
    f.lock_ = UniqueFd(::dup(f.fd_.get()));
    while (::flock(f.lock_.valid() ? f.lock_.get() : f.fd_.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno != EINTR) {
            return refuse(
                errno == EWOULDBLOCK
                    ? failed("Output path " + f.path_ + " is in use by another run")
                    : failed("Failed to lock output file " + f.tmp_ + ": " + os_error_text(errno)));
        }
    }
    if (::fstat(f.fd_.get(), &st) != 0 || (st.st_size != 0 && ::ftruncate(f.fd_.get(), 0) != 0)) {
        return failed("Failed to create output file " + f.tmp_ + ": " + os_error_text(errno));
    }
    return f;
}

std::expected<std::optional<TempFile>, Failure>
TempFile::for_output(std::optional<std::string_view> dest, std::span<const std::string> inputs) {
    if (!dest || *dest == "-") {
        return std::nullopt;
    }
    auto created = create(std::string(*dest), inputs);
    if (!created) {
        return std::unexpected(created.error());
    }
    return std::optional<TempFile>(std::move(*created));
}

CommandStatus TempFile::guard(const std::string& input) const {
    if (input == "-") {
        return {};
    }
    struct stat st {};
    if (::stat(input.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) {
        return {};
    }
    const FileIdentity in{st.st_dev, st.st_ino};
    if (identity_of(path_) == in || identity_of(tmp_) == in) {
        return failed("Output path " + path_ + " is the input " + input);
    }
    return {};
}

TempFile::~TempFile() {
    if (!tmp_.empty()) {
        ::unlink(tmp_.c_str());
    }
}

CommandStatus TempFile::publish() {
    if (tmp_.empty()) {
        const int err = fd_.reset();
        return err == 0 ? CommandStatus{} : write_failed(err, path_);
    }
    if (int err = fd_.reset(); err != 0) {
        return write_failed(err, tmp_);
    }
    if (::rename(tmp_.c_str(), path_.c_str()) != 0) {
        return failed("Failed to rename " + tmp_ + " -> " + path_ + ": " + os_error_text(errno));
    }
    tmp_.clear();
    lock_.reset();
    return {};
}

} // namespace vexlor::cli
