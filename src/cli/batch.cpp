#include "cli/batch.h"

#include <fcntl.h>
#include <glob.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "cli/command_support.h"
#include "cli/format.h"
#include "common/text.h"
#include "common/unique_fd.h"
#include "output/output_dir.h"
#include "parser/byte_stream.h"
#include "parser/pcap_reader.h"
#include "parser/pcapng_reader.h"

namespace vexlor::cli {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kManifest = "vexlor-manifest.jsonl";
constexpr std::string_view kPartial = ".vexlor-partial";
constexpr std::string_view kLockName = ".vexlor-manifest.lock";

std::unexpected<Failure> failure(std::string message) {
    return std::unexpected(Failure{kExitFailure, std::move(message)});
}

// What the first bytes of a file found in a directory make of it.
enum class Found {
    Capture, // a capture, compressed or not
    Other,   // read, and plainly something else
    // Not readable, or a compressed stream that fails before its first
    // bytes: an input all the same, whose run tells what is wrong with it.
    Damaged,
};

Found look_at(const std::string& path) {
    auto stream = open_stream(path);
    if (!stream) {
        return Found::Damaged;
    }
    std::array<std::uint8_t, 4> head{};
    auto got = read_full(**stream, head);
    if (!got) {
        return Found::Damaged;
    }
    if (*got < head.size()) {
        return Found::Other;
    }
    const std::uint32_t magic = load_le<std::uint32_t>(head.data());
    if (PcapReader::recognises(magic) || PcapngReader::recognises(magic)) {
        return Found::Capture;
    }
    // Damage inside compressed data shows only when its check fails (see
    // kDamageLook): such a file is a failing input, not a file of another kind.
    if ((*stream)->compression() != Compression::None) {
        std::vector<std::uint8_t> scratch(std::size_t{64} << 10);
        for (std::size_t seen = 0; seen < kDamageLook;) {
            auto n = (*stream)->read(scratch);
            if (!n) {
                // Bytes after whole compressed data do not make it a capture.
                return is_trailing_data(n.error()) ? Found::Other : Found::Damaged;
            }
            if (*n == 0) {
                break;
            }
            seen += *n;
        }
    }
    return Found::Other;
}

} // namespace

bool is_capture_file(const std::string& path) {
    std::error_code ec;
    return fs::is_regular_file(path, ec) && look_at(path) == Found::Capture;
}

