#include "parser/combined_reader.h"

#include <sys/stat.h>

#include <algorithm>
#include <limits>
#include <optional>

#include "packet/wide_dissect.h"

namespace vexlor {
namespace {

// Mapped inputs held for the whole run at most: each is a mapping of the
// process, and their number is limited (vm.max_map_count, 65,530 by default).
constexpr std::size_t kMostHeldMappings = 1024;

struct Input {
    std::string path;
    std::optional<std::uint64_t> size; // as stored; none for a pipe
    std::uint64_t first = 0;           // time of the first packet, for ordering
    // The mapped capture, while every input is mapped: reopened from here,
    // and held until the reader is gone (see stable_inputs()).
    std::optional<SharedBytes> mapped;
    bool written_form = false;             // its reader's records_in_written_form()
    std::unique_ptr<CaptureReader> reader; // while it is being read
    std::optional<RawRecord> pending;      // Merge: its next record
    bool ended = false;
};

std::uint64_t time_of(const RawRecord& r) {
    return std::uint64_t{r.ts_sec} * 1000000u + r.ts_usec;
}

// Whether the input at `path` can be opened and read again from its start:
// a pipe (or standard input) gives its bytes once.
bool can_open_again(const std::string& path) {
    struct stat st {};
    return path != "-" && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

Error named(const std::string& path, Error e) {
    // The system's words for an input that could not be opened or read (too
    // many open files, say) tell of reading it, not of the output.
    const bool system =
        e.kind == ErrorKind::Io && e.message.find(" (os error ") != std::string::npos;
    e.message = (system ? "cannot read " : "") + path + ": " + e.message;
    return e;
}

class CombinedReader final : public CaptureReader {
public:
    CombinedReader(std::vector<Input> inputs, Combine how, InputReading reading,
                   ReaderOptions options, std::uint32_t link_type)
        : CaptureReader(nullptr), inputs_(std::move(inputs)), how_(how), reading_(reading),
          options_(options), link_type_(link_type) {
        // Mappings are held only when every input is mapped (a split either
        // refers to all frames or copies them all).
        stable_ = std::all_of(inputs_.begin(), inputs_.end(),
                              [](const Input& in) { return in.mapped.has_value(); });
        written_form_ = stable_;
        for (Input& in : inputs_) {
            total_ = total_ && in.size ? std::optional(*total_ + *in.size) : std::nullopt;
            written_form_ = written_form_ && in.written_form;
            if (!stable_) {
                in.mapped.reset();
            }
        }
    }

    std::uint32_t link_type() const override { return link_type_; }
    RecordResult next_record() override {
        return how_ == Combine::Merge ? next_merged() : next_concatenated();
    }
    SharedBytes hold(const RawRecord& r) const override { return last_->hold(r); }
    // Mapped inputs stay mapped for as long as the caller holds them, so
    // that a split refers to buffered frames rather than copying them: its
    // memory is then that of one mapped capture, however many are combined.
    // Otherwise records come from readers that end and close as the run
    // goes on.
    bool streaming() const override { return !stable_; }
    bool records_in_written_form() const override { return written_form_; }
    std::vector<SharedBytes> stable_inputs() const override {
        std::vector<SharedBytes> all;
        if (stable_) {
            for (const Input& in : inputs_) {
                all.push_back(*in.mapped);
            }
        }
        return all;
    }
    std::uint64_t input_done() const override {
        std::uint64_t done = finished_;
        for (const Input& in : inputs_) {
            done += in.reader ? in.reader->input_done() : 0;
        }
        return done;
    }
    std::optional<std::uint64_t> input_size() const override { return total_; }
    std::vector<std::uint32_t> link_types_seen() const override {
        std::vector<std::uint32_t> all = seen_;
        for (const Input& in : inputs_) {
            if (in.reader) {
                add_seen(all, in.reader->link_types_seen());
            }
        }
        return all;
    }
    std::uint64_t skipped_records() const override {
        std::uint64_t n = skipped_;
        for (const Input& in : inputs_) {
            n += in.reader ? in.reader->skipped_records() : 0;
        }
        return n;
    }

private:
    static void add_seen(std::vector<std::uint32_t>& into, const std::vector<std::uint32_t>& more) {
        for (std::uint32_t t : more) {
            if (std::find(into.begin(), into.end(), t) == into.end()) {
                into.push_back(t);
            }
        }
    }

    ParseError failed(const Input& in, const Error& e) const {
        return ParseError::stream(named(in.path, e));
    }

    // An input's reader: over its held mapping, else from its file.
    Result<std::unique_ptr<CaptureReader>> open_again(const Input& in) const {
        if (!in.mapped) {
            return open_capture(in.path, reading_, options_);
        }
        auto reader = open_reader(*in.mapped, options_);
        if (!reader) {
            return std::unexpected(reader.error().to_error());
        }
        return std::move(*reader);
    }

    Expected<void, ParseError> open(Input& in) {
        Result<std::unique_ptr<CaptureReader>> reader = open_again(in);
        if (!reader) {
            return std::unexpected(failed(in, reader.error()));
        }
        (*reader)->follow_cut_off_rules(*this);
        in.reader = std::move(*reader);
        return {};
    }

    // What an input leaves behind once it has ended.
    void close(Input& in) {
        add_seen(seen_, in.reader->link_types_seen());
        skipped_ += in.reader->skipped_records();
        if (in.reader->cut_off()) {
            CutOff cut = *in.reader->cut_off();
            cut.input = in.path;
            if (cut_off_) {
                cut.earlier = std::move(cut_off_->earlier);
                cut_off_->earlier.clear();
                cut.earlier.push_back(std::move(*cut_off_));
            }
            cut_off_ = std::move(cut);
        }
        finished_ += in.reader->input_done();
        in.reader.reset();
        in.ended = true;
    }

    RecordResult next_concatenated() {
        while (next_ < inputs_.size()) {
            Input& in = inputs_[next_];
            if (in.pending) {
                // A pipe's first record, read when the inputs were ordered.
                in.reader->follow_cut_off_rules(*this);
                last_ = in.reader.get();
                const RawRecord r = *in.pending;
                in.pending.reset();
                return r;
            }
            if (!in.reader) {
                if (auto st = open(in); !st) {
                    return std::unexpected(st.error());
                }
            }
            auto r = in.reader->next_record();
            if (!r) {
                return std::unexpected(failed(in, r.error().to_error()));
            }
            if (*r) {
                last_ = in.reader.get();
                return r;
            }
            close(in);
            ++next_;
        }
        return std::nullopt;
    }

    RecordResult next_merged() {
        Input* best = nullptr;
        for (Input& in : inputs_) {
            if (in.ended) {
                continue;
            }
            // Each input reads its next record only once the one before it
            // was handed out, so that every pending frame stays valid.
            if (!in.pending) {
                if (!in.reader) {
                    if (auto st = open(in); !st) {
                        return std::unexpected(st.error());
                    }
                }
                in.reader->follow_cut_off_rules(*this);
                auto r = in.reader->next_record();
                if (!r) {
                    return std::unexpected(failed(in, r.error().to_error()));
                }
                if (!*r) {
                    close(in);
                    continue;
                }
                in.pending = **r;
            }
            if (!best || time_of(*in.pending) < time_of(*best->pending)) {
                best = &in;
            }
        }
        if (!best) {
            return std::nullopt;
        }
        last_ = best->reader.get();
        const RawRecord r = *best->pending;
        best->pending.reset();
        return r;
    }

    std::vector<Input> inputs_;
    Combine how_;
    InputReading reading_;
    ReaderOptions options_;
    std::uint32_t link_type_;
    std::size_t next_ = 0; // Concatenate: the input being read
    const CaptureReader* last_ = nullptr;
    bool stable_ = false;
    bool written_form_ = false;
    std::optional<std::uint64_t> total_ = 0; // none when a pipe's size is not known
    std::uint64_t finished_ = 0;
    std::vector<std::uint32_t> seen_;
    std::uint64_t skipped_ = 0;
};

} // namespace

Result<std::unique_ptr<CaptureReader>> open_combined(const std::vector<std::string>& paths,
                                                     Combine how, InputReading reading,
                                                     ReaderOptions options) {
    if (paths.empty()) {
        return value_error("no capture to read");
    }
    // Every input is opened once here: for its link type, its size and the
    // time of its first packet.  Concatenating reads them one at a time
    // later; merging keeps them all open.
    std::vector<Input> inputs;
    std::uint32_t link_type = 0;
    for (const std::string& path : paths) {
        Input in;
        in.path = path;
        auto reader = open_capture(path, reading, options);
        if (!reader) {
            return std::unexpected(named(path, reader.error()));
        }
        const std::uint32_t type = (*reader)->link_type();
        if (inputs.empty()) {
            link_type = type;
        } else if (type != link_type) {
            return runtime_error(path + " has link type " + std::to_string(type) + " (" +
                                 link_type_name(type) + "), but " + paths.front() + " has " +
                                 std::to_string(link_type) + " (" + link_type_name(link_type) +
                                 "): captures read as one must share a link type");
        }
        in.size = (*reader)->input_size();
        if (!(*reader)->streaming() && paths.size() <= kMostHeldMappings) {
            in.mapped = (*reader)->stable_inputs().front();
            in.written_form = (*reader)->records_in_written_form();
        }
        if (how == Combine::Merge) {
            in.reader = std::move(*reader);
        } else {
            auto first = (*reader)->next_record();
            in.first =
                first && *first ? time_of(**first) : std::numeric_limits<std::uint64_t>::max();
            if (!can_open_again(path)) {
                // A pipe gives its bytes once: its reader is kept, with the
                // record just read (its frame stays valid until the reader is
                // asked for the next one); a failure to read it ends the run
                // now, as it would for a file.
                if (!first) {
                    return std::unexpected(named(path, first.error().to_error()));
                }
                if (*first) {
                    in.pending = **first;
                }
                in.reader = std::move(*reader);
            }
        }
        inputs.push_back(std::move(in));
    }
    if (how == Combine::Concatenate) {
        std::stable_sort(inputs.begin(), inputs.end(),
                         [](const Input& a, const Input& b) { return a.first < b.first; });
    }
    return std::unique_ptr<CaptureReader>(
        new CombinedReader(std::move(inputs), how, reading, options, link_type));
}

} // namespace vexlor
