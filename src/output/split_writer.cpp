#include "output/split_writer.h"

#include "output/pcap_format.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace vexlor {

std::string sanitize_flow_name(std::string_view name) {
    std::string out(name);
    for (char& c : out) {
        auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) {
            c = '_';
            continue;
        }
        switch (c) {
        case '"':
        case '*':
        case '.':
        case '/':
        case ':':
        case '<':
        case '>':
        case '?':
        case '\\':
        case '|':
            c = '_';
            break;
        default:
            break;
        }
    }
    return out;
}

Status create_dir_all(const std::string& path) {
    if (path.empty()) {
        return {};
    }
    if (path.find('\0') != std::string::npos) {
        return io_error("file name contained an unexpected NUL byte");
    }
    // Create the directory itself first; only when its parent is missing,
    // create the parent (recursively) and try again.  Any other failure is
    // fine as long as a directory stands there in the end.
    if (::mkdir(path.c_str(), 0777) == 0) {
        return {};
    }
    int err = errno;
    struct stat st;
    if (err == ENOENT) {
        std::size_t end = path.find_last_not_of('/');
        std::size_t slash = end == std::string::npos ? std::string::npos : path.rfind('/', end);
        if (slash != std::string::npos && slash > 0) {
            if (auto parent = create_dir_all(path.substr(0, slash)); !parent) {
                return parent;
            }
            if (::mkdir(path.c_str(), 0777) == 0) {
                return {};
            }
            err = errno;
        }
    }
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        return {};
    }
    return os_error(err);
}

SplitWriter::SplitWriter(SplitWriterOptions options, NameOf name_of)
    : opt_(std::move(options)), name_of_(std::move(name_of)) {
    fd_cap_ = opt_.max_sessions == 0 ? 1 : opt_.max_sessions;
    std::uint64_t per_flow = opt_.buffer_bytes;
    std::uint64_t budget = per_flow > kBufferBudget / fd_cap_ ? kBufferBudget : per_flow * fd_cap_;
    // Room for at least one whole buffer, whatever the budget says.
    std::uint64_t one_buffer = std::min<std::uint64_t>(per_flow, kBufferBudget) / kSlabSize + 2;
    max_slabs_ = static_cast<std::size_t>(std::max<std::uint64_t>(budget / kSlabSize, one_buffer));
    // Referenced bytes are pages of the input: they cost no memory of ours,
    // but they keep a window of the input in the page cache until written
    // (should the kernel drop some, the write reads them again).  The wider
    // the window, the larger and rarer the writes of a split with many more
    // flows than open files; it is kept under an eighth of the machine's
    // memory.
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long page_size = ::sysconf(_SC_PAGESIZE);
    const std::uint64_t memory = pages > 0 && page_size > 0
                                     ? static_cast<std::uint64_t>(pages) *
                                           static_cast<std::uint64_t>(page_size)
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
    if (auto st = create_dir_all(options.output_dir); !st) {
        return std::unexpected(st.error());
    }
    const std::string& dir = options.output_dir.empty() ? std::string(".") : options.output_dir;
    UniqueFd dir_fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir_fd.valid()) {
        return os_error(errno);
    }
    SplitWriter w(std::move(options), std::move(name_of));
    w.dir_ = std::move(dir_fd);
    return w;
}

SplitWriter::~SplitWriter() { abandon(); }

void SplitWriter::abandon() {
    // Best effort: what is buffered still reaches the temporary files.
    flows_.for_each_handle([this](Handle h) { (void)flush_flow(h); });
    fds_.drain([this](OpenFd o) {
        flows_.at(o.flow).fd = LruTable<int>::kNil;
        (void)o.fd.reset();
    });
}

void SplitWriter::close_least_recent() {
    OpenFd o = fds_.pop_front();
    flows_.at(o.flow).fd = LruTable<int>::kNil;
    // Nothing is buffered in a descriptor; a close error on a local file
    // system has nothing left to report.
    (void)o.fd.reset();
}

