#include "cli/batch.h"

#include <fcntl.h>
#include <glob.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "cli/format.h"
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

// The whole of a file, or nullopt (errno set) when it cannot be opened.
std::optional<std::string> read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The lines of a manifest's text that end with their newline: a last line
// without it is an append cut short (its run killed), which counts as not
// written.
std::vector<std::string_view> complete_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string_view::npos;
         start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

// The length of the complete lines of the open file `fd` of `size` bytes:
// its size without a last line that lacks its newline.  -1: unreadable.
off_t complete_length(int fd, off_t size) {
    char buf[4096];
    for (off_t end = size; end > 0;) {
        const off_t start = std::max<off_t>(0, end - static_cast<off_t>(sizeof buf));
        if (::pread(fd, buf, static_cast<std::size_t>(end - start), start) != end - start) {
            return -1;
        }
        for (off_t i = end - start; i > 0; --i) {
            if (buf[i - 1] == '\n') {
                return start + i;
            }
        }
        end = start;
    }
    return 0;
}

// The manifest: a header line (command, options), then lines of inputs.
// When an input ends, its line is appended whole with one write, so that
// the cost of a run grows with its inputs, not with their square.  At the
// start of a run (when needed) and at its end, the manifest is compacted:
// rewritten under a temporary name with the last line of each input,
// sorted by path, synced and renamed into place.  Appends and compactions
// take a lock shared with the other runs into the same directory (the
// tasks of a cluster job).  A run killed mid-append leaves a last line
// without its newline: readers ignore it, and the next append or
// compaction removes it, so that its input is done again.  Appends are not
// synced: a line lost with the machine only means its input is redone.
class Manifest {
public:
    using Entries = std::map<std::string, std::pair<Fields, std::string>>; // by path

    explicit Manifest(const Batch& batch)
        : path_((fs::path(batch.outdir) / kManifest).string()),
          // A hidden name: it stays, as removing a lock file others may
          // hold open is a race.
          lock_path_((fs::path(batch.outdir) / ".vexlor-manifest.lock").string()), batch_(batch) {}

    // The entries of an earlier run of the same command and options.  A
    // manifest this version cannot read is left as it is, and refused.
    [[nodiscard]] Status load() { return read(earlier_); }

    // Whether `input` is done by an earlier run: its entry says so, the
    // input is unchanged and its output there.
    bool done_before(const InputFile& input, const std::string& output) {
        auto it = earlier_.find(input.path);
        const auto stamp = stamp_of(input.path);
        if (it == earlier_.end() || !stamp) {
            return false;
        }
        Fields& f = it->second.first;
        std::error_code ec;
        return f["status"] == "done" && f["size"] == std::to_string(stamp->size) &&
               f["mtime_ns"] == std::to_string(stamp->mtime_ns) && f["output"] == output &&
               fs::exists(output, ec);
    }

    [[nodiscard]] Status record(const InputFile& input, const std::string& output,
                                const RunSummary& s, const Status& outcome) {
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
        return append(line + "\n");
    }

    // Rewrites the manifest with the last line of each input of this job,
    // sorted by path, unless it is so already.  A manifest of another
    // command or other options gives way to an empty one of this job.
    [[nodiscard]] Status compact() {
        std::lock_guard guard(mutex_);
        auto lock = lock_dir();
        if (!lock) {
            return std::unexpected(lock.error());
        }
        Entries entries;
        bool tidy = false;
        if (auto st = read(entries, &tidy); !st || tidy) {
            return st;
        }
        std::string text = header();
        for (const auto& [path, entry] : entries) {
            text += entry.second;
            text += '\n';
        }
        const std::string tmp = path_ + ".tmp";
        UniqueFd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (!fd.valid()) {
            return io_error("cannot write " + tmp + ": " + os_error_text(errno));
        }
        // Synced before the rename, so that the manifest on disk is this
        // one or the one it replaces, whatever happens to the machine.
        const ssize_t n = ::write(fd.get(), text.data(), text.size());
        int err = n < 0 ? errno : n != static_cast<ssize_t>(text.size()) ? ENOSPC : 0;
        if (err == 0 && ::fdatasync(fd.get()) != 0) {
            err = errno;
        }
        if (const int closed = fd.reset(); err == 0) {
            err = closed;
        }
        if (err == 0 && std::rename(tmp.c_str(), path_.c_str()) != 0) {
            err = errno;
        }
        if (err != 0) {
            std::remove(tmp.c_str());
            return io_error("cannot write " + path_ + ": " + os_error_text(err));
        }
        return {};
    }

private:
    std::string header() const {
        return "{\"vexlor_manifest\": 1, \"command\": " + json_string(batch_.command) +
               ", \"options\": " + json_string(batch_.signature) + "}\n";
    }

