#include "output/split_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>

#include "common/text.h"
#include "parser/pcap_format.h"

namespace vexlor {

Result<OutputType> parse_output_type(std::string_view text) {
    const std::string lower = ascii_lower(text);
    if (lower == "pcap") {
        return OutputType::Pcap;
    }
    if (lower == "l7") {
        return OutputType::L7;
    }
    return value_error("Unknown output_type: " + lower + ". Valid: pcap, l7");
}

std::string split_file_name(std::string_view prefix, std::string_view flow_name,
                            std::string_view ext, bool shorten) {
    std::string stem = std::string(prefix) + '_' + sanitize_flow_name(flow_name);
    // Room for the temporary name's "." and ".tmp".
    constexpr std::size_t kMaxFinal = NAME_MAX - 5;
    return (shorten ? shortened(stem, kMaxFinal - ext.size()) : stem) + std::string(ext);
}

std::uint64_t machine_memory() {
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long page_size = ::sysconf(_SC_PAGESIZE);
    return pages > 0 && page_size > 0
               ? static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size)
               : std::uint64_t{1} << 30;
}

namespace {

// The memory budget of all buffers: the caller's, or each file's share times
// the files that may be open at once, at most kBufferBudget.
std::uint64_t memory_budget(const SplitWriterOptions& o, std::size_t fd_cap) {
    if (o.buffer_budget != 0) {
        return o.buffer_budget;
    }
    return o.buffer_bytes > SplitWriter::kBufferBudget / fd_cap ? SplitWriter::kBufferBudget
                                                                : o.buffer_bytes * fd_cap;
}

std::size_t fd_cap_of(const SplitWriterOptions& o) {
    return o.max_sessions == 0 ? 1 : o.max_sessions;
}

std::size_t open_cap_of(const SplitWriterOptions& o) {
    return o.descriptor_cap == 0 ? fd_cap_of(o) : std::min(o.descriptor_cap, fd_cap_of(o));
}

std::size_t max_slabs_of(const SplitWriterOptions& o) {
    const std::uint64_t budget = memory_budget(o, fd_cap_of(o));
    // Room for at least one whole buffer, whatever the budget says.
    const std::uint64_t one_buffer =
        std::min(o.buffer_bytes, std::max(budget, SplitWriter::kBufferBudget)) /
            SlabPool::kSlabSize +
        2;
    return static_cast<std::size_t>(
        std::max<std::uint64_t>(budget / SlabPool::kSlabSize, one_buffer));
}

} // namespace

SplitWriter::SplitWriter(SplitWriterOptions options, OutputDir dir, NameOf name_of)
    : opt_(std::move(options)), name_of_(std::move(name_of)), publisher_(opt_.names_final),
      // Copied frames fill the pool as fast as they come: its memory is
      // faulted in ahead, on the core the writer threads leave free.
      pool_(max_slabs_of(opt_), !opt_.stable_frames && opt_.writer_threads != 0),
      work_(std::make_unique<FileWork>(std::move(dir), open_cap_of(opt_), opt_.writer_threads)) {
    const std::uint64_t per_flow = opt_.buffer_bytes;
    const std::uint64_t budget = memory_budget(opt_, fd_cap_of(opt_));
    // Referenced bytes are pages of the input: they cost no memory of ours,
    // but they keep a window of the input in the page cache until written
    // (should the kernel drop some, the write reads them again).  The wider
    // the window, the larger and rarer the writes of a split with many more
    // flows than open files; it is kept under an eighth of the machine's
    // memory.
    const std::uint64_t widest =
        budget > UINT64_MAX / kReferenceBudget ? UINT64_MAX : kReferenceBudget * budget;
    reference_budget_ = std::clamp(machine_memory() / 8, budget, widest);
    if (opt_.reference_window != 0) {
        // Not below a floor: captures of a few megabytes each would
        // otherwise write their flows out in pieces of a few packets.
        reference_budget_ =
            std::min(reference_budget_, std::max(opt_.reference_window, kLeastReferenceWindow));
    }
    // buffer_bytes is each file's share of the pool, not a wall: a flow may
    // keep buffering while the pool (and the reference budget) has room,
    // and the fullest buffers go out when it has not.  Busy flows then leave
    // in writes of megabytes instead of buffer_bytes each, and a flow whose
    // descriptor the cap took away is reopened that much more rarely.  A
    // buffer_bytes of 0 still means no buffering at all.
    flow_capacity_ = per_flow == 0 ? 0 : std::max<std::uint64_t>(per_flow, budget);
    // A look-up of every new file's name would cost a path walk each in a
    // directory that the writer threads are filling (and whose lock they
    // hold while they create files): the directory is read once instead,
    // and only names of this writer's files (temporary or final) are looked
    // into.  A temporary name that was not there is created exclusively, so
    // that nothing put there during the run is truncated either.
    std::unordered_set<std::string> present;
    const std::string mine = opt_.prefix + '_';
    const std::string hidden = '.' + mine;
    const bool listed = this->dir().for_each_name([&](const std::string& name) {
        if (name.starts_with(mine) || name.starts_with(hidden)) {
            if (opt_.input_identity && this->dir().identity_of(name) == opt_.input_identity) {
                input_names_.insert(name);
            }
            present.insert(name);
        }
    });
    if (listed) {
        present_names_ = std::move(present);
    }
}

