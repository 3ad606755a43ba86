#include "archive/archive_reader.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstddef>
#include <limits>

#include "common/page_buffer.h"
#include "common/unique_fd.h"

namespace vexlor {

Result<std::shared_ptr<const ArchiveReader>> ArchiveReader::open(const std::string& path) {
    // A name with a NUL byte cannot be passed to the system; it names no file.
    if (path.find('\0') != std::string::npos) {
        return io_error("Failed to open archive");
    }
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        return io_error("Failed to open archive");
    }
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) {
        return os_error(errno);
    }
    auto size = static_cast<std::uint64_t>(st.st_size);
    if (st.st_size < 0 || size < kFooterSize) {
        return io_error("File too small to be a valid archive");
    }
    if (size > static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max())) {
        return io_error("Failed to mmap archive");
    }
    void* base = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd.get(), 0);
    if (base == MAP_FAILED) {
        return io_error("Failed to mmap archive");
    }
    // From here on the reader owns the mapping: every early return unmaps it.
    std::unique_ptr<ArchiveReader> r(new ArchiveReader());
    r->map_ = static_cast<const std::uint8_t*>(base);
    r->size_ = static_cast<std::size_t>(size);
    r->guard_ = MappingGuard::watch(base, r->size_);
    r->path_ = path;
    r->identity_ = FileIdentity{st.st_dev, st.st_ino};
    const std::uint8_t* map = r->map_;

    r->link_type_ = load_le<std::uint32_t>(map + 12);
    auto footer = ArchiveFooter::decode(
        std::span<const std::uint8_t, kFooterSize>(map + size - kFooterSize, kFooterSize));
    if (!footer) {
        return io_error("Invalid archive footer");
    }
    r->footer_ = *footer;
    if (!fits(footer->table_offset, footer->table_length, size)) {
        return io_error("Flow table extends beyond file");
    }

    // The count field only sizes the storage, and the table length bounds it:
    // a damaged count cannot make us reserve more than the file holds.
    std::uint64_t whole = footer->table_length / kFlowEntrySize;
    r->flows_.reserve(std::min(footer->flow_count, whole));
    for (std::uint64_t i = 0; i < whole; ++i) {
        const std::uint8_t* p = map + footer->table_offset + i * kFlowEntrySize;
        r->flows_.push_back(
            FlowEntry::decode(std::span<const std::uint8_t, kFlowEntrySize>(p, kFlowEntrySize)));
    }

    if (footer->index_offset != 0 && footer->index_length != 0 &&
        fits(footer->index_offset, footer->index_length, size)) {
        r->indexes_ = SecondaryIndexes::parse(
            ByteSpan(map + footer->index_offset, static_cast<std::size_t>(footer->index_length)));
    }

    r->dense_ids_ = true;
    for (std::size_t i = 0; i < r->flows_.size(); ++i) {
        if (r->flows_[i].id != i + 1) {
            r->dense_ids_ = false;
            break;
        }
    }
    if (!r->dense_ids_) {
        r->first_by_id_.reserve(r->flows_.size());
        for (std::size_t i = 0; i < r->flows_.size(); ++i) {
            r->first_by_id_.emplace(r->flows_[i].id, i); // keeps the first
        }
    }
    return std::shared_ptr<const ArchiveReader>(std::move(r));
}

std::optional<std::string> ArchiveReader::format_problem() const {
    const std::string_view magic(reinterpret_cast<const char*>(map_), kArchiveMagic.size());
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    if (!magic.starts_with(kArchiveMagic.substr(0, 6)) || !digit(magic[6]) || !digit(magic[7])) {
        return "not an archive: its header does not start with " + std::string(kArchiveMagic);
    }
    const std::uint32_t named =
        static_cast<std::uint32_t>((magic[6] - '0') * 10 + (magic[7] - '0'));
    const std::uint32_t header = load_le<std::uint32_t>(map_ + 8);
    const std::uint32_t footer = footer_.version;
    if (named == kArchiveVersion && header == kArchiveVersion && footer == kArchiveVersion) {
        return std::nullopt;
    }
    const std::string reads = ": this reader reads version " + std::to_string(kArchiveVersion);
    if (named == header && header == footer) {
        return "archive format version " + std::to_string(named) + reads;
    }
    return "damaged archive: its format version is " + std::to_string(named) + " in the magic, " +
           std::to_string(header) + " in the header and " + std::to_string(footer) +
           " in the footer" + reads;
}

ArchiveReader::~ArchiveReader() {
    if (map_) {
        guard_.reset();
        ::munmap(const_cast<std::uint8_t*>(map_), size_);
    }
}

bool ArchiveReader::cut_short() const {
    return guard_.cut() || shorter_than(path_, identity_, size_);
}

