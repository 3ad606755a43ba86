#include "output/split_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>

#include "common/text.h"
#include "common/write_all.h"
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
    if (!shorten || stem.size() + ext.size() <= kMaxFinal) {
        return stem + std::string(ext);
    }
    // FNV-1a over the whole stem: stable from run to run, unlike std::hash.
    std::uint64_t h = 0xcbf29ce484222325u;
    for (char c : stem) {
        h = (h ^ static_cast<unsigned char>(c)) * 0x100000001b3u;
    }
    char suffix[18];
    std::snprintf(suffix, sizeof suffix, "_%016llx", static_cast<unsigned long long>(h));
    const std::size_t keep = kMaxFinal - ext.size() - 17;
    return stem.substr(0, keep) + suffix + std::string(ext);
}

namespace {

// The memory budget of all buffers: each file's share times the files that
// may be open at once, at most kBufferBudget.
std::uint64_t memory_budget(std::uint64_t per_flow, std::size_t fd_cap) {
    return per_flow > SplitWriter::kBufferBudget / fd_cap ? SplitWriter::kBufferBudget
                                                          : per_flow * fd_cap;
}

std::size_t fd_cap_of(const SplitWriterOptions& o) {
    return o.max_sessions == 0 ? 1 : o.max_sessions;
}

std::size_t max_slabs_of(const SplitWriterOptions& o) {
    const std::uint64_t budget = memory_budget(o.buffer_bytes, fd_cap_of(o));
    // Room for at least one whole buffer, whatever the budget says.
    const std::uint64_t one_buffer =
        std::min<std::uint64_t>(o.buffer_bytes, SplitWriter::kBufferBudget) / SlabPool::kSlabSize +
        2;
    return static_cast<std::size_t>(
        std::max<std::uint64_t>(budget / SlabPool::kSlabSize, one_buffer));
}

} // namespace

SplitWriter::SplitWriter(SplitWriterOptions options, OutputDir dir, NameOf name_of)
    : opt_(std::move(options)), dir_(std::move(dir)), name_of_(std::move(name_of)),
      pool_(max_slabs_of(opt_)), fd_cap_(fd_cap_of(opt_)) {
    const std::uint64_t per_flow = opt_.buffer_bytes;
    const std::uint64_t budget = memory_budget(per_flow, fd_cap_);
    // Referenced bytes are pages of the input: they cost no memory of ours,
    // but they keep a window of the input in the page cache until written
    // (should the kernel drop some, the write reads them again).  The wider
    // the window, the larger and rarer the writes of a split with many more
    // flows than open files; it is kept under an eighth of the machine's
    // memory.
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long page_size = ::sysconf(_SC_PAGESIZE);
    const std::uint64_t memory =
        pages > 0 && page_size > 0
            ? static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size)
            : std::uint64_t{1} << 30;
    reference_budget_ = std::clamp(memory / 8, budget, kReferenceBudget * budget);
    // buffer_bytes is each file's share of the pool, not a wall: a flow may
    // keep buffering while the pool (and the reference budget) has room,
    // and the fullest buffers go out when it has not.  Busy flows then leave
    // in writes of megabytes instead of buffer_bytes each, and a flow whose
    // descriptor the cap took away is reopened that much more rarely.  A
    // buffer_bytes of 0 still means no buffering at all.
    flow_capacity_ = per_flow == 0 ? 0 : std::max<std::uint64_t>(per_flow, budget);
}

Result<SplitWriter> SplitWriter::create(SplitWriterOptions options, NameOf name_of) {
    auto dir = OutputDir::open(options.output_dir, options.lock_directory);
    if (!dir) {
        return std::unexpected(dir.error());
    }
    return SplitWriter(std::move(options), std::move(*dir), std::move(name_of));
}

SplitWriter::~SplitWriter() {
    abandon();
    if (opt_.remove_on_failure && !published_) {
        publisher_.remove_temporaries(dir_);
    }
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
    fds_.drain([this](OpenFd o) {
        flows_.at(o.flow).fd = kLruNil;
        (void)o.fd.reset();
    });
}

void SplitWriter::close_least_recent() {
    OpenFd o = fds_.pop_front();
    flows_.at(o.flow).fd = kLruNil;
    // Nothing is buffered in a descriptor; a close error on a local file
    // system has nothing left to report.
    (void)o.fd.reset();
}

void SplitWriter::make_room() {
    while (fds_.size() >= fd_cap_) {
        close_least_recent();
    }
}

Result<UniqueFd> SplitWriter::open_file(std::uint32_t file, int flags) {
    // O_NOFOLLOW: a link planted under our temporary name in a shared
    // directory must not make us write through it.
    flags |= O_WRONLY | O_APPEND | O_NOFOLLOW;
    for (;;) {
        auto fd = dir_.open_file(publisher_.temp_name(file), flags);
        if (fd) {
            return std::move(*fd);
        }
        const int err = fd.error().errnum;
        // Out of descriptors (per process or system wide, whatever the cap
        // says): give back the least recently used one and try again.
        if ((err == EMFILE || err == ENFILE) && !fds_.empty()) {
            close_least_recent();
            continue;
        }
        return std::unexpected(Error{ErrorKind::Io, os_error_text(err)});
    }
}

