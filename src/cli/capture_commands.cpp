// split and archive: one run over a capture (or several read as one), or a
// job of one run per input.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cli/batch.h"
#include "cli/command_support.h"
#include "cli/whole_output.h"
#include "common/file_identity.h"
#include "common/text.h"
#include "drivers/archive_build.h"
#include "drivers/split_pipeline.h"
#include "packet/wide_dissect.h"

namespace vexlor::cli {
namespace {

namespace fs = std::filesystem;

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
    if (c.other_link_type > 0) {
        std::fprintf(stderr,
                     "vexlor: warning: %s of other link types than the first interface's (%u, "
                     "%s) stored under it: an archive holds one link type, and extract and table "
                     "read them as that one (split keeps them apart)\n",
                     counted(c.other_link_type, "packet", "packets").c_str(), c.link_type,
                     link_type_name(c.link_type).c_str());
    }
    if (!args.has("quiet") && (c.decapsulated > 0 || c.unmatched_fragments > 0)) {
        std::fprintf(stderr, "vexlor: %llu packets decapsulated, %llu fragments unmatched\n",
                     static_cast<unsigned long long>(c.decapsulated),
                     static_cast<unsigned long long>(c.unmatched_fragments));
    }
}

void print_summary(const RunSummary& s, double seconds) {
    std::fprintf(stderr, "vexlor: %s, %s, %s, %s written, %s without IP, %.1f s\n",
                 counted(s.packets, "packet", "packets").c_str(),
                 counted(s.flows, "flow", "flows").c_str(),
                 counted(s.files, "file", "files").c_str(), size_text(s.bytes_written).c_str(),
                 counted(s.packets_no_ip, "packet", "packets").c_str(), seconds);
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
        return interrupted();
    }
    warn_left_out(summary, opt.input_path);
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

// The options that shape outputs, in a fixed form whatever their order on
// the line: a manifest made with others does not vouch for this run's
// outputs.  Repeated filters are a set; of any other option the last
// counts, and a default counts as not given.  Options that leave the
// outputs as they are (how many inputs at once, open files, buffers,
// threads, what is printed) are left out.
std::string options_signature(const ParsedArgs& args) {
    struct Shaping {
        std::string_view name;
        bool repeated;
        std::string_view fallback;
    };
    static constexpr Shaping kShaping[] = {
        {"decode", false, "wide"},      {"idle-timeout", false, ""}, {"ip", true, ""},
        {"output-type", false, "pcap"}, {"port", true, ""},          {"prefix", false, ""},
        {"strategy", false, "session"}, {"strict", false, ""},       {"tcp-restart", false, ""},
    };
    std::string sig;
    for (const Shaping& option : kShaping) {
        std::vector<std::string_view> values = args.all(option.name);
        if (option.repeated) {
            std::ranges::sort(values);
            values.erase(std::unique(values.begin(), values.end()), values.end());
        } else if (values.empty() ||
                   (!option.fallback.empty() && values.back() == option.fallback)) {
            continue;
        } else {
            values = {values.back()};
        }
        for (std::string_view v : values) {
            sig += (sig.empty() ? "--" : " --") + std::string(option.name) +
                   (v.empty() ? "" : "=" + std::string(v));
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
    // An output name too long for a ".tmp" beside it still gets one.
    opt.temp_path = beside(out, ".tmp");
}

// Several inputs (or a directory, or a pattern): either one run over all of
// them read as one capture (--combine), or one run per input.  nullopt: the
// command line names one capture, for the usual run.
template <class Options>
std::optional<CommandStatus> run_many(const ParsedArgs& args, Options& opt, std::string& output,
                                      std::string_view command, std::string_view suffix,
                                      Status (*driver)(const Options&)) {
    const std::vector<std::string> paths(args.positionals.begin(), args.positionals.end() - 1);
    for (const std::string& path : paths) {
        // Its outputs would be inputs of the same command run again (one
        // below it is fine: a job's output directory is not walked).
        std::error_code ec;
        if (fs::is_directory(path, ec) && fs::equivalent(path, output, ec)) {
            return failed("Output directory " + output + " is the input directory " + path +
                          ": give one outside it or below it");
        }
    }
    auto inputs = expand_inputs(paths, std::string(args.last("root").value_or("")), output);
    if (!inputs) {
        return std::unexpected(inputs.error());
    }
    auto jobs = number_option<std::uint32_t>(args, "jobs",
                                             std::max(1u, std::thread::hardware_concurrency()));
    if (!jobs || *jobs == 0) {
        return misused({"invalid value '" + std::string(args.last("jobs").value_or("")) +
                        "' for --jobs: expected a number from 1 to 4294967295"});
    }
    const auto combine = combine_option(args);
    if (!combine) {
        return std::unexpected(combine.error());
    }
    const bool each = args.has("each") || args.has("list");
    if (*combine && each) {
        return misused(
            {std::string(args.has("list") ? "--list" : "--each") +
             " is for one output per input: not with --combine, which makes one of all"});
    }
    if (!*combine && !each && !inputs->expanded && inputs->files.size() == 1) {
        opt.input_path = inputs->files.front().path;
        return std::nullopt;
    }
    if (inputs->files.empty()) {
        return failed("no capture in " + comma_list(paths, [](const std::string& p) { return p; }));
    }
    if (*combine) {
        for (const InputFile& f : inputs->files) {
            opt.control.combined_inputs.push_back(f.path);
        }
        opt.control.combine = **combine;
        opt.input_path = inputs->files.front().path;
        if constexpr (requires { opt.descriptor_cap; }) {
            // Merged inputs are all open at once (and a pipe while inputs
            // are concatenated): their descriptors are not the files'.
            opt.descriptor_cap = descriptor_share(1, inputs->files.size());
        }
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
                // Each run's files share the descriptors with the others',
                // and its buffers the memory.
                one.descriptor_cap = descriptor_share(*jobs, 1);
                if (one.buffer_budget != 0) {
                    one.buffer_budget =
                        std::max<std::uint64_t>(one.buffer_budget / std::max(*jobs, 1u), 1);
                    one.copied_buffer_budget = one.buffer_budget;
                } else {
                    one.copied_buffer_budget = copied_buffer_share(*jobs);
                }
            }
            set_output(one, out);
            if constexpr (requires { one.publish_whole; }) {
                // The job publishes each input's directory whole.
                one.publish_whole = true;
            }
            one.progress = progress;
            // The tool's settings of a run (configure_run), with the job's
            // summary of this input.
            RunSummary* const summary = control.summary;
            control = opt.control;
            control.summary = summary;
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

} // namespace

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
    opt.descriptor_cap = descriptor_share(1, 1);
    if (auto text = args.last("memory")) {
        auto memory = parse_size(*text, "--memory");
        if (!memory) {
            return misused(memory.error());
        }
        opt.buffer_budget = *memory;
        opt.copied_buffer_budget = *memory;
    } else {
        opt.copied_buffer_budget = copied_buffer_share(1);
    }
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
    // An OUTDIR that is a file is no directory to write into, whatever
    // creating it would say ("File exists").
    if (std::error_code ec;
        fs::exists(opt.output_dir, ec) && !fs::is_directory(opt.output_dir, ec)) {
        return failed("cannot write " + opt.output_dir + ": " + os_error_text(ENOTDIR));
    }
    if (auto many = run_many(args, opt, opt.output_dir, "split", "", run_split)) {
        return *many;
    }
    // Standard input has no stem; "-" as a leading file name character
    // would read as an option to other tools.
    if (opt.prefix.empty()) {
        opt.prefix = opt.input_path == "-" ? "stdin" : compressed_stem(opt.input_path);
    }
    const std::string output = opt.output_dir;
    // Found before anything is made for the output.
    if (auto readable = check_input(opt.input_path); !readable) {
        return readable;
    }
    auto whole = WholeOutputDir::prepare(output, opt.control.combined_inputs.empty()
                                                     ? std::vector<std::string>{opt.input_path}
                                                     : opt.control.combined_inputs);
    if (!whole) {
        return run_failed(whole.error(), opt.input_path, output);
    }
    if (!*whole) {
        return run_driver(args, opt, output, run_split);
    }
    opt.output_dir = (*whole)->path();
    opt.publish_whole = true;
    return run_driver(args, opt, output, [&](const SplitOptions& o) {
        Status st = run_split(o);
        return st ? (*whole)->publish() : st;
    });
}

CommandStatus archive_command(const ParsedArgs& args) {
    ArchiveBuildOptions opt;
    opt.output_path = args.positionals.back();
    if (opt.output_path.empty()) {
        return misused({"the output path is empty"});
    }
    // "archive a.pcap b.pcap" is two inputs with the output forgotten far
    // more often than a wish to replace a capture with an archive.
    // (The output that is an input is refused as such by the build.)
    const auto output_file = identity_of(opt.output_path);
    const bool an_input =
        std::any_of(args.positionals.begin(), args.positionals.end() - 1,
                    [&](const std::string& p) { return identity_of(p) == output_file; });
    if (!an_input && is_capture_file(opt.output_path)) {
        return failed("Output path " + opt.output_path +
                      " is a capture, not an archive: name the archive last (or remove the "
                      "file to replace it)");
    }
    if (auto st = build_options(args, opt); !st) {
        return st;
    }
    if (auto many = run_many(args, opt, opt.output_path, "archive", ".vexlor", build_archive)) {
        return *many;
    }
    // Found now rather than when the finished archive cannot be renamed.
    if (std::error_code ec; fs::is_directory(opt.output_path, ec)) {
        return failed("Output path " + opt.output_path +
                      " is a directory (--each writes the archive of one input into it)");
    }
    // The archive is renamed into place when complete: over the file a link
    // names rather than the link, and never over a device or a pipe.
    auto target = output_target(opt.output_path);
    if (!target) {
        return std::unexpected(target.error());
    }
    if (target->in_place) {
        return failed("Output path " + opt.output_path +
                      " is not a regular file: an archive is written whole under a temporary "
                      "name and renamed into place");
    }
    set_output(opt, an_input ? opt.output_path : target->path);
    return run_driver(args, opt, opt.output_path, build_archive);
}

} // namespace vexlor::cli
