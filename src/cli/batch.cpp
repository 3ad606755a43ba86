#include "cli/batch.h"

#include <fcntl.h>
#include <glob.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "common/unique_fd.h"
#include "parser/byte_stream.h"
#include "parser/pcap_reader.h"
#include "parser/pcapng_reader.h"

namespace vexlor::cli {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kManifest = "vexlor-manifest.jsonl";
constexpr std::string_view kPartial = ".vexlor-partial";

std::unexpected<Failure> failure(std::string message) {
    return std::unexpected(Failure{kExitFailure, std::move(message)});
}

// Whether `path` holds a capture, compressed or not, by its first bytes.
bool is_capture(const std::string& path) {
    auto stream = open_stream(path);
    if (!stream) {
        return false;
    }
    std::array<std::uint8_t, 4> head{};
    auto got = read_full(**stream, head);
    if (!got || *got < head.size()) {
        return false;
    }
    const std::uint32_t magic = load_le<std::uint32_t>(head.data());
    return PcapReader::recognises(magic) || PcapngReader::recognises(magic);
}

bool has_pattern(const std::string& s) {
    return s.find_first_of("*?[") != std::string::npos;
}

// Appends the captures below `dir`, sorted by path; counts the rest.
std::expected<void, Failure> walk(const std::string& dir, Inputs& out) {
    std::error_code ec;
    std::vector<fs::path> files;
    fs::recursive_directory_iterator it(dir, fs::directory_options::skip_permission_denied, ec);
    for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        std::error_code type_ec;
        if (it->is_regular_file(type_ec)) {
            files.push_back(it->path());
        }
    }
    if (ec) {
        return failure("cannot read " + dir + ": " + ec.message());
    }
    std::sort(files.begin(), files.end());
    for (const fs::path& f : files) {
        if (is_capture(f.string())) {
            out.files.push_back({f.string(), f.lexically_relative(dir).string()});
        } else {
            ++out.skipped;
        }
    }
    return {};
}

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

// One line of the manifest: an object of strings and unsigned numbers, as
// this tool writes them.  Anything else reads as no entry.
using Fields = std::map<std::string, std::string>;

std::optional<Fields> parse_line(std::string_view line) {
    Fields fields;
    std::size_t i = 0;
    auto skip_space = [&] {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) {
            ++i;
        }
    };
    auto string = [&]() -> std::optional<std::string> {
        if (i >= line.size() || line[i] != '"') {
            return std::nullopt;
        }
        std::string s;
        for (++i; i < line.size() && line[i] != '"'; ++i) {
            if (line[i] != '\\') {
                s += line[i];
                continue;
            }
            if (++i >= line.size()) {
                return std::nullopt;
            }
            if (line[i] == 'u' && i + 4 < line.size()) {
                s += static_cast<char>(std::stoi(std::string(line.substr(i + 1, 4)), nullptr, 16));
                i += 4;
            } else {
                s += line[i];
            }
        }
        if (i >= line.size()) {
            return std::nullopt;
        }
        ++i;
        return s;
    };
    skip_space();
    if (i >= line.size() || line[i++] != '{') {
        return std::nullopt;
    }
    for (;;) {
        skip_space();
        auto key = string();
        skip_space();
        if (!key || i >= line.size() || line[i++] != ':') {
            return std::nullopt;
        }
        skip_space();
        std::optional<std::string> value;
        if (i < line.size() && line[i] == '"') {
            value = string();
        } else {
            const std::size_t start = i;
            while (i < line.size() && line[i] >= '0' && line[i] <= '9') {
                ++i;
            }
            if (i > start) {
                value = std::string(line.substr(start, i - start));
            }
        }
        if (!value) {
            return std::nullopt;
        }
        fields[*key] = *value;
        skip_space();
        if (i < line.size() && line[i] == ',') {
            ++i;
            continue;
        }
        return i < line.size() && line[i] == '}' ? std::optional(fields) : std::nullopt;
    }
}

struct Stamp {
    std::uint64_t size = 0;
    std::uint64_t mtime_ns = 0;
};

