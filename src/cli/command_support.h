// What the tool's commands share: how they fail, the progress line, options
// that several commands take, interrupts, inputs, temporary outputs, and the
// commands themselves for the command table.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <expected>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cli/args.h"
#include "cli/commands.h"
#include "cli/format.h"
#include "common/result.h"
#include "common/text.h"
#include "common/unique_fd.h"
#include "drivers/progress.h"
#include "parser/combined_reader.h"

namespace vexlor::cli {

// ---- the commands -----------------------------------------------------------

CommandStatus split_command(const ParsedArgs& args);
CommandStatus archive_command(const ParsedArgs& args);
CommandStatus flows_command(const ParsedArgs& args);
CommandStatus extract_command(const ParsedArgs& args);
CommandStatus table_command(const ParsedArgs& args);
CommandStatus bytes_command(const ParsedArgs& args);

// ---- failures ---------------------------------------------------------------

std::unexpected<Failure> failed(std::string message);
std::unexpected<Failure> misused(UsageError e);
// A core error prints exactly as the module raises it.
std::unexpected<Failure> core_failed(const Error& e);
// A reader that stopped reading our output ends the run without noise.
std::unexpected<Failure> write_failed(int err, std::string_view where);
// A core error, with the file it concerns named where the core's words do
// not name it.
std::unexpected<Failure> run_failed(const Error& e, const std::string& input,
                                    std::string_view output);

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
        const double secs = std::chrono::duration<double>(now - start_).count();
        const double rate = secs > 0 ? static_cast<double>(last_.bytes_done) / secs : 0;
        const std::uint64_t done = last_.bytes_done, total = last_.bytes_total;
        char line[160];
        int n = 0;
        if (total == 0 || done > total) {
            // A pipe's size is not known until it ends.
            n = std::snprintf(line, sizeof line, "%s  %llu packets  %.1f MB/s",
                              size_text(done).c_str(),
                              static_cast<unsigned long long>(last_.packets), rate / 1e6);
        } else {
            const std::string left = done == total ? "0:00"
                                     : rate > 0
                                         ? clock_text(static_cast<double>(total - done) / rate)
                                         : "-:--";
            n = std::snprintf(line, sizeof line, "%s / %s (%u%%)  %llu packets  %.1f MB/s  %s left",
                              size_text(done).c_str(), size_text(total).c_str(),
                              static_cast<unsigned>(done * 100 / total),
                              static_cast<unsigned long long>(last_.packets), rate / 1e6,
                              left.c_str());
        }
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

// Progress is drawn on a terminal only, and never with --quiet.
bool show_progress(const ParsedArgs& args);

// ---- options ----------------------------------------------------------------

template <class T>
Parsed<T> number_option(const ParsedArgs& args, std::string_view name, T fallback) {
    auto text = args.last(name);
    if (!text) {
        return fallback;
    }
    auto n = parse_number(*text, std::numeric_limits<T>::max(), "--" + std::string(name));
    if (!n) {
        return std::unexpected(n.error());
    }
    return static_cast<T>(*n);
}

std::unexpected<Failure> bad_address(std::string_view text);

// The options split, archive, table and bytes share: the live-flow cap,
// filters, the strategy and flow boundaries, into any of their drivers'
// options (SplitOptions, ArchiveBuildOptions, FlowStatsOptions).
template <class Options> CommandStatus build_options(const ParsedArgs& args, Options& opt);

// --combine: how several inputs are read as one, if they are.
std::expected<std::optional<Combine>, Failure> combine_option(const ParsedArgs& args);

// How the tool's runs behave, unlike the module's: see RunControl.
void configure_run(const ParsedArgs& args, RunControl& control);

// The files one of `runs` splits running at once may keep open: the
// process's descriptor limit, less room for the descriptors the run needs
// besides (`held` inputs read at once, the manifest and its lock, the
// directories walked), shared out.  0 when the limit sets no bound.
std::size_t descriptor_share(unsigned runs, std::size_t held);

// The write buffers' budget of one of `runs` splits running at once whose
// frames are copied (compressed or piped input): a sixteenth of the
// machine's memory, from 96 MiB to 256 MiB, shared out, at least 96 MiB.
std::uint64_t copied_buffer_share(unsigned runs);

// ---- interrupts -------------------------------------------------------------

// Set by SIGINT or SIGTERM; the drivers poll it.
extern std::atomic<bool> g_cancel;
extern volatile std::sig_atomic_t g_signal;

void catch_interrupts();
// How a run that was interrupted ends.
std::unexpected<Failure> interrupted();

// ---- inputs and outputs -----------------------------------------------------

// The tool looks at the input before a run, for messages that name it.
std::expected<void, Failure> check_input(const std::string& path);
std::string input_name(const std::string& path);

// "1,234 packets".
std::string counted(std::uint64_t n, std::string_view one, std::string_view many);

// The warning of a capture whose last record is cut off, without the
// input's name: "last record cut off at byte 1234 (56 bytes dropped)".
std::string cut_off_text(const CutOff& cut);
// The input a cut-off record was found in: `path`, or of inputs read as
// one, the one that held it.
inline const std::string& cut_off_input(const CutOff& cut, const std::string& path) {
    return cut.input.empty() ? path : cut.input;
}
// Warns of each cut-off record of the run (several when inputs were read as
// one), naming its input.
void warn_cut_off(const CutOff& cut, const std::string& path);
// "3 packets of interfaces the capture never declared skipped", for pcapng
// packet blocks that name an interface no block described.
std::string skipped_text(std::uint64_t skipped);
// The warnings of what a run's reading left out: cut-off records, skipped
// packets.
void warn_left_out(const RunSummary& summary, const std::string& path);

// Where an output path leads: the file a chain of symbolic links ends at,
// followed as open() follows them (so that a link's file is replaced, not
// the link), or a descriptor of ours the path names (/dev/stdout, /dev/fd/N),
// to be written into.  Refused: a link another user made in a shared sticky
// directory such as /tmp (open() would not follow it either), and links
// that go round.
struct OutputTarget {
    std::string path;
    int descriptor = -1;
    // Written into as it stands: a descriptor of ours, a device or a named
    // pipe (never renamed over).
    bool in_place = false;
};
std::expected<OutputTarget, Failure> output_target(const std::string& path);

// A file written under a temporary name and renamed into place by publish();
// dropped unpublished, it is removed.  Publishing renames over whatever the
// name held, so an output that is one of the run's inputs (under any name)
// is refused before anything is written: the input would be lost.  A name
// that is a symbolic link is followed (see output_target); one that is a
// device, a named pipe or a descriptor of ours is written into directly.
class TempFile {
public:
    // Refused with "Output path {path} is the input {input}" when the path
    // or its temporary name is one of `inputs` (directories among them are
    // left to guard()).
    static std::expected<TempFile, Failure> create(std::string path,
                                                   std::span<const std::string> inputs = {});
    // The file of an -o option; none (standard output) without one or for "-".
    static std::expected<std::optional<TempFile>, Failure>
    for_output(std::optional<std::string_view> dest, std::span<const std::string> inputs = {});
    // The same refusal for an input found later (in a directory or a
    // manifest), before it is read.
    CommandStatus guard(const std::string& input) const;
    TempFile() = default;
    TempFile(TempFile&& o) noexcept { *this = std::move(o); }
    TempFile& operator=(TempFile&& o) noexcept {
        std::swap(path_, o.path_);
        std::swap(tmp_, o.tmp_);
        std::swap(fd_, o.fd_);
        std::swap(lock_, o.lock_);
        return *this;
    }
    ~TempFile();
    int fd() const { return fd_.get(); }
    // The name written to: the temporary one, or the output itself when it
    // is a device or a pipe, written into as it stands.
    const std::string& tmp() const { return tmp_.empty() ? path_ : tmp_; }

    CommandStatus publish();

private:
    std::string path_, tmp_;
    UniqueFd fd_;
    UniqueFd lock_; // holds the lock until the rename (none without a descriptor to spare)
};

} // namespace vexlor::cli
