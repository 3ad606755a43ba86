#include "output/split_writer.h"

#include "output/pcap_format.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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
    fds_.drain([](OpenFd o) { (void)o.fd.reset(); });
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
    make_room();
    auto fd = open_with_retry(r.temp_path, O_WRONLY | O_CREAT | O_TRUNC);
    if (!fd) {
        return std::unexpected(fd.error());
    }
    // The flow counts as having a file only once its creation succeeded.
    FlowFile f;
    f.hash = hash;
    f.rename_index = static_cast<std::uint32_t>(renames_.size());
    renames_.push_back(std::move(r));
    Handle h = flows_.insert(key, hash, std::move(f));
    flows_.at(h).fd = fds_.insert(key, hash, OpenFd{std::move(*fd), h});
    if (!opt_.l7) {
        std::uint8_t hdr[kPcapGlobalHeaderSize];
        pcap_global_header(hdr, opt_.link_type);
        if (auto st = append(h, hdr); !st) {
            return std::unexpected(st.error());
        }
    }
    return h;
}

Status SplitWriter::write_out(Handle flow, std::span<const std::uint8_t> bytes,
                              std::vector<iovec>* iov) {
    FlowFile& f = flows_.at(flow);
    if (f.fd != LruTable<int>::kNil) {
        fds_.touch(f.fd);
    } else {
        // Its descriptor went to another flow: continue the file, no header.
        make_room();
        auto fd = open_with_retry(renames_[f.rename_index].temp_path, O_WRONLY | O_APPEND);
        if (!fd) {
            return std::unexpected(fd.error());
        }
        f.fd = fds_.insert(flows_.key_at(flow), f.hash, OpenFd{std::move(*fd), flow});
    }
    int fd = fds_.at(f.fd).fd.get();
    return iov ? write_all(fd, *iov) : write_all(fd, bytes);
}

std::uint8_t* SplitWriter::take_slab() {
    if (free_slabs_.empty() && slabs_.size() >= max_slabs_) {
        return nullptr; // the pool is dry
    }
    if (free_slabs_.empty()) {
        slabs_.push_back(std::make_unique<std::uint8_t[]>(kSlabSize));
        return slabs_.back().get();
    }
    std::uint8_t* s = free_slabs_.back();
    free_slabs_.pop_back();
    return s;
}

Status SplitWriter::buffer(Handle flow, std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        FlowFile& f = flows_.at(flow);
        std::size_t room = f.slabs.size() * kSlabSize - f.size;
        if (room == 0) {
            std::uint8_t* slab = take_slab();
            if (!slab) {
                // Push the fullest buffers out.  That may be this flow's
                // own, which keeps its bytes in order: what it buffered so
                // far goes out before what comes next.
                if (auto st = shed(); !st) {
                    return st;
                }
                continue;
            }
            f.slabs.push_back(slab);
            room = kSlabSize;
        }
        std::size_t n = std::min(room, bytes.size());
        std::memcpy(f.slabs.back() + (kSlabSize - room), bytes.data(), n);
        f.size += n;
        bytes = bytes.subspan(n);
    }
    return {};
}

Status SplitWriter::append(Handle flow, std::span<const std::uint8_t> bytes) {
    const std::uint64_t capacity = opt_.buffer_bytes;
    if (bytes.size() > capacity - flows_.at(flow).size) {
        if (auto st = flush_flow(flow); !st) {
            return st;
        }
        if (bytes.size() >= capacity) {
            return write_out(flow, bytes);
        }
    }
    return buffer(flow, bytes);
}

Status SplitWriter::flush_flow(Handle flow) {
    FlowFile& f = flows_.at(flow);
    if (f.size == 0) {
        return {};
    }
    std::vector<iovec> iov;
    iov.reserve(f.slabs.size());
    std::size_t left = f.size;
    for (std::uint8_t* s : f.slabs) {
        std::size_t n = std::min(left, kSlabSize);
        iov.push_back(iovec{s, n});
        left -= n;
    }
    Status st = write_out(flow, {}, &iov);
    // The slabs go back to the pool whatever happened: after a failure the
    // run is over, and the bytes cannot be written anyway.
    FlowFile& g = flows_.at(flow);
    free_slabs_.insert(free_slabs_.end(), g.slabs.begin(), g.slabs.end());
    g.slabs.clear();
    g.size = 0;
    return st;
}

Status SplitWriter::shed() {
    // Write out the fullest buffers until half the pool is free again:
    // large writes, and rarely.
    std::vector<std::pair<std::size_t, Handle>> held;
    flows_.for_each_handle([&](Handle h) {
        if (std::size_t n = flows_.at(h).size) {
            held.emplace_back(n, h);
        }
    });
    std::sort(held.begin(), held.end(), [](auto& a, auto& b) { return a.first > b.first; });
    for (auto [bytes, h] : held) {
        if (free_slabs_.size() * 2 >= max_slabs_) {
            break;
        }
        if (auto st = flush_flow(h); !st) {
            return st;
        }
    }
    return {};
}

namespace {

// Appends through the writer's buffering, as write_pcap_frame_raw expects.
template <class Append> struct FlowOut {
    Append& append;
    Status write(std::span<const std::uint8_t> b) { return append(b); }
};

} // namespace

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
    Status st;
    auto to_flow = [&](std::span<const std::uint8_t> b) { return append(h, b); };
    if (!opt_.l7) {
        FlowOut<decltype(to_flow)> out{to_flow};
        st = write_pcap_frame_raw(out, packet.ts_sec, packet.ts_usec, packet.caplen,
                                  packet.orig_len, packet.bytes());
    } else if (packet.payload_offset && *packet.payload_offset < packet.bytes().size()) {
        st = to_flow(packet.bytes().subspan(static_cast<std::size_t>(*packet.payload_offset)));
    }
    return st;
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