std::optional<Stamp> stamp_of(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return std::nullopt;
    }
    return Stamp{static_cast<std::uint64_t>(st.st_size),
                 static_cast<std::uint64_t>(st.st_mtim.tv_sec) * 1000000000u +
                     static_cast<std::uint64_t>(st.st_mtim.tv_nsec)};
}

// The manifest: a header line, then one line per input, sorted by path.
// It is rewritten whole (and renamed into place) whenever an input ends, so
// that a run killed at any moment leaves the last complete one; under a
// lock, merged with what other runs into the same directory (the tasks of
// a cluster job) recorded meanwhile.
class Manifest {
public:
    using Entries = std::map<std::string, std::pair<Fields, std::string>>; // by path

    Manifest(const Batch& batch, const std::vector<InputFile>& inputs)
        : path_((fs::path(batch.outdir) / kManifest).string()), batch_(batch),
          lines_(inputs.size()) {
        for (const InputFile& f : inputs) {
            paths_.push_back(f.path);
        }
    }

    // The entries of an earlier run of the same command and options.  A
    // manifest this version cannot read is left as it is, and refused.
    [[nodiscard]] Status load() { return read(earlier_); }

    // The earlier entry of `input`, when it is done, the input unchanged
    // and its output there.  Called before the jobs start: no lock.
    bool done_before(std::size_t index, const InputFile& input, const std::string& output) {
        auto it = earlier_.find(input.path);
        const auto stamp = stamp_of(input.path);
        if (it == earlier_.end() || !stamp) {
            return false;
        }
        Fields& f = it->second.first;
        std::error_code ec;
        if (f["status"] != "done" || f["size"] != std::to_string(stamp->size) ||
            f["mtime_ns"] != std::to_string(stamp->mtime_ns) || f["output"] != output ||
            !fs::exists(output, ec)) {
            return false;
        }
        lines_[index] = it->second.second;
        return true;
    }

    [[nodiscard]] Status record(std::size_t index, const InputFile& input,
                                const std::string& output, const RunSummary& s,
                                const Status& outcome) {
        const Stamp stamp = stamp_of(input.path).value_or(Stamp{});
        std::string line = "{\"path\": " + json_string(input.path) +
                           ", \"size\": " + std::to_string(stamp.size) +
                           ", \"mtime_ns\": " + std::to_string(stamp.mtime_ns) +
                           ", \"output\": " + json_string(output) + ", \"name\": " +
                           json_string(fs::path(output).lexically_relative(batch_.outdir).string());
        if (outcome) {
            line += ", \"first_packet_us\": " + std::to_string(s.first_us) +
                    ", \"last_packet_us\": " + std::to_string(s.last_us) +
                    ", \"packets\": " + std::to_string(s.packets) +
                    ", \"link_type\": " + std::to_string(s.link_type) +
                    ", \"flows\": " + std::to_string(s.flows) +
                    ", \"files\": " + std::to_string(s.files) +
                    ", \"bytes_written\": " + std::to_string(s.bytes_written) +
                    ", \"status\": \"done\"}";
        } else {
            line += ", \"status\": \"failed\", \"error\": " + json_string(outcome.error().message) +
                    "}";
        }
        std::lock_guard lock(mutex_);
        lines_[index] = line;
        return write_locked();
    }

    [[nodiscard]] Status write() {
        std::lock_guard lock(mutex_);
        return write_locked();
    }

private:
    // The entries of the manifest on disk when it was made by the same
    // command and options (none otherwise, or when there is none).
    Status read(Entries& out) const {
        std::ifstream in(path_);
        std::string line;
        bool same_job = false;
        for (std::size_t n = 1; std::getline(in, line); ++n) {
            auto fields = parse_line(line);
            const bool header = n == 1;
            if (!fields || header != fields->contains("vexlor_manifest") ||
                (!header && !fields->contains("path"))) {
                return io_error(path_ + " is damaged at line " + std::to_string(n) +
                                ": move it away to start afresh");
            }
            if (header && (*fields)["vexlor_manifest"] != "1") {
                return io_error(path_ + " was written by another version of vexlor (manifest " +
                                (*fields)["vexlor_manifest"] + "): move it away to start afresh");
            }
            if (header) {
                same_job = (*fields)["command"] == batch_.command &&
                           (*fields)["options"] == batch_.signature;
            } else if (same_job) {
                out[(*fields)["path"]] = {*fields, line};
            }
        }
        return {};
    }

