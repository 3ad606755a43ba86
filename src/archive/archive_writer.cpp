#include "archive/archive_writer.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

#include "archive/index.h"

namespace vexlor {

namespace {

constexpr std::uint64_t kU32Max = std::numeric_limits<std::uint32_t>::max();

} // namespace

// --- ArchiveWriter --------------------------------------------------------

ArchiveWriter::ArchiveWriter(Output out, std::string temp_path, std::string final_path)
    : out_(std::move(out)), temp_path_(std::move(temp_path)), final_path_(std::move(final_path)) {}

ArchiveWriter& ArchiveWriter::operator=(ArchiveWriter&& o) noexcept {
    if (this != &o) {
        out_.abandon();
        out_ = std::move(o.out_);
        temp_path_ = std::move(o.temp_path_);
        final_path_ = std::move(o.final_path_);
        by_key_ = std::move(o.by_key_);
        totals_ = std::move(o.totals_);
        first_ = std::move(o.first_);
        stored_ = std::move(o.stored_);
        position_ = o.position_;
        build_indexes_ = o.build_indexes_;
        field_limit_ = o.field_limit_;
        lock_ = std::move(o.lock_);
        reason_ = o.reason_;
        stable_frames_ = o.stable_frames_;
        headers_in_place_ = o.headers_in_place_;
        remove_on_failure_ = o.remove_on_failure_;
        finalized_ = o.finalized_;
    }
    return *this;
}

ArchiveWriter::~ArchiveWriter() {
    out_.abandon();
    // Only a writer that still holds the lock owns the temporary file.
    if (remove_on_failure_ && !finalized_ && lock_.valid()) {
        (void)::unlink(temp_path_.c_str());
    }
}

Result<ArchiveWriter> ArchiveWriter::create(std::string temp_path, std::string final_path,
                                            std::uint32_t link_type, bool reason) {
    auto cannot_create = [&](int errnum) {
        return io_error("Failed to create temp archive file: " + temp_path +
                        (reason ? ": " + os_error_text(errnum) : std::string()));
    };
    // O_NOFOLLOW: the temporary name sits next to the output, possibly in a
    // shared directory; a symlink planted there must not redirect the write.
    // A NUL inside the path would cut it short and write somewhere else.
    // No O_TRUNC: the file may be another run's archive in the making, and
    // it is emptied only once its lock is ours.
    UniqueFd fd(temp_path.find('\0') != std::string::npos
                    ? -1
                    : ::open(temp_path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666));
    if (!fd.valid()) {
        return cannot_create(temp_path.find('\0') != std::string::npos ? EINVAL : errno);
    }
    // The lock belongs to the open file, not to the name: it follows the
    // file through the rename, and a second run that opens the temporary
    // name meanwhile finds it held.  A duplicate descriptor keeps it until
    // the rename is done, after the writing thread has closed its own.
    // Without a descriptor to spare, the writer's own holds the lock, up to
    // its close just before the rename: a build still runs where it ran
    // before locks (one free descriptor); only its cleanup after a failure
    // then leaves the temporary file.
    UniqueFd lock(::dup(fd.get()));
    while (::flock(lock.valid() ? lock.get() : fd.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            return io_error("Output path " + final_path + " is in use by another run");
        }
        if (errno != EINTR) {
            return os_error(errno);
        }
    }
    // Only a file with something in it is emptied: ext4 takes a truncation
    // to zero as the start of a rewrite and, when the file is closed, pushes
    // every page written since to the disk before close() returns, which
    // for a new archive is the whole of it.
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || (st.st_size != 0 && ::ftruncate(fd.get(), 0) != 0)) {
        return cannot_create(errno);
    }
    auto file = AsyncFile::open(std::move(fd), kArchiveWriteBuffer);
    if (!file) {
        return std::unexpected(file.error());
    }
    ArchiveWriter w(Output(std::move(*file)), std::move(temp_path), std::move(final_path));
    w.lock_ = std::move(lock);
    w.reason_ = reason;
    if (auto st = w.out_.write(encode_archive_header(link_type)); !st) {
        return std::unexpected(st.error());
    }
    return w;
}

Status ArchiveWriter::add(const FlowKey& key, std::uint64_t hash, const Packet& packet,
                          HostSide side, bool mac) {
    std::span<const std::uint8_t> frame = packet.bytes();
    if (frame.size() > kU32Max) {
        // Readers cap captured lengths at 32 bits; a longer frame is a bug.
        return fail(ErrorKind::Panic, "frame of " + std::to_string(frame.size()) +
                                          " bytes does not fit a stored record");
    }
    auto handle = by_key_.find(key, hash);
    if (handle != kLruNil && totals_[by_key_.at(handle)].packet_count >= field_limit_) {
        return runtime_error("Flow has more packets than an archive can count (" +
                             std::to_string(field_limit_) + ")");
    }

    auto header = pcap_record_header(packet.ts_sec, packet.ts_usec,
                                     static_cast<std::uint32_t>(frame.size()), packet.orig_len);
    if (auto st = store(header, frame); !st) {
        return st;
    }
    position_ += kPcapRecordHeaderSize + frame.size();

    std::uint64_t t = packet.time_us();
    std::uint32_t flow;
    if (handle == kLruNil) {
        flow = static_cast<std::uint32_t>(totals_.size());
        by_key_.insert(key, hash, flow);
        totals_.emplace_back();
        first_.push_back(FlowFirst{packet.ip, t, side, mac});
    } else {
        flow = by_key_.at(handle);
    }
    stored_.push_back(Stored{flow, static_cast<std::uint32_t>(frame.size())});
    FlowTotals& f = totals_[flow];
    f.packet_count += 1;
    f.total_bytes += packet.orig_len;
    // The time of the packet stored last, even when it is earlier.
    f.end_ts = t;
    return {};
}