void SplitWriter::make_room() {
    while (fds_.size() >= fd_cap_) {
        close_least_recent();
    }
}

Result<UniqueFd> SplitWriter::open_with_retry(const std::string& path, int flags) {
    for (;;) {
        int fd = ::openat(dir_.get(), path.c_str(), flags | O_CLOEXEC, 0666);
        if (fd >= 0) {
            return UniqueFd(fd);
        }
        int err = errno;
        if (err == EINTR) {
            continue;
        }
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
    std::string base = opt_.prefix;
    base += '_';
    base += sanitize_flow_name(name_of_(key));
    const char* ext = opt_.l7 ? ".l7" : ".pcap";
    // Names relative to the output directory's descriptor: a reopen then
    // costs no walk of the directory's own path.
    Rename r{"." + base + ext + ".tmp", base + ext};
    // Distinct flow names can sanitise to one file name (IPv6 "::ffff:1:2:3:4"
    // and "::ffff:1.2.3.4", say).  Truncating the file again would lose the
    // first flow's packets: the later flow joins the file instead, behind
    // the one header.  Every descriptor appends, so flows sharing a file
    // never overwrite each other.
    auto [shared, fresh] =
        rename_of_.try_emplace(r.temp_path, static_cast<std::uint32_t>(renames_.size()));
    make_room();
    // O_NOFOLLOW: a link planted under our temporary name in a shared
    // directory must not make us write through it.
    auto fd = open_with_retry(r.temp_path, O_WRONLY | O_APPEND | O_NOFOLLOW |
                                               (fresh ? O_CREAT | O_TRUNC : 0));
    if (!fd) {
        if (fresh) {
            rename_of_.erase(shared);
        }
        return std::unexpected(fd.error());
    }
    // The flow counts as having a file only once its creation succeeded.
    FlowFile f;
    f.hash = hash;
    f.rename_index = shared->second;
    if (fresh) {
        renames_.push_back(std::move(r));
    }
    Handle h = flows_.insert(key, hash, std::move(f));
    flows_.at(h).fd = fds_.insert(key, hash, OpenFd{std::move(*fd), h});
    if (!opt_.l7 && fresh) {
        std::uint8_t hdr[kPcapGlobalHeaderSize];
        pcap_global_header(hdr, opt_.link_type);
        if (auto st = append(h, hdr, {}); !st) {
            return std::unexpected(st.error());
        }
    }
    return h;
}

namespace {

// Piece tags: the length of the bytes the piece stands for, and its kind.
constexpr std::uint32_t kCopied = 0;
constexpr std::uint32_t kReferenced = 1;
constexpr std::uint32_t kSlabEnd = 2;
constexpr std::size_t kTagSize = 8;

constexpr std::size_t padded(std::size_t n) { return (n + 7) & ~std::size_t{7}; }

void put_tag(std::uint8_t* at, std::size_t len, std::uint32_t kind) {
    auto n = static_cast<std::uint32_t>(len);
    std::memcpy(at, &n, 4);
    std::memcpy(at + 4, &kind, 4);
}

} // namespace

std::uint8_t* SplitWriter::take_slab() {
    if (free_slabs_.empty() && slab_count_ >= max_slabs_) {
        return nullptr; // the pool is dry
    }
    if (free_slabs_.empty()) {
        if (chunk_left_ == 0) {
            // A whole chunk only when the pool has room for it: a small pool
            // costs only its own size.
            std::size_t slabs = std::min(kChunkSize / kSlabSize, max_slabs_ - slab_count_);
            std::size_t bytes = slabs * kSlabSize;
            std::align_val_t align{bytes == kChunkSize ? kChunkSize : kSlabSize};
            chunks_.emplace_back(static_cast<std::uint8_t*>(::operator new(bytes, align)),
                                 FreeChunk{align});
            if (bytes == kChunkSize) {
                (void)::madvise(chunks_.back().get(), bytes, MADV_HUGEPAGE);
            }
            chunk_left_ = slabs;
            chunk_next_ = 0;
        }
        std::uint8_t* s = chunks_.back().get() + chunk_next_ * kSlabSize;
        ++chunk_next_;
        --chunk_left_;
        ++slab_count_;
        return s;
    }
    std::uint8_t* s = free_slabs_.back();
    free_slabs_.pop_back();
    return s;
}

template <bool Commit>
std::size_t SplitWriter::lay_out(FlowFile& f, std::span<const std::uint8_t> head,
                                 std::span<const std::uint8_t> body, bool by_reference) {
    std::size_t fresh = 0;
    std::uint8_t* slab = f.tail;
    bool have = slab != nullptr;
    std::size_t used = f.used;         // end of the last slab's pieces, padded
    std::uint32_t open = f.open_copy;  // a copied piece that can still grow
    std::uint32_t open_len = f.open_len;
    auto new_slab = [&] {
        if constexpr (Commit) {
            if (have && kSlabSize - used >= kTagSize) {
                put_tag(slab + used, 0, kSlabEnd); // the rest of it is unused
            }
        }
        ++fresh;
        have = true;
        used = 0;
        open = kNone;
        if constexpr (Commit) {
            slab = take_slab();
            f.slabs.push_back(slab);
        }
    };

    // The copied bytes: appended to the last piece when it is a copy, so
    // that runs of small records leave the buffer as one piece.
    std::size_t from = 0; // position in head, then body
    const std::size_t copied = head.size() + (by_reference ? 0 : body.size());
    for (std::size_t left = copied; left > 0;) {
        if (open == kNone) {
            std::size_t room = have ? kSlabSize - used : 0;
            // A copy that does not fit starts a new slab, unless it is too
            // long for any slab: then it fills this one first.
            if (room < kTagSize + 8 || (kTagSize + left > room && left <= kSlabSize - kTagSize)) {
                new_slab();
            }
            open = static_cast<std::uint32_t>(used);
            open_len = 0;
            if constexpr (Commit) {
                put_tag(slab + open, 0, kCopied);
            }
        }
        std::size_t end = open + kTagSize + open_len;
        std::size_t k = std::min(left, kSlabSize - end);
        if constexpr (Commit) {
            for (std::size_t n = k, at = end; n > 0;) {
                auto src = from < head.size() ? head.subspan(from) : body.subspan(from - head.size());
                std::size_t m = std::min(n, src.size());
                std::memcpy(slab + at, src.data(), m);
                at += m;
                from += m;
                n -= m;
            }
            put_tag(slab + open, open_len + k, kCopied);
        }
        open_len += static_cast<std::uint32_t>(k);
        used = open + kTagSize + padded(open_len);
        left -= k;
        if (left > 0) {
            new_slab(); // this slab is full
        }
    }
    if (by_reference) {
        if (!have || kSlabSize - used < kTagSize + sizeof(void*)) {
            new_slab();
        }
        if constexpr (Commit) {
            put_tag(slab + used, body.size(), kReferenced);
            const std::uint8_t* ptr = body.data();
            std::memcpy(slab + used + kTagSize, &ptr, sizeof ptr);
        }
        used += kTagSize + sizeof(void*);
        open = kNone;
    }
    if constexpr (Commit) {
        f.tail = slab;
        f.used = static_cast<std::uint32_t>(used);
        f.open_copy = open;
        f.open_len = open_len;
    }
    return fresh;
}

bool SplitWriter::add_pieces(FlowFile& f, std::span<const std::uint8_t> head,
                             std::span<const std::uint8_t> body) {
    // A whole record in place is always referred to: it is one piece either
    // way, and a copy would only pull the input through this core's cache.
    const bool by_reference =
        opt_.stable_frames && (body.size() >= kCopyBelow || (opt_.headers_in_place && !opt_.l7));
    // The common case first: everything fits in the last slab.
    if (f.tail != nullptr) {
        std::uint8_t* slab = f.tail;
        const std::size_t copied = head.size() + (by_reference ? 0 : body.size());
        std::uint32_t open = f.open_copy;
        std::uint32_t len = 0;
        std::size_t start = f.used + kTagSize; // where copied bytes would go
        if (open != kNone) {
            len = f.open_len;
            start = open + kTagSize + len;
        } else {
            open = f.used;
        }
        std::size_t used = open + kTagSize + padded(len + copied);
        if (copied == 0) {
            used = f.used;
        }
        if (used + (by_reference ? kTagSize + sizeof(void*) : 0) <= kSlabSize) {
            if (copied != 0) {
                if (!head.empty()) {
                    std::memcpy(slab + start, head.data(), head.size());
                }
                if (!by_reference && !body.empty()) {
                    std::memcpy(slab + start + head.size(), body.data(), body.size());
                }
                put_tag(slab + open, len + copied, kCopied);
                f.open_copy = open;
                f.open_len = len + static_cast<std::uint32_t>(copied);
            }
            if (by_reference) {
                put_tag(slab + used, body.size(), kReferenced);
                const std::uint8_t* ptr = body.data();
                std::memcpy(slab + used + kTagSize, &ptr, sizeof ptr);
                used += kTagSize + sizeof(void*);
                f.open_copy = kNone;
                f.referenced += body.size();
                referenced_ += body.size();
            }
            f.used = static_cast<std::uint32_t>(used);
            f.size += head.size() + body.size();
            return true;
        }
    }
    // All or nothing: count the slabs the pieces need before taking any.
    std::size_t fresh = lay_out<false>(f, head, body, by_reference);
    if (fresh > slabs_left()) {
        return false;
    }
    lay_out<true>(f, head, body, by_reference);
    f.size += head.size() + body.size();
    if (by_reference) {
        f.referenced += body.size();
        referenced_ += body.size();
    }
    return true;
}

Status SplitWriter::append(Handle flow, std::span<const std::uint8_t> head,
                           std::span<const std::uint8_t> body) {
    const std::uint64_t capacity = flow_capacity_;
    const std::size_t n = head.size() + body.size();
    if (n > capacity - flows_.at(flow).size) {
        if (n >= capacity) {
            // Too big to buffer: what is buffered and these bytes go out in
            // one gathered write.
            return flush_flow(flow, head, body);
        }
        if (auto st = flush_flow(flow); !st) {
            return st;
        }
    }
    while (!add_pieces(flows_.at(flow), head, body)) {
        // The pool is dry: push the fullest buffers out.  That may be this
        // flow's own, which keeps its bytes in order: what it buffered so
        // far goes out before what comes next.
        std::size_t free_before = free_slabs_.size();
        if (auto st = shed(); !st) {
            return st;
        }
        if (free_slabs_.size() == free_before) {
            // Nothing left to shed (a pool smaller than one write's pieces):
            // write straight through.
            return flush_flow(flow, head, body);
        }
    }
    if (referenced_ > reference_budget_) {
        return shed();
    }
    return {};
}

Status SplitWriter::flush_flow(Handle flow, std::span<const std::uint8_t> tail_head,
                               std::span<const std::uint8_t> tail_body) {
    FlowFile& f = flows_.at(flow);
    if (f.size == 0 && tail_head.empty() && tail_body.empty()) {
        return {};
    }
    Status st;
    if (f.fd != LruTable<int>::kNil) {
        fds_.touch(f.fd);
    } else {
        // Its descriptor went to another flow: continue the file, no header.
        make_room();
        auto fd = open_with_retry(renames_[f.rename_index].temp_path,
                                  O_WRONLY | O_APPEND | O_NOFOLLOW);
        if (fd) {
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
    for (std::size_t i = 0; i < f.slabs.size() && st; ++i) {
        const std::uint8_t* s = f.slabs[i];
        const std::size_t end = i + 1 == f.slabs.size() ? f.used : kSlabSize;
        for (std::size_t at = 0; at + kTagSize <= end;) {
            std::uint32_t len;
            std::uint32_t kind;
            std::memcpy(&len, s + at, 4);
            std::memcpy(&kind, s + at + 4, 4);
            if (kind == kSlabEnd) {
                break;
            }
            if (kind == kReferenced) {
                const std::uint8_t* ptr;
                std::memcpy(&ptr, s + at + kTagSize, sizeof ptr);
                put(ptr, len);
                at += kTagSize + sizeof ptr;
            } else {
                put(s + at + kTagSize, len);
                at += kTagSize + padded(len);
            }
        }
    }
    for (auto tail : {tail_head, tail_body}) {
        if (!tail.empty()) {
            put(tail.data(), tail.size());
        }
    }
    if (st && !iov_.empty()) {
        st = write_all(out, iov_);
    }
    // The slabs go back to the pool whatever happened: after a failure the
    // run is over, and the bytes cannot be written anyway.
    free_slabs_.insert(free_slabs_.end(), f.slabs.begin(), f.slabs.end());
    f.slabs.clear();
    f.tail = nullptr;
    f.used = 0;
    f.open_copy = kNone;
    f.open_len = 0;
    f.size = 0;
    referenced_ -= f.referenced;
    f.referenced = 0;
    return st;
}

Status SplitWriter::shed() {
    // Write out the fullest buffers until half of each budget is free
    // again: large writes, and rarely.
    std::vector<std::pair<std::uint64_t, Handle>> held;
    flows_.for_each_handle([&](Handle h) {
        if (std::uint64_t n = flows_.at(h).size) {
            held.emplace_back(n, h);
        }
    });
    std::sort(held.begin(), held.end(), [](auto& a, auto& b) { return a.first > b.first; });
    for (auto [bytes, h] : held) {
        if (slabs_left() * 2 >= max_slabs_ && referenced_ * 2 <= reference_budget_) {
            break;
        }
        if (auto st = flush_flow(h); !st) {
            return st;
        }
    }
    return {};
}

Status SplitWriter::write(const FlowKey& key, std::uint64_t hash, const Packet& packet) {
    ++write_seq_;
    Handle h = flows_.find(key, hash);
    if (h == LruTable<FlowFile>::kNil) {
        auto created = create_flow(key, hash);
        if (!created) {
            return std::unexpected(created.error());
        }
        h = *created;
    }
    const std::span<const std::uint8_t> frame = packet.bytes();
    if (!opt_.l7 && opt_.headers_in_place && !frame.empty()) {
        return append(h, {}, {frame.data() - kPcapRecordHeaderSize,
                              frame.size() + kPcapRecordHeaderSize});
    }
    if (!opt_.l7) {
        std::uint8_t hdr[kPcapRecordHeaderSize];
        pcap_record_header(hdr, packet.ts_sec, packet.ts_usec, packet.caplen, packet.orig_len);
        return append(h, hdr, frame);
    }
    if (packet.payload_offset && *packet.payload_offset < frame.size()) {
        return append(h, {}, frame.subspan(static_cast<std::size_t>(*packet.payload_offset)));
    }
    return {};
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
        if (flows_.at(h).fd == LruTable<int>::kNil) {
            order.push_back(h);
        }
    });
    Status first;
    for (Handle h : order) {
        if (!(first = flush_flow(h))) {
            break;
        }
    }
    fds_.drain([&](OpenFd o) {
        flows_.at(o.flow).fd = LruTable<int>::kNil;
        int err = o.fd.reset();
        if (first && err != 0) {
            first = os_error(err);
        }
    });
    if (!first) {
        return first;
    }
    for (const Rename& r : renames_) {
        struct stat st;
        if (::fstatat(dir_.get(), r.temp_path.c_str(), &st, 0) != 0) {
            continue; // removed behind our back: nothing to publish
        }
        if (opt_.l7 && st.st_size == 0) {
            (void)::unlinkat(dir_.get(), r.temp_path.c_str(), 0);
            continue;
        }
        if (::renameat(dir_.get(), r.temp_path.c_str(), dir_.get(), r.final_path.c_str()) != 0) {
            return os_error(errno);
        }
    }
    return {};
}

} // namespace vexlor