    Status write_locked() {
        // A hidden name: it stays, as removing a lock file others may hold
        // open is a race.
        const std::string lock_path =
            (fs::path(path_).parent_path() / ".vexlor-manifest.lock").string();
        UniqueFd lock(::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
        if (!lock.valid() || ::flock(lock.get(), LOCK_EX) != 0) {
            return io_error("cannot lock " + lock_path + ": " + os_error_text(errno));
        }
        Entries merged;
        if (auto st = read(merged); !st) {
            return st;
        }
        for (std::size_t i = 0; i < lines_.size(); ++i) {
            if (!lines_[i].empty()) {
                merged[paths_[i]] = {Fields{}, lines_[i]};
            }
        }
        std::string text = "{\"vexlor_manifest\": 1, \"command\": " + json_string(batch_.command) +
                           ", \"options\": " + json_string(batch_.signature) + "}\n";
        for (const auto& [path, entry] : merged) {
            text += entry.second + "\n";
        }
        const std::string tmp = path_ + ".tmp";
        std::FILE* f = std::fopen(tmp.c_str(), "wb");
        if (!f) {
            return io_error("cannot write " + tmp + ": " + os_error_text(errno));
        }
        const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
        if (std::fclose(f) != 0 || !ok || std::rename(tmp.c_str(), path_.c_str()) != 0) {
            return io_error("cannot write " + path_ + ": " + os_error_text(errno));
        }
        return {};
    }

    std::string path_;
    const Batch& batch_;
    std::mutex mutex_;
    std::vector<std::string> paths_; // by input
    std::vector<std::string> lines_; // by input, empty until known
    Entries earlier_;
};

// Strips one extension of `exts` from the end of `name`, if it has one.
bool strip(std::string& name, std::initializer_list<std::string_view> exts) {
    for (std::string_view ext : exts) {
        if (name.size() > ext.size() && name.ends_with(ext) &&
            name[name.size() - ext.size() - 1] != '/') {
            name.resize(name.size() - ext.size());
            return true;
        }
    }
    return false;
}

// A split's files go to a directory under a temporary name, renamed into
// place once the split has published them all: an output directory is
// there whole or not at all.
Status publish_dir(const std::string& partial, const std::string& final_dir) {
    std::error_code ec;
    fs::remove_all(final_dir, ec);
    if (ec || std::rename(partial.c_str(), final_dir.c_str()) != 0) {
        return io_error("cannot rename " + partial + " to " + final_dir + ": " +
                        (ec ? ec.message() : os_error_text(errno)));
    }
    return {};
}

std::string output_of(const Batch& batch, const std::string& name) {
    return (fs::path(batch.outdir) / name).string() + batch.suffix;
}

// The plan of a batch on standard output, one JSON object per input: path,
// relative (its name below its directory), output, done (by the manifest).
CommandStatus list_batch(const Batch& batch, const Inputs& inputs) {
    const std::vector<std::string> names = output_names(inputs.files);
    Manifest manifest(batch, inputs.files);
    if (auto st = manifest.load(); !st) {
        return failure(st.error().message);
    }
    for (std::size_t i = 0; i < inputs.files.size(); ++i) {
        const std::string out = output_of(batch, names[i]);
        const bool done = manifest.done_before(i, inputs.files[i], out);
        std::printf("{\"path\": %s, \"relative\": %s, \"output\": %s, \"done\": %s}\n",
                    json_string(inputs.files[i].path).c_str(),
                    json_string(inputs.files[i].relative).c_str(), json_string(out).c_str(),
                    done ? "true" : "false");
    }
    return std::fflush(stdout) == 0 ? CommandStatus{} : failure("cannot write the list");
}

} // namespace