    // The lock among the runs into the directory, held until the returned
    // descriptor is closed.
    std::expected<UniqueFd, Error> lock_dir() const {
        UniqueFd lock(::open(lock_path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
        if (!lock.valid() || ::flock(lock.get(), LOCK_EX) != 0) {
            return io_error("cannot lock " + lock_path_ + ": " + os_error_text(errno));
        }
        return lock;
    }

    // Appends `line` (with its newline) in one write, after the header when
    // the manifest is new, and after taking away what an append cut short
    // left at its end.
    Status append(const std::string& line) {
        std::lock_guard guard(mutex_);
        auto lock = lock_dir();
        if (!lock) {
            return std::unexpected(lock.error());
        }
        UniqueFd fd(::open(path_.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
        struct stat st {};
        if (!fd.valid() || ::fstat(fd.get(), &st) != 0) {
            return io_error("cannot write " + path_ + ": " + os_error_text(errno));
        }
        const off_t end = complete_length(fd.get(), st.st_size);
        if (end < 0 || (end != st.st_size && ::ftruncate(fd.get(), end) != 0)) {
            return io_error("cannot write " + path_ + ": " + os_error_text(errno));
        }
        const std::string text = end == 0 ? header() + line : line;
        const ssize_t n = ::write(fd.get(), text.data(), text.size());
        if (n != static_cast<ssize_t>(text.size())) {
            const int err = n < 0 ? errno : ENOSPC;
            // A part of the line would read as an append cut short: taken back.
            (void)!::ftruncate(fd.get(), end);
            return io_error("cannot write " + path_ + ": " + os_error_text(err));
        }
        if (const int err = fd.reset(); err != 0) {
            return io_error("cannot write " + path_ + ": " + os_error_text(err));
        }
        return {};
    }

    // The entries of the manifest on disk when it was made by the same
    // command and options (none otherwise, or when there is none), the last
    // line of each input.  `tidy`: whether it is as a compaction leaves it.
    Status read(Entries& out, bool* tidy = nullptr) const {
        const std::string text = read_text(path_).value_or("");
        const std::vector<std::string_view> lines = complete_lines(text);
        bool same_job = false;
        bool sorted = true;
        std::string previous;
        for (std::size_t n = 1; n <= lines.size(); ++n) {
            auto fields = parse_line(lines[n - 1]);
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
                std::string path = (*fields)["path"];
                sorted = sorted && (n == 2 || previous < path);
                out[path] = {std::move(*fields), std::string(lines[n - 1])};
                previous = std::move(path);
            }
        }
        if (tidy) {
            *tidy = same_job && sorted && text.ends_with('\n');
        }
        return {};
    }

    std::string path_;
    std::string lock_path_;
    const Batch& batch_;
    std::mutex mutex_; // between this run's threads; the lock file between runs
    Entries earlier_;
};

// The progress line of a batch on standard error, redrawn in place at most
// a few times a second: inputs ended out of those to run, input bytes read
// out of theirs, packets, rate and time left.  Fed by the end of each input
// and, while inputs run, by their drivers' reports.  Messages printed
// meanwhile take a line of their own above it.
class BatchLine {
public:
    BatchLine(bool enabled, unsigned workers, std::size_t inputs, std::uint64_t bytes)
        : enabled_(enabled), inputs_(inputs), bytes_total_(bytes), running_(workers) {}

    bool enabled() const { return enabled_; }

    // A report of the input that worker `slot` runs, of `size` bytes.
    void running(unsigned slot, const Progress& p, std::uint64_t size) {
        std::lock_guard lock(mutex_);
        running_[slot] = {std::min(p.bytes_done, size), p.packets};
        update();
    }

    // The input of worker `slot` ended, done or failed: its bytes are read.
    void ended(unsigned slot, std::uint64_t size, std::uint64_t packets) {
        if (!enabled_) {
            return;
        }
        std::lock_guard lock(mutex_);
        running_[slot] = {};
        ++ended_;
        bytes_ += size;
        packets_ += packets;
        update();
    }

    void print(const std::string& message) {
        std::lock_guard lock(mutex_);
        clear();
        std::fprintf(stderr, "vexlor: %s\n", message.c_str());
        if (drawn_) {
            draw(Clock::now());
        }
    }

    // The final figures stay on a line of their own when the batch ran to
    // its end; an interrupted one clears the line.
    void finish(bool ok) {
        std::lock_guard lock(mutex_);
        if (ok && drawn_) {
            draw(Clock::now());
            std::fputs("\n", stderr);
        } else {
            clear();
        }
        drawn_ = false;
    }

private:
    using Clock = std::chrono::steady_clock;
    static constexpr auto kInterval = std::chrono::milliseconds(250);

    struct Running {
        std::uint64_t bytes = 0;
        std::uint64_t packets = 0;
    };

    void update() {
        const auto now = Clock::now();
        if (!drawn_ || now - last_draw_ >= kInterval) {
            draw(now);
        }
    }

    static std::string duration_text(double seconds) {
        const auto s = static_cast<unsigned long long>(seconds + 0.5);
        char buf[32];
        if (s >= 3600) {
            std::snprintf(buf, sizeof buf, "%llu:%02llu:%02llu", s / 3600, s / 60 % 60, s % 60);
        } else {
            std::snprintf(buf, sizeof buf, "%llu:%02llu", s / 60, s % 60);
        }
        return buf;
    }

    void draw(Clock::time_point now) {
        std::uint64_t bytes = bytes_, packets = packets_;
        for (const Running& r : running_) {
            bytes += r.bytes;
            packets += r.packets;
        }
        const double secs = std::chrono::duration<double>(now - start_).count();
        const double rate = secs > 0 ? static_cast<double>(bytes) / secs : 0;
        // Time left at the rate so far, once there is one.
        const std::string left =
            bytes >= bytes_total_ ? "0:00"
            : rate > 0            ? duration_text(static_cast<double>(bytes_total_ - bytes) / rate)
                                  : "-:--";
        char line[200];
        const int n = std::snprintf(
            line, sizeof line, "%zu/%zu inputs  %s / %s  %llu packets  %.1f MB/s  %s left", ended_,
            inputs_, size_text(bytes).c_str(), size_text(bytes_total_).c_str(),
            static_cast<unsigned long long>(packets), rate / 1e6, left.c_str());
        const std::size_t len =
            n < 0 ? 0 : std::min<std::size_t>(static_cast<std::size_t>(n), sizeof line - 1);
        // Blanks over whatever a longer previous line left behind.
        std::fprintf(stderr, "\r%s%*s", line, static_cast<int>(width_ > len ? width_ - len : 0),
                     "");
        width_ = std::max(width_, len);
        drawn_ = true;
        last_draw_ = now;
    }

    void clear() {
        if (drawn_) {
            std::fprintf(stderr, "\r%*s\r", static_cast<int>(width_), "");
        }
    }

    const bool enabled_;
    const std::size_t inputs_;
    const std::uint64_t bytes_total_;
    std::mutex mutex_;
    std::vector<Running> running_; // by worker
    std::size_t ended_ = 0;
    std::uint64_t bytes_ = 0;   // of the inputs ended
    std::uint64_t packets_ = 0; // of the inputs ended
    bool drawn_ = false;
    std::size_t width_ = 0;
    Clock::time_point start_ = Clock::now();
    Clock::time_point last_draw_;
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

// Two inputs whose outputs would take one path, or one inside the other
// (a split's OUT/a/ and OUT/a/b/), would overwrite each other: refused,
// both named, before anything is done.
CommandStatus check_outputs(const Batch& batch, const std::vector<InputFile>& files,
                            const std::vector<std::string>& names) {
    std::map<std::string, std::size_t> owner; // input by output name
    for (std::size_t i = 0; i < files.size(); ++i) {
        auto [it, fresh] = owner.emplace(names[i] + batch.suffix, i);
        if (!fresh) {
            return failure(files[it->second].path + " and " + files[i].path +
                           " would both be written to " + output_of(batch, names[i]) +
                           " (outputs are named after their input's path below the directory "
                           "given): run them into different output directories");
        }
    }
    for (const auto& [name, i] : owner) {
        for (auto slash = name.find('/'); slash != std::string::npos;
             slash = name.find('/', slash + 1)) {
            if (auto outer = owner.find(name.substr(0, slash)); outer != owner.end()) {
                return failure(files[outer->second].path + " and " + files[i].path +
                               " would be written to " +
                               (fs::path(batch.outdir) / outer->first).string() + " and to " +
                               (fs::path(batch.outdir) / name).string() +
                               ", inside it: run them into different output directories");
            }
        }
    }
    return {};
}

// The plan of a batch on standard output, one JSON object per input: path,
// relative (its name below its directory), output, done (by the manifest).
CommandStatus list_batch(const Batch& batch, const Inputs& inputs,
                         const std::vector<std::string>& names) {
    Manifest manifest(batch);
    if (auto st = manifest.load(); !st) {
        return failure(st.error().message);
    }
    for (std::size_t i = 0; i < inputs.files.size(); ++i) {
        const std::string out = output_of(batch, names[i]);
        const bool done = manifest.done_before(inputs.files[i], out);
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
    const auto text = read_text(arg);
    if (!text) {
        return failure("cannot read " + arg + ": " + os_error_text(errno));
    }
    // The last line of each input tells (a job still running, or killed,
    // has appended lines the next compaction sorts), in the order of their
    // paths, as a compacted manifest has them.
    std::map<std::string, std::string> names; // by input path; "" unless done
    const std::vector<std::string_view> lines = complete_lines(*text);
    for (std::size_t n = 1; n <= lines.size(); ++n) {
        auto fields = parse_line(lines[n - 1]);
        if (!fields) {
            return failure(arg + " is damaged at line " + std::to_string(n));
        }
        if (n > 1) {
            // "name" is the output's path below the manifest's directory,
            // wherever the job was run from.
            const bool done =
                (*fields)["status"] == "done" && (*fields)["name"].ends_with(".vexlor");
            names[(*fields)["path"]] = done ? (*fields)["name"] : "";
        }
    }
    for (const auto& [path, name] : names) {
        if (!name.empty()) {
            out.push_back((fs::path(arg).parent_path() / name).string());
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
    const std::vector<std::string> names = output_names(inputs.files);
    if (auto st = check_outputs(batch, inputs.files, names); !st) {
        return st;
    }
    if (batch.list) {
        return list_batch(batch, inputs, names);
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
    auto output_of = [&](std::size_t i) { return vexlor::cli::output_of(batch, names[i]); };
    Manifest manifest(batch);
    if (auto st = manifest.load(); !st) {
        return failure(st.error().message);
    }
    // What an earlier run did is settled before any job starts.
    std::vector<bool> done_before(inputs.files.size());
    std::uint64_t skipped = 0;
    for (std::size_t i = 0; i < inputs.files.size(); ++i) {
        done_before[i] = manifest.done_before(inputs.files[i], output_of(i));
        skipped += done_before[i] ? 1 : 0;
    }
    // What a killed run left (a line cut short, lines out of order) is put
    // right before anything is appended.
    if (auto st = manifest.compact(); !st) {
        return failure(st.error().message);
    }

    const unsigned jobs = std::max(1u, std::min<unsigned>(batch.jobs, inputs.files.size()));
    // The progress line, on a terminal unless --quiet (as for one input).
    const bool live = batch.progress && !batch.quiet;
    std::vector<std::uint64_t> sizes(inputs.files.size());
    std::uint64_t bytes_to_read = 0;
    for (std::size_t i = 0; live && i < inputs.files.size(); ++i) {
        if (!done_before[i]) {
            sizes[i] = stamp_of(inputs.files[i].path).value_or(Stamp{}).size;
            bytes_to_read += sizes[i];
        }
    }
    BatchLine line(live, jobs, inputs.files.size() - skipped, bytes_to_read);

    std::atomic<std::size_t> next{0};
    std::mutex report;
    RunSummary total;
    std::uint64_t done = 0, failed = 0;
    auto worker = [&](unsigned slot) {
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
            ProgressFn progress;
            if (line.enabled()) {
                progress = [&line, slot, size = sizes[i]](const Progress& p) {
                    line.running(slot, p, size);
                };
            }
            Status st = run_one(input, target, control, progress);
            if (st && is_dir) {
                st = publish_dir(target, output);
            }
            if (!st && is_dir) {
                fs::remove_all(target, mk);
            }
            const bool interrupted = !st && batch.cancel && batch.cancel->load();
            Status recorded = interrupted ? Status{} : manifest.record(input, output, summary, st);
            std::lock_guard lock(report);
            if (interrupted) {
                continue;
            }
            line.ended(slot, sizes[i], summary.packets);
            if (!st) {
                ++failed;
                const std::string& m = st.error().message;
                line.print(m.find(input.path) != std::string::npos ? m : input.path + ": " + m);
            } else {
                ++done;
                total.packets += summary.packets;
                total.flows += summary.flows;
                total.files += summary.files;
                total.bytes_written += summary.bytes_written;
            }
            if (!recorded) {
                ++failed;
                line.print(recorded.error().message);
            }
        }
    };
    std::vector<std::thread> threads;
    for (unsigned j = 1; j < jobs; ++j) {
        threads.emplace_back(worker, j);
    }
    worker(0);
    for (std::thread& t : threads) {
        t.join();
    }
    // The lines appended, sorted and one per input.
    if (auto st = manifest.compact(); !st) {
        ++failed;
        line.print(st.error().message);
    }
    line.finish(!(batch.cancel && batch.cancel->load()));
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