Result<SplitWriter> SplitWriter::create(SplitWriterOptions options, NameOf name_of) {
    auto dir = OutputDir::open(options.output_dir, options.lock_directory);
    if (!dir) {
        return std::unexpected(dir.error());
    }
    return SplitWriter(std::move(options), std::move(*dir), std::move(name_of));
}

SplitWriter::~SplitWriter() {
    if (!work_) {
        return; // moved from
    }
    abandon();
    if (opt_.remove_on_failure && !published_) {
        publisher_.remove_temporaries(dir());
    }
}

bool SplitWriter::is_input(const std::string& name) const {
    if (!opt_.input_identity) {
        return false;
    }
    return present_names_ ? input_names_.contains(name)
                          : dir().identity_of(name) == opt_.input_identity;
}

Status SplitWriter::refuse_input(const std::string& name) const {
    std::string dir = opt_.output_dir.empty() ? "." : opt_.output_dir;
    if (!dir.ends_with('/')) {
        dir += '/';
    }
    return value_error("Output file " + dir + name + " is the input capture " + opt_.input_name);
}

void SplitWriter::abandon() {
    // Best effort: what is buffered still reaches the temporary files.
    flows_.for_each_handle([this](Handle h) { (void)flush_flow(h); });
    (void)work_->finish();
    reap();
    (void)work_->descriptors().close_all();
}

Status SplitWriter::submit(FileWork::Job&& job, bool tail_stable) {
    publisher_.add_bytes(job.file, job.buffer.size() + job.tail[0].size() + job.tail[1].size());
    writing_slabs_ += job.buffer.slab_count();
    writing_referenced_ += job.buffer.referenced();
    Status st = work_->submit(std::move(job), tail_stable);
    reap();
    // Slabs on their way to the files are memory the buffers would
    // otherwise have given back at once: a few megabytes of them keep the
    // writer threads busy, more would only raise the peak.
    // Once past that, the threads get on with half of it before this one
    // submits again: one wake-up per megabytes written, not one per file.
    // Copied frames fill the whole pool whatever is in flight, so there
    // half of it may be: the writes of a shed then go on while this thread
    // fills the other half, instead of one waiting for the other.
    const std::size_t most = opt_.stable_frames
                                 ? kMostSlabsInFlight
                                 : std::max(kMostSlabsInFlight, pool_.max_slabs() / 2);
    while (st && writing_slabs_ > most) {
        st = await_writes(writing_slabs_ - most / 2);
    }
    return st;
}

void SplitWriter::reap() {
    work_->reap([this](PieceBuffer& b) {
        writing_slabs_ -= b.slab_count();
        writing_referenced_ -= b.referenced();
        referenced_ -= b.referenced();
        b.clear(pool_);
    });
}