std::expected<Inputs, Failure> expand_inputs(const std::vector<std::string>& args,
                                             const std::string& root) {
    Inputs out;
    // A file named directly is named after its path below `root` when it
    // lies there, else after its own name.
    auto relative = [&](const std::string& path) {
        if (!root.empty()) {
            const std::string rel = fs::path(path).lexically_relative(root).string();
            if (!rel.empty() && !rel.starts_with("..")) {
                return rel;
            }
        }
        return fs::path(path).filename().string();
    };
    for (const std::string& arg : args) {
        if (arg == "-") {
            if (args.size() > 1) {
                return std::unexpected(
                    Failure{kExitUsage, "standard input (-) cannot be one of several inputs"});
            }
            out.files.push_back({arg, "stdin"});
            continue;
        }
        std::error_code ec;
        if (fs::is_directory(arg, ec)) {
            out.expanded = true;
            if (auto st = walk(arg, out); !st) {
                return std::unexpected(st.error());
            }
            continue;
        }
        if (!fs::exists(arg, ec) && has_pattern(arg)) {
            out.expanded = true;
            glob_t g{};
            const int rc = ::glob(arg.c_str(), GLOB_MARK, nullptr, &g);
            if (rc == GLOB_NOMATCH) {
                globfree(&g);
                return failure("no file matches " + arg);
            }
            for (std::size_t i = 0; rc == 0 && i < g.gl_pathc; ++i) {
                const std::string match = g.gl_pathv[i];
                if (match.ends_with("/")) {
                    if (auto st = walk(match, out); !st) {
                        globfree(&g);
                        return std::unexpected(st.error());
                    }
                } else {
                    out.files.push_back({match, relative(match)});
                }
            }
            globfree(&g);
            continue;
        }
        out.files.push_back({arg, relative(arg)});
    }
    // The same file named twice (by two patterns, say) is read once.
    std::set<std::string> seen;
    std::erase_if(out.files, [&](const InputFile& f) {
        std::error_code ec;
        const auto canonical = fs::weakly_canonical(f.path, ec);
        return !seen.insert(ec ? f.path : canonical.string()).second;
    });
    return out;
}

std::expected<std::vector<std::string>, Failure> archives_named(const std::string& arg, bool& set) {
    std::error_code ec;
    std::vector<std::string> out;
    if (fs::is_directory(arg, ec)) {
        set = true;
        fs::recursive_directory_iterator it(arg, fs::directory_options::skip_permission_denied, ec);
        for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
            std::error_code type_ec;
            if (it->path().extension() == ".vexlor" && it->is_regular_file(type_ec)) {
                out.push_back(it->path().string());
            }
        }
        if (ec) {
            return failure("cannot read " + arg + ": " + ec.message());
        }
        std::sort(out.begin(), out.end());
        return out;
    }
    if (fs::path(arg).filename() != kManifest) {
        out.push_back(arg);
        return out;
    }
    set = true;
    std::ifstream in(arg);
    if (!in) {
        return failure("cannot read " + arg + ": " + os_error_text(errno));
    }
    std::string line;
    for (std::size_t n = 1; std::getline(in, line); ++n) {
        auto fields = parse_line(line);
        if (!fields) {
            return failure(arg + " is damaged at line " + std::to_string(n));
        }
        // "name" is the output's path below the manifest's directory,
        // wherever the job was run from.
        if ((*fields)["status"] == "done" && (*fields)["name"].ends_with(".vexlor")) {
            out.push_back((fs::path(arg).parent_path() / (*fields)["name"]).string());
        }
    }
    return out;
}

std::vector<std::string> output_names(const std::vector<InputFile>& files) {
    std::vector<std::string> names;
    std::map<std::string, int> uses;
    for (const InputFile& f : files) {
        std::string name = f.relative;
        strip(name, {".gz", ".zst", ".zstd", ".xz", ".bz2"});
        strip(name, {".pcapng", ".pcap", ".cap", ".ntar"});
        ++uses[name];
        names.push_back(name);
    }
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (uses[names[i]] > 1) {
            names[i] = files[i].relative;
        }
    }
    return names;
}