namespace {

bool has_pattern(const std::string& s) {
    return s.find_first_of("*?[") != std::string::npos;
}

// Whether `dir` is the output directory of a job (it has the manifest, or
// the lock file a job makes first).
bool holds_job_outputs(const fs::path& dir) {
    std::error_code ec;
    return fs::exists(dir / kManifest, ec) || fs::exists(dir / kLockName, ec);
}

// The regular files below `dir`, sorted by path: links to files count,
// links to directories are not followed.  A directory that cannot be read
// is an error that names it, lest its captures go missing unseen.  With
// `job_outputs`, directories below `dir` that hold a job's outputs are left
// out and counted there: the split files of a job whose output directory
// lies inside its input directory would otherwise be inputs of its next run.
// `own`, when not empty, is the output directory of the job that walks:
// left out too, on its first run as on the next, so that every run reads
// the same inputs.
std::expected<std::vector<fs::path>, Failure> files_below(const fs::path& dir,
                                                          std::uint64_t* job_outputs = nullptr,
                                                          std::uint64_t* linked_dirs = nullptr,
                                                          const fs::path& own = {}) {
    std::vector<fs::path> files;
    std::vector<fs::path> dirs{dir};
    auto is_own = [&](const fs::path& d) {
        std::error_code ec;
        return !own.empty() && fs::equivalent(d, own, ec);
    };
    while (!dirs.empty()) {
        const fs::path d = std::move(dirs.back());
        dirs.pop_back();
        std::error_code ec;
        for (fs::directory_iterator it(d, ec), end; !ec && it != end; it.increment(ec)) {
            std::error_code type_ec;
            if (!it->is_symlink(type_ec) && it->is_directory(type_ec)) {
                if (job_outputs != nullptr &&
                    (holds_job_outputs(it->path()) || is_own(it->path()))) {
                    ++*job_outputs;
                } else {
                    dirs.push_back(it->path());
                }
            } else if (it->is_symlink(type_ec) && fs::is_directory(it->path(), type_ec)) {
                // Not followed (a link may lead back up, or across the
                // file system), but counted, so that none is missed unseen.
                if (linked_dirs != nullptr) {
                    ++*linked_dirs;
                }
            } else if (it->is_regular_file(type_ec) ||
                       (it->is_symlink(type_ec) && !fs::exists(it->path(), type_ec))) {
                // A link to nothing is a file that cannot be read: a failing
                // input that says so, not one that silently goes missing.
                files.push_back(it->path());
            }
        }
        if (ec) {
            return failure("cannot read " + d.string() + ": " + ec.message());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

// `path` below `base` ("" for the working directory).
std::string below(const fs::path& path, const fs::path& base) {
    return base.empty() ? path.string() : path.lexically_relative(base).string();
}

// Whether `path` is `dir` or lies below it (false for an empty `dir`).
bool within(const fs::path& path, const fs::path& dir) {
    if (dir.empty()) {
        return false;
    }
    // Compared by their parts, a trailing '/' dropped ("out/" is "out").
    auto parts = [](const fs::path& x, std::error_code& ec) {
        fs::path c = fs::weakly_canonical(x, ec).lexically_normal();
        return c.has_filename() || !c.has_parent_path() ? c : c.parent_path();
    };
    std::error_code ec;
    const fs::path p = parts(path, ec);
    const fs::path d = ec ? fs::path() : parts(dir, ec);
    if (ec) {
        return false;
    }
    auto [left, right] = std::mismatch(d.begin(), d.end(), p.begin(), p.end());
    return left == d.end();
}

// Appends the captures below `dir`, sorted by path and named after their
// path below `base`; counts the files that are plainly not captures.
std::expected<void, Failure> walk(const std::string& dir, const fs::path& base, Inputs& out,
                                  const fs::path& own) {
    std::error_code ec;
    if (!own.empty() && fs::equivalent(dir, own, ec)) {
        ++out.job_outputs; // a pattern's match
        return {};
    }
    auto files = files_below(dir, &out.job_outputs, &out.linked_dirs, own);
    if (!files) {
        return std::unexpected(files.error());
    }
    for (const fs::path& f : *files) {
        if (look_at(f.string()) == Found::Other) {
            ++out.skipped;
        } else {
            out.files.push_back({f.string(), below(f, base)});
        }
    }
    return {};
}

// The directory a pattern's matches are named below: its components before
// the first that holds a wildcard ("g/day*/*.pcap": "g"; "*.pcap": "").
fs::path pattern_base(const std::string& pattern) {
    const std::size_t slash = pattern.rfind('/', pattern.find_first_of("*?["));
    if (slash == std::string::npos) {
        return {};
    }
    return slash == 0 ? fs::path("/") : fs::path(pattern.substr(0, slash));
}

// One line of the manifest: an object of strings and unsigned numbers, as
// this tool writes them.  Anything else is damage, told by what it is.
using Fields = std::map<std::string, std::string>;

std::expected<Fields, std::string> parse_line(std::string_view line) {
    Fields fields;
    std::size_t i = 0;
    auto skip_space = [&] {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) {
            ++i;
        }
    };
    auto string = [&]() -> std::expected<std::string, std::string> {
        if (i >= line.size() || line[i] != '"') {
            return std::unexpected("a string expected at column " + std::to_string(i + 1));
        }
        std::string s;
        for (++i; i < line.size() && line[i] != '"'; ++i) {
            if (line[i] != '\\') {
                s += line[i];
                continue;
            }
            if (++i >= line.size()) {
                break;
            }
            if (line[i] == 'u') {
                // The tool escapes control characters only: \u00XX.
                const char* hex = line.data() + i + 1;
                unsigned code = 0;
                if (i + 4 >= line.size() ||
                    std::from_chars(hex, hex + 4, code, 16).ptr != hex + 4 || code > 0xFF) {
                    return std::unexpected("bad \\u escape at column " + std::to_string(i));
                }
                s += static_cast<char>(code);
                i += 4;
            } else {
                s += line[i];
            }
        }
        if (i >= line.size()) {
            return std::unexpected(std::string("a string without its end"));
        }
        ++i;
        return s;
    };
    skip_space();
    if (i >= line.size() || line[i++] != '{') {
        return std::unexpected(std::string("not a JSON object"));
    }
    for (;;) {
        skip_space();
        auto key = string();
        if (!key) {
            return std::unexpected(key.error());
        }
        skip_space();
        if (i >= line.size() || line[i++] != ':') {
            return std::unexpected("':' expected at column " + std::to_string(i));
        }
        skip_space();
        std::expected<std::string, std::string> value;
        if (i < line.size() && line[i] == '"') {
            value = string();
        } else {
            const std::size_t start = i;
            while (i < line.size() && line[i] >= '0' && line[i] <= '9') {
                ++i;
            }
            value = i > start ? std::expected<std::string, std::string>(
                                    std::string(line.substr(start, i - start)))
                              : std::unexpected("the value of \"" + *key +
                                                "\" is neither a string nor a whole number");
        }
        if (!value) {
            return std::unexpected(value.error());
        }
        fields[*key] = std::move(*value);
        skip_space();
        if (i < line.size() && line[i] == ',') {
            ++i;
            continue;
        }
        if (i < line.size() && line[i] == '}') {
            ++i;
            skip_space();
            if (i == line.size()) {
                return fields;
            }
            return std::unexpected("text after the object at column " + std::to_string(i + 1));
        }
        return std::unexpected("',' or '}' expected at column " + std::to_string(i + 1));
    }
}

// An entry's line as this tool writes it: the fields in their usual order,
// numbers bare, fields of other versions last.
std::string entry_line(const Fields& fields) {
    struct Key {
        std::string_view name;
        bool number;
    };
    static constexpr Key kKeys[] = {
        {"path", false},          {"size", true},    {"mtime_ns", true},
        {"output", false},        {"name", false},   {"first_packet_us", true},
        {"last_packet_us", true}, {"packets", true}, {"link_type", true},
        {"flows", true},          {"files", true},   {"bytes_written", true},
        {"status", false},        {"error", false},  {"warning", false},
    };
    std::string line;
    auto add = [&](std::string_view name, const std::string& value, bool number) {
        line += (line.empty() ? "{" : ", ") + json_string(name) + ": " +
                (number ? value : json_string(value));
    };
    for (const Key& k : kKeys) {
        if (auto it = fields.find(std::string(k.name)); it != fields.end()) {
            add(k.name, it->second, k.number);
        }
    }
    for (const auto& [name, value] : fields) {
        if (std::ranges::find(kKeys, name, &Key::name) == std::end(kKeys)) {
            add(name, value, false);
        }
    }
    return line + "}";
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

// The lines of a manifest, the last of each output.
struct ManifestText {
    Fields header; // empty: no manifest yet
    struct Entry {
        Fields fields;
        std::string line;
    };
    std::map<std::string, Entry> entries; // by entry_key
    // As a compaction leaves it: one line per output, sorted by path, none
    // cut short.
    bool tidy = true;
};

// What an entry is the entry of: its output, named below the manifest's
// directory, which is the same however the input's path or the directory
// was spelt; its input's path in manifests older than that name.
std::string entry_key(const Fields& f) {
    const auto name = f.find("name");
    if (name != f.end() && !name->second.empty()) {
        return name->second;
    }
    const auto path = f.find("path");
    return path == f.end() ? std::string() : path->second;
}

// The manifest `text` read from `path`; refused, in words that name it,
// when damaged or of a version this tool does not read.
std::expected<ManifestText, std::string> parse_manifest(std::string_view text,
                                                        const std::string& path) {
    ManifestText m;
    m.tidy = text.empty() || text.ends_with('\n');
    const std::vector<std::string_view> lines = complete_lines(text);
    std::pair<std::string, std::string> previous; // the (path, key) of the line before
    for (std::size_t n = 1; n <= lines.size(); ++n) {
        auto fields = parse_line(lines[n - 1]);
        const bool header = n == 1;
        if (fields && header != fields->contains("vexlor_manifest")) {
            fields = std::unexpected(std::string(header ? "no header" : "a second header"));
        } else if (fields && !header && !fields->contains("path")) {
            fields = std::unexpected(std::string("an entry without a path"));
        }
        if (!fields) {
            return std::unexpected("damaged manifest " + path + ": line " + std::to_string(n) +
                                   ": " + fields.error());
        }
        if (header) {
            if ((*fields)["vexlor_manifest"] != "1") {
                return std::unexpected(path + ": manifest version " + (*fields)["vexlor_manifest"] +
                                       " is not one this tool reads");
            }
            m.header = std::move(*fields);
            continue;
        }
        std::pair<std::string, std::string> at{(*fields)["path"], entry_key(*fields)};
        m.tidy = m.tidy && (n == 2 || previous < at) && !m.entries.contains(at.second) &&
                 (*fields)["status"] != "removed";
        m.entries[at.second] = {std::move(*fields), std::string(lines[n - 1])};
        previous = std::move(at);
    }
    return m;
}

// The lock file of the runs into a directory, OUTDIR/.vexlor-manifest.lock,
// a hidden name that stays (removing a lock file others may hold open is a
// race).  Its byte 0 is the manifest's lock, waited for; the byte of an
// output (a hash of its name picks one) is held by the run writing it.
// Locks of the open file description: they end with the run however it
// ends, and a file system shared by the tasks of a cluster job knows them.
std::string lock_file(const Batch& batch) {
    return (fs::path(batch.outdir) / kLockName).string();
}

// Locks the byte `at` of the open lock file `fd`: false when another holds
// it and `wait` is not set (errno EAGAIN).
bool lock_byte(int fd, off_t at, bool wait) {
    struct flock byte {};
    byte.l_type = F_WRLCK;
    byte.l_whence = SEEK_SET;
    byte.l_start = at;
    byte.l_len = 1;
    int rc;
    while ((rc = ::fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &byte)) != 0 && errno == EINTR) {
    }
    if (rc != 0 && errno == EACCES) {
        errno = EAGAIN;
    }
    return rc == 0;
}

// One run per output: from before it touches anything until it ends, a run
// of a job holds the bytes of its outputs.  A second run with an output in
// common fails at once, touching nothing, while the tasks of a cluster job,
// each with outputs of its own, run side by side.
std::expected<UniqueFd, Failure> lock_outputs(const Batch& batch,
                                              const std::vector<std::string>& names) {
    const std::string path = lock_file(batch);
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (!fd.valid()) {
        return failure("cannot lock " + path + ": " + os_error_text(errno));
    }
    for (const std::string& name : names) {
        std::uint64_t hash = 0xcbf29ce484222325u; // FNV-1a: the same in every build
        for (unsigned char c : name + batch.suffix) {
            hash = (hash ^ c) * 0x100000001b3u;
        }
        if (!lock_byte(fd.get(), static_cast<off_t>(hash >> 2 | 1), false)) {
            if (errno == EAGAIN) {
                return failure("Output directory " + batch.outdir + " is in use by another run");
            }
            return failure("cannot lock " + path + ": " + os_error_text(errno));
        }
    }
    return fd;
}

// The manifest: a header line (command, options), then lines of inputs.
// When an input ends, its line is appended whole with one write, so that
// the cost of a run grows with its inputs, not with their square.  At the
// start of a run (when needed) and at its end, the manifest is compacted:
// rewritten under a temporary name with the last line of each output,
// sorted by path, synced and renamed into place.  Appends and compactions
// take a lock shared with the other runs into the same directory (the
// tasks of a cluster job).  A run killed mid-append leaves a last line
// without its newline: readers ignore it, and the next append or
// compaction removes it, so that its input is done again.  Appends are not
// synced: a line lost with the machine only means its input is redone.
// An input is known by its output's name, not by the spelling of its path:
// a rerun that names the same inputs otherwise finds them done.
class Manifest {
public:
    explicit Manifest(const Batch& batch)
        : path_((fs::path(batch.outdir) / kManifest).string()), lock_path_(lock_file(batch)),
          batch_(batch) {}

    const std::string& path() const { return path_; }

    // The entries of an earlier run of the same command and options.  A
    // manifest this version cannot read is left as it is, and refused.
    // `other`: what else made the manifest there ("other options",
    // "another command"), which this run replaces; empty when nothing did.
    [[nodiscard]] Status load(std::string* other = nullptr) {
        auto m = read(other);
        if (!m) {
            return std::unexpected(m.error());
        }
        earlier_ = std::move(m->entries);
        return {};
    }

    // Whether `input` is done by an earlier run: its entry says so, the
    // input is unchanged and its output there.
    bool done_before(const InputFile& input, const std::string& output) {
        auto it = earlier_.find(name_of(output));
        const auto stamp = stamp_of(input.path);
        if (it == earlier_.end() || !stamp) {
            return false;
        }
        Fields& f = it->second.fields;
        std::error_code ec;
        return f["status"] == "done" && f["size"] == std::to_string(stamp->size) &&
               f["mtime_ns"] == std::to_string(stamp->mtime_ns) && fs::exists(output, ec);
    }

    // An input done before under another spelling of its path or of the
    // directory takes this run's spelling, so that the manifest names the
    // inputs as the job last named them.
    [[nodiscard]] Status respell(const InputFile& input, const std::string& output) {
        auto it = earlier_.find(name_of(output));
        if (it == earlier_.end()) {
            return {};
        }
        Fields f = it->second.fields;
        if (f["path"] == input.path && f["output"] == output) {
            return {};
        }
        f["path"] = input.path;
        f["output"] = output;
        return append(entry_line(f) + "\n");
    }

    // `warning`: what the run of a done input said of it ("" for nothing).
    // `read`: the input's size and time when its run began.  A capture still
    // being written when it was read is then done again by the next run,
    // which finds it changed, rather than taken as done with what it has
    // become since.
    [[nodiscard]] Status record(const InputFile& input, const std::optional<Stamp>& read,
                                const std::string& output, const RunSummary& s,
                                const Status& outcome, const std::string& warning) {
        const Stamp stamp = read.value_or(Stamp{});
        Fields f{{"path", input.path},
                 {"size", std::to_string(stamp.size)},
                 {"mtime_ns", std::to_string(stamp.mtime_ns)},
                 {"output", output},
                 {"name", name_of(output)}};
        if (outcome) {
            f["first_packet_us"] = std::to_string(s.first_us);
            f["last_packet_us"] = std::to_string(s.last_us);
            f["packets"] = std::to_string(s.packets);
            f["link_type"] = std::to_string(s.link_type);
            f["flows"] = std::to_string(s.flows);
            f["files"] = std::to_string(s.files);
            f["bytes_written"] = std::to_string(s.bytes_written);
            f["status"] = "done";
            if (!warning.empty()) {
                f["warning"] = warning;
            }
        } else {
            f["status"] = "failed";
            f["error"] = outcome.error().message;
        }
        return append(entry_line(f) + "\n");
    }

    // Of `candidates[i]`, the other name input i may have had (see
    // other_names), those an earlier run wrote for that very input: its
    // entry has that name and the input's path as this run spells it.
    // Entries of older manifests without names are never taken.
    std::vector<std::string> renamed(const std::vector<InputFile>& files,
                                     const std::vector<std::string>& candidates) const {
        std::vector<std::string> out;
        for (std::size_t i = 0; i < files.size(); ++i) {
            if (candidates[i].empty()) {
                continue;
            }
            const auto it = earlier_.find(candidates[i]);
            if (it == earlier_.end()) {
                continue;
            }
            const Fields& f = it->second.fields;
            const auto name = f.find("name");
            const auto path = f.find("path");
            if (name != f.end() && name->second == candidates[i] && path != f.end() &&
                path->second == files[i].path) {
                out.push_back(candidates[i]);
            }
        }
        return out;
    }

    // Drops the entry of output `name` (removed by the caller): a line that
    // says so, which the next compaction leaves out.
    [[nodiscard]] Status forget(const std::string& name) {
        auto it = earlier_.find(name);
        if (it == earlier_.end()) {
            return {};
        }
        Fields f{{"path", it->second.fields["path"]}, {"name", name}, {"status", "removed"}};
        earlier_.erase(it);
        return append(entry_line(f) + "\n");
    }

    // Rewrites the manifest with the last line of each output of this job,
    // sorted by path, unless it is so already.  A manifest of another
    // command or other options gives way to an empty one of this job.
    [[nodiscard]] Status compact() {
        std::lock_guard guard(mutex_);
        auto lock = lock_dir();
        if (!lock) {
            return std::unexpected(lock.error());
        }
        auto m = read();
        if (!m || m->tidy) {
            return m ? Status{} : std::unexpected(m.error());
        }
        std::vector<std::tuple<std::string, std::string, const std::string*>> lines;
        for (auto& [key, entry] : m->entries) {
            if (entry.fields["status"] != "removed") {
                lines.emplace_back(entry.fields["path"], key, &entry.line);
            }
        }
        std::ranges::sort(lines);
        std::string text = header();
        for (const auto& line : lines) {
            text += *std::get<2>(line);
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
    // An output's name below the directory, as entries are keyed.
    std::string name_of(const std::string& output) const {
        return fs::path(output).lexically_relative(batch_.outdir).string();
    }

    std::string header() const {
        return "{\"vexlor_manifest\": 1, \"command\": " + json_string(batch_.command) +
               ", \"options\": " + json_string(batch_.signature) + "}\n";
    }

    // The lock among the runs into the directory, held until the returned
    // descriptor is closed.
    std::expected<UniqueFd, Error> lock_dir() const {
        UniqueFd lock(::open(lock_path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
        if (!lock.valid() || !lock_byte(lock.get(), 0, true)) {
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

    // The manifest on disk, with entries only when it was made by the same
    // command and options (none otherwise, or when there is none), and
    // then never tidy.  `other`: see load().
    std::expected<ManifestText, Error> read(std::string* other = nullptr) const {
        auto m = parse_manifest(read_text(path_).value_or(""), path_);
        if (!m) {
            return io_error(m.error() + ": move it away to start afresh");
        }
        const bool none = m->header.empty();
        if (m->header["command"] != batch_.command || m->header["options"] != batch_.signature) {
            if (other && !none) {
                *other =
                    m->header["command"] != batch_.command ? "another command" : "other options";
            }
            m->entries.clear();
            m->tidy = false;
        }
        return std::move(*m);
    }

    std::string path_;
    std::string lock_path_;
    const Batch& batch_;
    std::mutex mutex_; // between this run's threads; the lock file between runs
    std::map<std::string, ManifestText::Entry> earlier_; // by entry_key
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

    void draw(Clock::time_point now) {
        std::uint64_t bytes = bytes_, packets = packets_;
        for (const Running& r : running_) {
            bytes += r.bytes;
            packets += r.packets;
        }
        const double secs = std::chrono::duration<double>(now - start_).count();
        const double rate = secs > 0 ? static_cast<double>(bytes) / secs : 0;
        // Time left at the rate so far, once there is one.
        const std::string left = bytes >= bytes_total_ ? "0:00"
                                 : rate > 0
                                     ? clock_text(static_cast<double>(bytes_total_ - bytes) / rate)
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
    // Names the job keeps for itself: its manifest (and the manifest's
    // temporary name), its lock, and the partial name of a split's output.
    for (const auto& [name, i] : owner) {
        const std::string top = name.substr(0, name.find('/'));
        const bool partial = std::ranges::any_of(
            fs::path(name), [](const fs::path& part) { return part.string().ends_with(kPartial); });
        if (top == kManifest || top == std::string(kManifest) + ".tmp" || top == kLockName ||
            partial) {
            return failure(files[i].path + " would be written to " +
                           (fs::path(batch.outdir) / name).string() +
                           ", a name the job keeps for its own files: rename the input, or "
                           "run it into another output directory");
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
    return std::fflush(stdout) == 0 ? CommandStatus{} : write_failed(errno, "standard output");
}

} // namespace

std::expected<Inputs, Failure> expand_inputs(const std::vector<std::string>& args,
                                             const std::string& root, const std::string& output) {
    Inputs out;
    std::error_code exists_ec;
    const fs::path own = !output.empty() && fs::is_directory(output, exists_ec) ? output : "";
    // A file named directly is named after its path below `root` when it
    // lies there, else after `otherwise`.
    auto relative = [&](const std::string& path, std::string otherwise) {
        if (!root.empty()) {
            const std::string rel = fs::path(path).lexically_relative(root).string();
            if (!rel.empty() && !rel.starts_with("..")) {
                return rel;
            }
        }
        return otherwise;
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
            if (auto st = walk(arg, arg, out, own); !st) {
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
            // Matches are named after their path below the pattern's leading
            // directories without wildcards: 'g/day*/*.pcap' gives day1/x and day2/x.
            const fs::path base = pattern_base(arg);
            // Where the output directory lies inside the part of the tree the
            // pattern looks through ('in/*/*' into in/out), its matches there
            // are the job's outputs, never its inputs.
            std::error_code eq;
            const bool own_below = within(own, base.empty() ? fs::path(".") : base) &&
                                   !fs::equivalent(own, base.empty() ? fs::path(".") : base, eq);
            for (std::size_t i = 0; rc == 0 && i < g.gl_pathc; ++i) {
                const std::string match = g.gl_pathv[i];
                if (own_below && within(match, own)) {
                    ++(match.ends_with("/") ? out.job_outputs : out.in_output);
                } else if (match.ends_with("/")) {
                    if (auto st = walk(match, base, out, own); !st) {
                        globfree(&g);
                        return std::unexpected(st.error());
                    }
                } else if (look_at(match) == Found::Other) {
                    ++out.skipped; // as in a directory: a pattern names many files
                } else {
                    out.files.push_back({match, relative(match, below(match, base))});
                }
            }
            globfree(&g);
            continue;
        }
        out.files.push_back({arg, relative(arg, fs::path(arg).filename().string())});
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

std::vector<std::string> manifests_of(std::span<const std::string> args) {
    std::vector<std::string> out;
    for (const std::string& arg : args) {
        std::error_code ec;
        if (fs::is_directory(arg, ec)) {
            out.push_back((fs::path(arg) / kManifest).string());
        }
    }
    return out;
}

std::expected<std::vector<std::string>, Failure> archives_named(const std::string& arg, bool& set) {
    std::error_code ec;
    std::vector<std::string> out;
    if (fs::is_directory(arg, ec)) {
        set = true;
        auto files = files_below(arg);
        if (!files) {
            return std::unexpected(files.error());
        }
        for (const fs::path& f : *files) {
            if (f.extension() == ".vexlor") {
                out.push_back(f.string());
            }
        }
        if (out.empty()) {
            return failure("no archive in " + arg);
        }
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
    auto manifest = parse_manifest(*text, arg);
    if (!manifest) {
        return failure(manifest.error());
    }
    if (const auto command = manifest->header.find("command");
        command != manifest->header.end() && command->second != "archive") {
        return failure(arg + " is the manifest of a " + command->second + " job, not of archives");
    }
    // The last line of each output tells (a job still running, or killed,
    // has appended lines the next compaction sorts), in the order of their
    // paths, as a compacted manifest has them.  "name" is the output's path
    // below the manifest's directory, wherever the job was run from.
    std::vector<std::pair<std::string, std::string>> done; // (path, name)
    for (auto& [key, entry] : manifest->entries) {
        Fields& f = entry.fields;
        if (f["status"] == "done" && f["name"].ends_with(".vexlor")) {
            done.emplace_back(f["path"], f["name"]);
        }
    }
    std::ranges::sort(done);
    for (const auto& [path, name] : done) {
        out.push_back((fs::path(arg).parent_path() / name).string());
    }
    if (out.empty()) {
        return failure("no archive in " + arg);
    }
    return out;
}

// An input's short name: its relative path without the capture's and the
// compression's extensions (day1/a.pcap.gz: day1/a).
std::string short_name(const InputFile& f) {
    std::string name = f.relative;
    strip(name, {".gz", ".zst", ".zstd", ".xz", ".bz2"});
    strip(name, {".pcapng", ".pcap", ".cap", ".ntar"});
    return name;
}

std::vector<std::string> output_names(const std::vector<InputFile>& files) {
    std::vector<std::string> names;
    std::map<std::string, int> uses;
    for (const InputFile& f : files) {
        std::string name = short_name(f);
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

// The name each input's output has when its short name (`b` for b.pcap)
// is not this run's, and the other way round: the name a run of another
// set of inputs would have given it.
std::vector<std::string> other_names(const std::vector<InputFile>& files,
                                     const std::vector<std::string>& names) {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < files.size(); ++i) {
        const std::string shortened = short_name(files[i]);
        out.push_back(names[i] == shortened ? files[i].relative : shortened);
    }
    return out;
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
                     "vexlor: %s found in the input directories or by patterns %s: skipped\n",
                     counted(inputs.skipped, "file", "files").c_str(),
                     inputs.skipped == 1 ? "is not a capture" : "are not captures");
    }
    if (inputs.job_outputs > 0 && !batch.quiet) {
        std::fprintf(stderr,
                     "vexlor: %s of jobs below the input directories: skipped (name one to "
                     "read it)\n",
                     counted(inputs.job_outputs, "output directory", "output directories").c_str());
    }
    if (inputs.in_output > 0 && !batch.quiet) {
        std::fprintf(stderr,
                     "vexlor: %s matched in the output directory %s: skipped (name one to read "
                     "it)\n",
                     counted(inputs.in_output, "file", "files").c_str(), batch.outdir.c_str());
    }
    if (inputs.linked_dirs > 0 && !batch.quiet) {
        std::fprintf(
            stderr,
            "vexlor: %s below the input directories: not followed (name one to read "
            "it)\n",
            counted(inputs.linked_dirs, "link to a directory", "links to directories").c_str());
    }
    if (inputs.files.empty()) {
        return failure("no capture to read");
    }
    std::error_code ec;
    fs::create_directories(batch.outdir, ec);
    if (ec) {
        return failure("cannot create " + batch.outdir + ": " + ec.message());
    }
    // OUT itself is held shared, before anything is made in it: the runs of jobs share it (the
    // tasks of a cluster job), while a split or the module writing into OUT holds it alone and
    // refuses them, or is refused.  Only a lock held elsewhere stops the job: a file system without
    // such locks does not.
    UniqueFd shared(::open(batch.outdir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (shared.valid()) {
        if (auto st = lock_run_dir(shared.get(), batch.outdir, true);
            !st && is_in_use(st.error())) {
            return failure(st.error().message);
        }
    }
    // Held until the run ends: nothing below is touched without it.
    const auto locks = lock_outputs(batch, names);
    if (!locks) {
        return std::unexpected(locks.error());
    }
    // The other name each input may have had in an earlier run (inputs
    // since added or gone give or take its short name), locked from before
    // the manifest is read until any output left under it is removed: a run
    // writing one of them now keeps it (and its entry names its own input).
    // Empty where the other name is taken by this run, or held by another.
    std::vector<std::string> previous = other_names(inputs.files, names);
    std::vector<UniqueFd> other_locks;
    {
        const std::set<std::string> planned(names.begin(), names.end());
        for (std::string& name : previous) {
            if (planned.contains(name)) {
                name.clear();
            } else if (auto held = lock_outputs(batch, {name})) {
                other_locks.push_back(std::move(*held));
                name += batch.suffix;
            } else {
                name.clear();
            }
        }
    }
    auto output_of = [&](std::size_t i) { return vexlor::cli::output_of(batch, names[i]); };
    Manifest manifest(batch);
    std::string other;
    if (auto st = manifest.load(&other); !st) {
        return failure(st.error().message);
    }
    if (!other.empty()) {
        std::fprintf(stderr, "vexlor: %s was written by %s; every input is done again\n",
                     manifest.path().c_str(), other.c_str());
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
    for (std::size_t i = 0; i < inputs.files.size(); ++i) {
        if (auto st = done_before[i] ? manifest.respell(inputs.files[i], output_of(i)) : Status{};
            !st) {
            return failure(st.error().message);
        }
    }
    // Outputs of these inputs under names they no longer have are removed
    // with their entries, so that the directory holds what a first run of
    // these inputs would write (and no input's flows twice).  One another
    // run holds is left to it.
    for (const std::string& name : manifest.renamed(inputs.files, previous)) {
        const fs::path old = fs::path(batch.outdir) / name;
        std::error_code rm;
        fs::remove_all(old, rm);
        if (rm) {
            return failure("cannot remove " + old.string() + ": " + rm.message());
        }
        if (auto st = manifest.forget(name); !st) {
            return failure(st.error().message);
        }
    }
    other_locks.clear();

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
            const std::string target = is_dir ? beside(output, kPartial) : output;
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
            const std::optional<Stamp> read = stamp_of(input.path);
            Status st = run_one(input, target, control, progress);
            if (st && is_dir) {
                st = publish_dir(target, output);
            }
            if (!st && is_dir) {
                fs::remove_all(target, mk);
            }
            const bool interrupted = !st && batch.cancel && batch.cancel->load();
            // What one input's run would say of a record cut off, said of
            // this input and kept in its entry.
            std::string warning =
                st && summary.cut_off ? cut_off_text(*summary.cut_off) : std::string();
            if (st && summary.skipped != 0) {
                warning += (warning.empty() ? "" : "; ") + skipped_text(summary.skipped);
            }
            Status recorded =
                interrupted ? Status{} : manifest.record(input, read, output, summary, st, warning);
            std::lock_guard lock(report);
            if (interrupted) {
                continue;
            }
            line.ended(slot, sizes[i], summary.packets);
            if (!warning.empty()) {
                line.print("warning: " + input_name(input.path) + ": " + warning);
            }
            if (!st) {
                const std::string& m = st.error().message;
                line.print(m.find(input.path) != std::string::npos ? m : input.path + ": " + m);
            } else {
                total.packets += summary.packets;
                total.flows += summary.flows;
                total.files += summary.files;
                total.bytes_written += summary.bytes_written;
            }
            if (!recorded) {
                line.print(recorded.error().message);
            }
            // An output the manifest does not vouch for is not done: the
            // next run does it again.  Each input counts once.
            ++(st && recorded ? done : failed);
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
    const Status compacted = manifest.compact();
    if (!compacted) {
        line.print(compacted.error().message);
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
        // Read like one input's summary line.
        std::fprintf(stderr,
                     "vexlor: %s: %llu done, %llu already done, %llu failed; %s, %s, %s, %s "
                     "written, %.1f s\n",
                     counted(inputs.files.size(), "input", "inputs").c_str(),
                     static_cast<unsigned long long>(done),
                     static_cast<unsigned long long>(skipped),
                     static_cast<unsigned long long>(failed),
                     counted(total.packets, "packet", "packets").c_str(),
                     counted(total.flows, "flow", "flows").c_str(),
                     counted(total.files, "file", "files").c_str(),
                     size_text(total.bytes_written).c_str(), seconds);
    }
    if (failed > 0 || !compacted) {
        return failure("");
    }
    return {};
}

} // namespace vexlor::cli