Result<SplitWriter::Handle> SplitWriter::create_flow(const FlowKey& key, std::uint64_t hash) {
    const bool l7 = opt_.type == OutputType::L7;
    const Publisher::File file = publisher_.add(
        split_file_name(opt_.prefix, name_of_(key), l7 ? ".l7" : ".pcap", opt_.shorten_long_names));
    // Truncating a temporary name that is the input (a hard link) would
    // destroy the capture being read.
    if (file.fresh && opt_.input_identity) {
        const std::string temp = publisher_.temp_name(file.index);
        if (is_input(temp)) {
            publisher_.drop_last();
            return std::unexpected(refuse_input(temp).error());
        }
    }
    // A flow that shares its file with an earlier one joins it: its writes
    // append, so the two never overwrite each other.
    if (file.fresh) {
        FileWork::Job job;
        job.file = file.index;
        job.name = &publisher_.temp_name(file.index);
        job.create = true;
        job.exclusive = present_names_ && !present_names_->contains(*job.name);
        if (auto st = submit(std::move(job), true); !st) {
            publisher_.drop_last();
            return std::unexpected(st.error());
        }
    }
    // The flow counts as having a file only once its creation succeeded
    // (or, with writer threads, was handed over: a failure there ends the
    // run at the next write).
    const Handle h = flows_.insert(key, hash, FlowFile{{}, hash, file.index});
    if (file.fresh) {
        first_flow_.push_back(h);
    } else {
        // What the file's first flow buffered goes out before anything of
        // this one; from now on both write straight through.
        const Handle first = first_flow_.at(file.index);
        flows_.at(first).shared = true;
        flows_.at(h).shared = true;
        if (auto st = flush_flow(first); !st) {
            return std::unexpected(st.error());
        }
    }
    if (!l7 && file.fresh) {
        if (auto st = append(h, pcap_global_header(opt_.link_type), {}); !st) {
            return std::unexpected(st.error());
        }
    }
    return h;
}

Status SplitWriter::append(Handle flow, std::span<const std::uint8_t> head,
                           std::span<const std::uint8_t> body) {
    if (flows_.at(flow).shared) {
        return flush_flow(flow, head, body);
    }
    const std::uint64_t capacity = flow_capacity_;
    const std::size_t n = head.size() + body.size();
    if (n > capacity - flows_.at(flow).buffer.size()) {
        if (n >= capacity) {
            // Too big to buffer: what is buffered and these bytes go out in
            // one gathered write.
            return flush_flow(flow, head, body);
        }
        if (auto st = flush_flow(flow); !st) {
            return st;
        }
    }
    // A whole record in place is always referred to: it is one piece either
    // way, and a copy would only pull the input through this core's cache.
    const bool by_reference =
        opt_.stable_frames &&
        (body.size() >= kCopyBelow || (opt_.headers_in_place && opt_.type == OutputType::Pcap));
    while (!flows_.at(flow).buffer.add(pool_, head, body, by_reference)) {
        // The pool is dry.  Slabs on their way back from the files come
        // first: waiting for them beats writing out small buffers that
        // would have grown.
        if (writing_slabs_ > 0) {
            if (auto st = await_writes(writing_slabs_ / 2); !st) {
                return st;
            }
            continue;
        }
        // Then the fullest buffers go out.  That may be this flow's own,
        // which keeps its bytes in order: what it buffered so far goes out
        // before what comes next.
        const std::size_t left_before = pool_.left();
        if (auto st = shed(); !st) {
            return st;
        }
        if (pool_.left() == left_before && writing_slabs_ == 0) {
            // Nothing left to shed (a pool smaller than one write's
            // pieces): write straight through.
            return flush_flow(flow, head, body);
        }
    }
    if (by_reference) {
        referenced_ += body.size();
    }
    if (referenced_ > reference_budget_) {
        if (must_shed()) {
            if (auto st = shed(); !st) {
                return st;
            }
        }
        while (referenced_ > reference_budget_ && writing_referenced_ > 0) {
            if (auto st = await_writes(1); !st) {
                return st;
            }
        }
    }
    return {};
}

Status SplitWriter::await_writes(std::size_t slabs) {
    Status st = work_->wait_for(slabs);
    reap();
    return st;
}

bool SplitWriter::must_shed() const {
    // Buffers already handed to writer threads count as written: shedding
    // more for them would only sort every flow again and again while those
    // writes finish.
    return (pool_.left() + writing_slabs_) * 2 < pool_.max_slabs() ||
           (referenced_ - writing_referenced_) * 2 > reference_budget_;
}

