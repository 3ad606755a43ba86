// vexlor: the command-line face of the same core as the Python module.
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <exception>
#include <span>
#include <string>
#include <string_view>

#include "cli/args.h"
#include "cli/commands.h"
#include "common/result.h"
#include "common/unique_fd.h"

namespace vexlor::cli {
namespace {

constexpr std::string_view kVersion = "0.1.0";

constexpr std::string_view kMainHelp = R"(Usage: vexlor COMMAND [OPTIONS] ARGS...

Split packet captures into flows, or keep them in an indexed archive.

Commands:
  split INPUT... OUTDIR  write one pcap (or l7) file per flow into OUTDIR
  archive INPUT... OUTPUT
                         build an indexed .vexlor archive
  flows ARCHIVE...       list the flows of archives (or a set of them)
  extract ARCHIVE...     write the packets of chosen flows as one pcap
  table INPUT...         one row per flow: identity, counters, first packets
  bytes INPUT... --first N -o FILE.npy
                         the first bytes of each flow as a NumPy array

INPUT is a pcap or pcapng file (compressed or not), a directory of them, or
- for standard input.

Options:
  -h, --help             show this help and exit
  --version              show the version and exit

Run 'vexlor COMMAND --help' for the options of a command.
)";

// Help and the version are output like any other: standard output that
// cannot take them (a full disk, a closed descriptor) fails the run.
int print_help(std::string_view text) {
    errno = 0;
    std::fwrite(text.data(), 1, text.size(), stdout);
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) {
        return 0;
    }
    if (const int err = errno != 0 ? errno : EIO; err != EPIPE) {
        std::fprintf(stderr, "vexlor: Failed to write standard output: %s\n",
                     os_error_text(err).c_str());
    }
    return kExitFailure;
}

// A one-line message, then where to look for the right usage.
int usage(std::string_view message, std::string_view command) {
    std::string hint =
        command.empty() ? "vexlor --help" : "vexlor " + std::string(command) + " --help";
    std::fprintf(stderr, "vexlor: %.*s\nTry '%s'.\n", static_cast<int>(message.size()),
                 message.data(), hint.c_str());
    return kExitUsage;
}

int run(std::span<char* const> args) {
    if (args.empty()) {
        return usage("missing command", {});
    }
    std::string_view first = args[0];
    if (first == "--help" || first == "-h") {
        return print_help(kMainHelp);
    }
    if (first == "--version") {
        return print_help("vexlor " + std::string(kVersion) + "\n");
    }
    const Command* command = nullptr;
    for (const Command& c : commands()) {
        if (c.name == first) {
            command = &c;
        }
    }
    if (!command) {
        return usage((first.starts_with("-") ? "unknown option '" : "unknown command '") +
                         std::string(first) + "'",
                     {});
    }
    std::span<char* const> rest = args.subspan(1);
    if (wants_help(rest)) {
        return print_help(command->help);
    }
    auto parsed = parse_args(rest, command->options);
    if (!parsed) {
        return usage(parsed.error().message, command->name);
    }
    const std::size_t want = command->positionals.size();
    if (parsed->positionals.size() < want) {
        return usage("missing " + std::string(command->positionals[parsed->positionals.size()]),
                     command->name);
    }
    if (parsed->positionals.size() > want && !command->many_inputs) {
        return usage("unexpected argument '" + parsed->positionals[want] + "'", command->name);
    }
    auto status = command->run(*parsed);
    if (status) {
        return 0;
    }
    if (status.error().status == kExitUsage) {
        return usage(status.error().message, command->name);
    }
    if (!status.error().message.empty()) {
        std::fprintf(stderr, "vexlor: %s\n", status.error().message.c_str());
    }
    return status.error().status;
}

// Captures and archives are read through mappings of their files.  A file
// that another program shortens while we read it (a rotation by truncation,
// say), or whose storage fails, makes the next touch of a page past what is
// left a bus error.  That is the input changing under us, not a fault of
// ours: say so in one line and leave with the failure status instead of a
// core dump.  Outputs are published only by renaming complete files, so
// whatever was being written stays under its temporary name, and a rerun of
// a job redoes that input.
extern "C" void on_bus_error(int) {
    static constexpr char kText[] =
        "vexlor: an input could not be read: it was shortened by another program, or its storage "
        "failed, while it was being read (bus error); nothing more was published\n";
    (void)!::write(STDERR_FILENO, kText, sizeof kText - 1);
    ::_exit(kExitFailure);
}

} // namespace
} // namespace vexlor::cli

int main(int argc, char** argv) {
    // A closed pipe shows up as EPIPE from write, which each command turns
    // into a quiet exit status instead of a death by signal.
    std::signal(SIGPIPE, SIG_IGN);
    // Likewise a file grown past the size limit (ulimit -f): EFBIG, then
    // the command's message and its clean-up, not a silent death.
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGBUS, vexlor::cli::on_bus_error);
    // Files open at once are a split's speed: the soft limit on descriptors
    // is raised to the hard one, which the user set.
    if (rlimit limit{};
        ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        (void)::setrlimit(RLIMIT_NOFILE, &limit);
    }
    // The descriptor table grown while no thread is there to make it wait:
    // enough for the files of a few runs at once.
    vexlor::reserve_descriptors(std::size_t{1} << 16);
    try {
        return vexlor::cli::run(std::span<char* const>(argv + 1, argc > 0 ? argc - 1 : 0));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vexlor: internal error: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "vexlor: internal error: unknown exception\n");
    }
    return vexlor::cli::kExitFailure;
}