Result<std::vector<std::uint64_t>> ArchiveReader::get_packet_offsets(const FlowEntry& entry,
                                                                     bool look) const {
    if (!fits(entry.offset_list_offset, entry.offset_list_length, size_)) {
        return runtime_error("Offset list extends beyond file");
    }
    auto offsets = decode_offset_list(
        ByteSpan(map_ + entry.offset_list_offset, entry.offset_list_length), entry.packet_count);
    // Zeros where the file was cut under us (without a fault in the page it
    // now ends in): the list now lies past its end.  One look at the file
    // per list, far less than reading the flow's packets costs.
    if (look ? cut_short() : guard_.cut()) {
        return runtime_error("Offset list extends beyond file");
    }
    return offsets;
}

std::optional<std::uint64_t> ArchiveReader::first_packet_offset(const FlowEntry& entry) const {
    if (entry.packet_count == 0 ||
        !fits(entry.offset_list_offset, entry.offset_list_length, size_)) {
        return std::nullopt;
    }
    auto first =
        decode_offset_list(ByteSpan(map_ + entry.offset_list_offset, entry.offset_list_length), 1);
    return first.empty() || guard_.cut() ? std::nullopt : std::optional<std::uint64_t>(first[0]);
}

std::optional<std::span<const std::uint8_t>> ArchiveReader::record_at(std::uint64_t offset,
                                                                      bool whole) const {
    if (!fits(offset, kPcapRecordHeaderSize, size_)) {
        return std::nullopt;
    }
    std::uint32_t caplen = load_le<std::uint32_t>(map_ + offset + 8);
    if (!fits(offset + kPcapRecordHeaderSize, caplen, size_)) {
        return std::nullopt;
    }
    // A file cut short under us loses everything past some point: when the
    // record's last byte is there, all of it is.  Its page is touched here,
    // so that a cut shows now and the record is left out like any other
    // that runs past the end of the file.
    const std::uint64_t last = offset + kPcapRecordHeaderSize + caplen - 1;
    if (whole && last / kPageSize != offset / kPageSize) {
        (void)*static_cast<const volatile std::uint8_t*>(map_ + last);
    }
    if (guard_.cut()) {
        return std::nullopt;
    }
    return std::span<const std::uint8_t>(map_ + offset, kPcapRecordHeaderSize + caplen);
}

std::optional<StoredPacket> ArchiveReader::packet_at(std::uint64_t offset, bool whole) const {
    auto rec = record_at(offset, whole);
    if (!rec) {
        return std::nullopt;
    }
    const std::uint8_t* p = rec->data();
    StoredPacket out;
    out.ts_sec = load_le<std::uint32_t>(p);
    out.ts_usec = load_le<std::uint32_t>(p + 4);
    out.caplen = load_le<std::uint32_t>(p + 8);
    out.orig_len = load_le<std::uint32_t>(p + 12);
    out.data = rec->subspan(kPcapRecordHeaderSize);
    return out;
}

std::vector<std::uint64_t> ArchiveReader::find_in(LazySection& lazy, const IndexSection& section,
                                                  std::size_t key_width, ByteSpan key) const {
    const std::vector<std::uint8_t>& bytes = indexes_->bytes;
    std::call_once(lazy.once,
                   [&] { lazy.lookup = SectionLookup::prepare(bytes, section, key_width); });
    return lazy.lookup.find(bytes, key);
}

// Archives without an index region are answered by a walk of the table.
template <class Pred> std::vector<std::uint64_t> ArchiveReader::scan(Pred matches) const {
    std::vector<std::uint64_t> out;
    for (const FlowEntry& e : flows_) {
        if (matches(e)) {
            out.push_back(e.id);
        }
    }
    return out;
}

std::vector<std::uint64_t> ArchiveReader::find_by_address(const Address16& key) const {
    if (indexes_) {
        return find_in(ip_lookup_, indexes_->ip, kIpKeyWidth, key);
    }
    return scan([&](const FlowEntry& e) { return e.src_addr == key || e.dst_addr == key; });
}

std::vector<std::uint64_t> ArchiveReader::find_by_port(std::uint16_t port) const {
    if (indexes_) {
        std::uint8_t key[2];
        store_le(key, port);
        return find_in(port_lookup_, indexes_->port, kPortKeyWidth, key);
    }
    return scan([&](const FlowEntry& e) { return e.src_port == port || e.dst_port == port; });
}

std::vector<std::uint64_t> ArchiveReader::find_by_protocol(std::uint8_t proto) const {
    if (indexes_) {
        std::uint8_t key[1] = {proto};
        return find_in(protocol_lookup_, indexes_->protocol, kProtocolKeyWidth, key);
    }
    return scan([&](const FlowEntry& e) { return e.proto == proto; });
}

const FlowEntry* ArchiveReader::resolve(std::uint64_t id) const {
    if (dense_ids_) {
        return id >= 1 && id <= flows_.size() ? &flows_[id - 1] : nullptr;
    }
    auto it = first_by_id_.find(id);
    return it == first_by_id_.end() ? nullptr : &flows_[it->second];
}

} // namespace vexlor