Status SplitWriter::flush_flow(Handle flow, std::span<const std::uint8_t> tail_head,
                               std::span<const std::uint8_t> tail_body) {
    FlowFile& f = flows_.at(flow);
    if (f.buffer.empty() && tail_head.empty() && tail_body.empty()) {
        return {};
    }
    FileWork::Job job;
    job.file = f.file;
    job.name = &publisher_.temp_name(f.file);
    job.buffer = std::move(f.buffer);
    job.tail[0] = tail_head;
    job.tail[1] = tail_body;
    // A record header in the tail is the caller's temporary.
    return submit(std::move(job), opt_.stable_frames && tail_head.empty());
}

Status SplitWriter::shed() {
    // Write out the fullest buffers until half of each budget is free
    // again: large writes, and rarely.
    std::vector<std::pair<std::uint64_t, Handle>> held;
    flows_.for_each_handle([&](Handle h) {
        if (std::uint64_t n = flows_.at(h).buffer.size()) {
            // A closed file is opened again for its write, and takes another
            // file's descriptor: its buffer waits to grow, unless it is
            // twice as full.
            held.emplace_back(work_->descriptors().is_open(flows_.at(h).file) ? 2 * n : n, h);
        }
    });
    std::sort(held.begin(), held.end(), [](auto& a, auto& b) { return a.first > b.first; });
    for (auto [bytes, h] : held) {
        if (!must_shed()) {
            break;
        }
        if (auto st = flush_flow(h); !st) {
            return st;
        }
    }
    return {};
}

Status SplitWriter::write(const FlowKey& key, std::uint64_t hash, const Packet& packet) {
    Handle h = flows_.find(key, hash);
    if (h == kLruNil) {
        auto created = create_flow(key, hash);
        if (!created) {
            return std::unexpected(created.error());
        }
        h = *created;
    }
    const std::span<const std::uint8_t> frame = packet.bytes();
    if (opt_.type == OutputType::L7) {
        if (packet.payload_offset && *packet.payload_offset < frame.size()) {
            return append(h, {}, frame.subspan(static_cast<std::size_t>(*packet.payload_offset)));
        }
        return {};
    }
    if (opt_.headers_in_place && !frame.empty()) {
        return append(h, {},
                      {frame.data() - kPcapRecordHeaderSize, frame.size() + kPcapRecordHeaderSize});
    }
    return append(h,
                  pcap_record_header(packet.ts_sec, packet.ts_usec, packet.caplen, packet.orig_len),
                  frame);
}

Status SplitWriter::close() && {
    if (Status written = finish(); !written) {
        return written;
    }
    return std::move(*this).publish();
}

Status SplitWriter::finish() {
    // Everything must reach its file first: a failure leaves every file
    // under its temporary name.
    // Flows whose file is open go first, so that the others do not take
    // their descriptors away only for them to be opened again.
    // Whether a file is open is asked once: writer threads still open and
    // close files while the order is made, and a flow must be in it once.
    std::vector<Handle> order;
    std::vector<Handle> closed;
    order.reserve(flows_.size());
    flows_.for_each_handle([&](Handle h) {
        (work_->descriptors().is_open(flows_.at(h).file) ? order : closed).push_back(h);
    });
    order.insert(order.end(), closed.begin(), closed.end());
    Status outcome;
    for (Handle h : order) {
        if (!(outcome = flush_flow(h))) {
            break;
        }
    }
    if (Status written = work_->finish(); outcome && !written) {
        outcome = written;
    }
    reap();
    if (const int err = work_->descriptors().close_all(); outcome && err != 0) {
        outcome = os_error(err);
    }
    return outcome;
}

Status SplitWriter::publish() && {
    Status outcome;
    // Checked for every file before the first rename, so that a refusal
    // leaves every final name as it was.
    if (opt_.input_identity) {
        if (auto name =
                publisher_.clash(dir(), [this](const std::string& n) { return is_input(n); })) {
            return refuse_input(*name);
        }
    }
    outcome = publisher_.publish(dir(), opt_.type == OutputType::L7, &published_files_);
    published_ = outcome.has_value();
    return outcome;
}

} // namespace vexlor