CommandStatus run_batch(const Batch& batch, const Inputs& inputs, const RunOne& run_one) {
    if (batch.list) {
        return list_batch(batch, inputs);
    }
    const auto start = std::chrono::steady_clock::now();
    if (inputs.skipped > 0 && !batch.quiet) {
        std::fprintf(stderr,
                     "vexlor: %llu files in the input directories are not captures: skipped\n",
                     static_cast<unsigned long long>(inputs.skipped));
    }
    if (inputs.files.empty()) {
        return failure("no capture to read");
    }
    std::error_code ec;
    fs::create_directories(batch.outdir, ec);
    if (ec) {
        return failure("cannot create " + batch.outdir + ": " + ec.message());
    }
    const std::vector<std::string> names = output_names(inputs.files);
    auto output_of = [&](std::size_t i) { return vexlor::cli::output_of(batch, names[i]); };
    Manifest manifest(batch, inputs.files);
    if (auto st = manifest.load(); !st) {
        return failure(st.error().message);
    }
    // What an earlier run did is settled before any job starts, so that
    // every manifest written from here on lists it.
    std::vector<bool> done_before(inputs.files.size());
    std::uint64_t skipped = 0;
    for (std::size_t i = 0; i < inputs.files.size(); ++i) {
        done_before[i] = manifest.done_before(i, inputs.files[i], output_of(i));
        skipped += done_before[i] ? 1 : 0;
    }
    if (auto st = manifest.write(); !st) {
        return failure(st.error().message);
    }

    std::atomic<std::size_t> next{0};
    std::mutex report;
    RunSummary total;
    std::uint64_t done = 0, failed = 0;
    auto worker = [&] {
        for (std::size_t i = next++; i < inputs.files.size(); i = next++) {
            if (batch.cancel && batch.cancel->load()) {
                return;
            }
            const InputFile& input = inputs.files[i];
            const std::string output = output_of(i);
            if (done_before[i]) {
                continue;
            }
            RunSummary summary;
            RunControl control;
            control.summary = &summary;
            const bool is_dir = batch.suffix.empty();
            const std::string target = is_dir ? output + std::string(kPartial) : output;
            std::error_code mk;
            fs::create_directories(fs::path(output).parent_path(), mk);
            if (is_dir) {
                fs::remove_all(target, mk);
            }
            Status st = run_one(input, target, control);
            if (st && is_dir) {
                st = publish_dir(target, output);
            }
            if (!st && is_dir) {
                fs::remove_all(target, mk);
            }
            const bool interrupted = !st && batch.cancel && batch.cancel->load();
            Status recorded =
                interrupted ? Status{} : manifest.record(i, input, output, summary, st);
            std::lock_guard lock(report);
            if (interrupted) {
                continue;
            }
            if (!st) {
                ++failed;
                const std::string& m = st.error().message;
                std::fprintf(
                    stderr, "vexlor: %s\n",
                    (m.find(input.path) != std::string::npos ? m : input.path + ": " + m).c_str());
            } else {
                ++done;
                total.packets += summary.packets;
                total.flows += summary.flows;
                total.files += summary.files;
                total.bytes_written += summary.bytes_written;
            }
            if (!recorded) {
                ++failed;
                std::fprintf(stderr, "vexlor: %s\n", recorded.error().message.c_str());
            }
        }
    };
    const unsigned jobs = std::max(1u, std::min<unsigned>(batch.jobs, inputs.files.size()));
    std::vector<std::thread> threads;
    for (unsigned j = 1; j < jobs; ++j) {
        threads.emplace_back(worker);
    }
    worker();
    for (std::thread& t : threads) {
        t.join();
    }
    if (batch.cancel && batch.cancel->load()) {
        const int sig = batch.signal ? *batch.signal : SIGINT;
        return std::unexpected(
            Failure{128 + sig, "interrupted: inputs not done were not published"});
    }
    if (!batch.quiet) {
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::fprintf(stderr,
                     "vexlor: %zu inputs: %llu done, %llu already done, %llu failed; %llu packets, "
                     "%llu flows, %llu files, %llu bytes written, %.1f s\n",
                     inputs.files.size(), static_cast<unsigned long long>(done),
                     static_cast<unsigned long long>(skipped),
                     static_cast<unsigned long long>(failed),
                     static_cast<unsigned long long>(total.packets),
                     static_cast<unsigned long long>(total.flows),
                     static_cast<unsigned long long>(total.files),
                     static_cast<unsigned long long>(total.bytes_written), seconds);
    }
    if (failed > 0) {
        return failure("");
    }
    return {};
}

} // namespace vexlor::cli