Result<SplitWriter::Handle> SplitWriter::create_flow(const FlowKey& key, std::uint64_t hash) {
    const bool l7 = opt_.type == OutputType::L7;
    const Publisher::File file = publisher_.add(
        split_file_name(opt_.prefix, name_of_(key), l7 ? ".l7" : ".pcap", opt_.shorten_long_names));
    // Truncating a temporary name that is the input (a hard link) would
    // destroy the capture being read.
    if (file.fresh && opt_.input_identity) {
        const std::string temp = publisher_.temp_name(file.index);
        if (dir_.identity_of(temp) == opt_.input_identity) {
            publisher_.drop_last();
            return std::unexpected(refuse_input(temp).error());
        }
    }
    make_room();
    // A flow that shares its file with an earlier one joins it: every
    // descriptor appends, so the two never overwrite each other.
    auto fd = open_file(file.index, file.fresh ? O_CREAT | O_TRUNC : 0);
    if (!fd) {
        if (file.fresh) {
            publisher_.drop_last();
        }
        return std::unexpected(fd.error());
    }
    // The flow counts as having a file only once its creation succeeded.
    const Handle h = flows_.insert(key, hash, FlowFile{{}, hash, file.index, kLruNil});
    flows_.at(h).fd = fds_.insert(key, hash, OpenFd{std::move(*fd), h});
    if (!l7 && file.fresh) {
        if (auto st = append(h, pcap_global_header(opt_.link_type), {}); !st) {
            return std::unexpected(st.error());
        }
    }
    return h;
}

Status SplitWriter::append(Handle flow, std::span<const std::uint8_t> head,
                           std::span<const std::uint8_t> body) {
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
        // The pool is dry: push the fullest buffers out.  That may be this
        // flow's own, which keeps its bytes in order: what it buffered so
        // far goes out before what comes next.
        const std::size_t left_before = pool_.left();
        if (auto st = shed(); !st) {
            return st;
        }
        if (pool_.left() == left_before) {
            // Nothing left to shed (a pool smaller than one write's pieces):
            // write straight through.
            return flush_flow(flow, head, body);
        }
    }
    if (by_reference) {
        referenced_ += body.size();
    }
    if (referenced_ > reference_budget_) {
        return shed();
    }
    return {};
}

Status SplitWriter::flush_flow(Handle flow, std::span<const std::uint8_t> tail_head,
                               std::span<const std::uint8_t> tail_body) {
    FlowFile& f = flows_.at(flow);
    if (f.buffer.empty() && tail_head.empty() && tail_body.empty()) {
        return {};
    }
    Status st;
    if (f.fd != kLruNil) {
        fds_.touch(f.fd);
    } else {
        // Its descriptor went to another flow: continue the file, no header.
        make_room();
        if (auto fd = open_file(f.file, 0)) {
            f.fd = fds_.insert(flows_.key_at(flow), f.hash, OpenFd{std::move(*fd), flow});
        } else {
            st = std::unexpected(fd.error());
        }
    }
    // Gathered writes of at most IOV_MAX pieces each, sent as they fill:
    // a large buffer of small records would otherwise need a piece list as
    // large as its slabs.
    const int out = st ? fds_.at(f.fd).fd.get() : -1;
    iov_.clear();
    auto put = [&](const std::uint8_t* p, std::size_t n) {
        iov_.push_back(iovec{const_cast<std::uint8_t*>(p), n});
        if (iov_.size() == IOV_MAX) {
            if (st) {
                st = write_all(out, iov_);
            }
            iov_.clear();
        }
    };
    if (st) {
        f.buffer.for_each_piece(put);
        for (auto tail : {tail_head, tail_body}) {
            if (!tail.empty()) {
                put(tail.data(), tail.size());
            }
        }
        if (st && !iov_.empty()) {
            st = write_all(out, iov_);
        }
    }
    // The slabs go back to the pool whatever happened: after a failure the
    // run is over, and the bytes cannot be written anyway.
    referenced_ -= f.buffer.referenced();
    f.buffer.clear(pool_);
    return st;
}

Status SplitWriter::shed() {
    // Write out the fullest buffers until half of each budget is free
    // again: large writes, and rarely.
    std::vector<std::pair<std::uint64_t, Handle>> held;
    flows_.for_each_handle([&](Handle h) {
        if (std::uint64_t n = flows_.at(h).buffer.size()) {
            held.emplace_back(n, h);
        }
    });
    std::sort(held.begin(), held.end(), [](auto& a, auto& b) { return a.first > b.first; });
    for (auto [bytes, h] : held) {
        if (pool_.left() * 2 >= pool_.max_slabs() && referenced_ * 2 <= reference_budget_) {
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
    // Everything must reach its file first: a failure leaves every file
    // under its temporary name.
    // Flows whose file is open go first, so that the others do not take
    // their descriptors away only for them to be opened again.
    std::vector<Handle> order;
    order.reserve(flows_.size());
    fds_.for_each_handle([&](Handle fd) { order.push_back(fds_.at(fd).flow); });
    flows_.for_each_handle([&](Handle h) {
        if (flows_.at(h).fd == kLruNil) {
            order.push_back(h);
        }
    });
    Status outcome;
    for (Handle h : order) {
        if (!(outcome = flush_flow(h))) {
            break;
        }
    }
    fds_.drain([&](OpenFd o) {
        flows_.at(o.flow).fd = kLruNil;
        const int err = o.fd.reset();
        if (outcome && err != 0) {
            outcome = os_error(err);
        }
    });
    if (!outcome) {
        return outcome;
    }
    // Checked for every file before the first rename, so that a refusal
    // leaves every final name as it was.
    if (opt_.input_identity) {
        if (auto name = publisher_.clash(dir_, *opt_.input_identity)) {
            return refuse_input(*name);
        }
    }
    outcome = publisher_.publish(dir_, opt_.type == OutputType::L7, &published_files_);
    published_ = outcome.has_value();
    return outcome;
}

} // namespace vexlor