Status ArchiveWriter::store(std::span<const std::uint8_t> header,
                            std::span<const std::uint8_t> frame) {
    if (!stable_frames_) {
        if (auto st = out_.write(header); !st) {
            return st;
        }
        return out_.write(frame);
    }
    if (headers_in_place_) {
        const std::uint8_t* record = frame.data() - header.size();
        if (std::memcmp(record, header.data(), header.size()) == 0) {
            return out_.write_stable({record, header.size() + frame.size()});
        }
    }
    if (auto st = out_.write(header); !st) {
        return st;
    }
    return out_.write_stable(frame);
}

FlowEntry ArchiveWriter::entry_of(std::size_t flow) const {
    FlowEntry e;
    e.id = flow + 1;
    const FlowFirst& first = first_[flow];
    if (first.ip) {
        e.proto = first.ip->protocol;
        e.src_addr = address16(first.ip->src_ip);
        e.dst_addr = address16(first.ip->dst_ip);
        e.src_port = first.ip->src_port;
        e.dst_port = first.ip->dst_port;
        e.host_side = first.mac ? HostSide::Unknown : first.side;
    }
    e.mac_side = first.mac ? first.side : HostSide::Unknown;
    const FlowTotals& totals = totals_[flow];
    e.packet_count = totals.packet_count;
    e.start_ts = first.start_ts;
    e.end_ts = totals.end_ts;
    e.total_bytes = totals.total_bytes;
    return e;
}

Status ArchiveWriter::write_tail() {
    ArchiveFooter footer;
    footer.data_offset = kDataStart;
    footer.data_length = position_ - kDataStart;

    // Every flow's offsets, grouped by flow in id order (a counting sort of
    // the stored records; each flow's offsets come out ascending).
    const std::size_t flows = totals_.size();
    std::vector<std::uint64_t> starts(flows + 1, 0);
    for (std::size_t i = 0; i < flows; ++i) {
        starts[i + 1] = starts[i] + totals_[i].packet_count;
    }
    std::vector<std::uint64_t> offsets(stored_.size());
    {
        std::vector<std::uint64_t> next(starts.begin(), starts.end() - 1);
        std::uint64_t at = kDataStart;
        for (const Stored& s : stored_) {
            offsets[next[s.flow]++] = at;
            at += kPcapRecordHeaderSize + s.caplen;
        }
        stored_ = {};
    }

    // Offset lists, in id order.
    footer.lists_offset = position_;
    std::vector<std::pair<std::uint64_t, std::uint32_t>> lists(flows);
    std::vector<std::uint8_t> scratch;
    for (std::size_t i = 0; i < flows; ++i) {
        scratch.clear();
        append_offset_list(scratch, std::span<const std::uint64_t>(offsets).subspan(
                                        starts[i], starts[i + 1] - starts[i]));
        if (scratch.size() > field_limit_) {
            return runtime_error("Offset list of flow " + std::to_string(i + 1) +
                                 " too long for an archive (" + std::to_string(scratch.size()) +
                                 " bytes)");
        }
        if (auto st = out_.write(scratch); !st) {
            return st;
        }
        lists[i] = {position_, static_cast<std::uint32_t>(scratch.size())};
        position_ += scratch.size();
    }
    offsets = {};
    footer.lists_length = position_ - footer.lists_offset;

    // Flow table; the index pairs are collected on the way.
    footer.table_offset = position_;
    SecondaryIndexBuilder indexes;
    for (std::size_t i = 0; i < flows; ++i) {
        FlowEntry e = entry_of(i);
        e.offset_list_offset = lists[i].first;
        e.offset_list_length = lists[i].second;
        if (auto st = out_.write(e.encode()); !st) {
            return st;
        }
        if (build_indexes_) {
            indexes.add(e);
        }
    }
    footer.flow_count = flows;
    footer.table_length = kFlowEntrySize * footer.flow_count;
    position_ += footer.table_length;
    if (auto st = out_.flush(); !st) {
        return st;
    }

    if (build_indexes_) {
        auto region = indexes.build();
        if (!region) {
            return std::unexpected(region.error());
        }
        if (auto st = out_.write(*region); !st) {
            return st;
        }
        footer.index_offset = position_;
        footer.index_length = region->size();
        position_ += region->size();
        if (auto st = out_.flush(); !st) {
            return st;
        }
    }

    if (!out_.write(footer.encode())) {
        return runtime_error("Failed to write footer");
    }
    position_ += kFooterSize;
    return out_.close();
}

Status ArchiveWriter::finalize(const std::function<Status()>& before_rename) && {
    if (!out_.is_open()) {
        return fail(ErrorKind::Panic, "finalize on an archive writer without a file");
    }
    if (auto st = write_tail(); !st) {
        return st; // the destructor leaves the temporary file behind
    }
    if (before_rename) {
        if (auto st = before_rename(); !st) {
            return st;
        }
    }
    if (::rename(temp_path_.c_str(), final_path_.c_str()) != 0) {
        return runtime_error("Failed to rename " + temp_path_ + " -> " + final_path_ +
                             (reason_ ? ": " + os_error_text(errno) : std::string()));
    }
    finalized_ = true;
    (void)lock_.reset();
    return {};
}

} // namespace vexlor
