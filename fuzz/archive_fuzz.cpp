// The archive reader on arbitrary files: open, then every flow's offsets and
// packets and every kind of lookup (by id, address, port, protocol, and the
// flow table itself).  Each must either work or fail cleanly, stay inside the
// file, and agree with a plain reading of the format: index lookups with the
// linear walk lookup_generic (or with a scan of the flow table when there is
// no index region), resolve() with the first entry of that id.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "archive/archive_reader.h"
#include "archive/index.h"
#include "fuzz_util.h"

namespace {

using namespace vexlor;
using fuzz::require;

// The index region as the reader decides to use it, or an empty span.
ByteSpan index_region(const ArchiveReader& r) {
    const ArchiveFooter& f = r.footer();
    ByteSpan file = r.file();
    if (f.index_offset == 0 || f.index_length == 0 ||
        !fits(f.index_offset, f.index_length, file.size()) || f.index_length < kIndexHeaderSize) {
        return {};
    }
    return file.subspan(f.index_offset, f.index_length);
}

struct Section {
    std::uint64_t offset;
    std::uint32_t length;
};
Section section_at(ByteSpan idx, std::size_t header_pos) {
    return {load_le<std::uint64_t>(idx.data() + header_pos),
            load_le<std::uint32_t>(idx.data() + header_pos + 8)};
}

// Up to `limit` keys of the entries a walk of the section can reach, so that
// lookups are also tried with keys the file really holds.
std::vector<std::vector<std::uint8_t>> section_keys(ByteSpan idx, Section s, std::size_t width,
                                                    std::size_t limit) {
    std::vector<std::vector<std::uint8_t>> keys;
    if (s.length < 4 || s.offset > idx.size() ||
        !fits(kIndexHeaderSize + s.offset, s.length, idx.size())) {
        return keys;
    }
    std::uint64_t pos = kIndexHeaderSize + s.offset + 4;
    const std::uint64_t end = kIndexHeaderSize + s.offset + s.length;
    while (keys.size() < limit && fits(pos, width + 4, end)) {
        keys.emplace_back(idx.data() + pos, idx.data() + pos + width);
        std::uint64_t n = load_le<std::uint32_t>(idx.data() + pos + width);
        pos += width + 4;
        if (n > (end - pos) / 8) {
            break;
        }
        pos += 8 * n;
    }
    return keys;
}

void check_lookups(const ArchiveReader& r) {
    const ByteSpan idx = index_region(r);
    require(r.has_indexes() == !idx.empty(), "index region use differs from the footer");
    const auto& flows = r.flows();

    std::vector<Address16> addresses;
    std::vector<std::uint16_t> ports = {0, 53, 80, 65535};
    std::vector<std::uint8_t> protos = {0, 6, 17, 255};
    for (std::size_t i = 0; i < flows.size() && i < 64; ++i) {
        addresses.push_back(flows[i].src_addr);
        addresses.push_back(flows[i].dst_addr);
        ports.push_back(flows[i].src_port);
        ports.push_back(flows[i].dst_port);
        protos.push_back(flows[i].proto);
    }
    addresses.push_back(Address16{});
    Section ip_s{}, port_s{}, proto_s{};
    if (!idx.empty()) {
        ip_s = section_at(idx, 0);
        port_s = section_at(idx, 12);
        proto_s = section_at(idx, 24);
        for (auto& k : section_keys(idx, ip_s, 16, 32)) {
            Address16 a;
            std::copy(k.begin(), k.end(), a.begin());
            addresses.push_back(a);
        }
        for (auto& k : section_keys(idx, port_s, 2, 32)) {
            ports.push_back(load_le<std::uint16_t>(k.data()));
        }
        for (auto& k : section_keys(idx, proto_s, 1, 32)) {
            protos.push_back(k[0]);
        }
    }

    // Without indexes, the ids of every entry matching the key, in table order.
    auto scan = [&](auto match) {
        std::vector<std::uint64_t> out;
        for (const FlowEntry& e : flows) {
            if (match(e)) {
                out.push_back(e.id);
            }
        }
        return out;
    };
    for (const Address16& a : addresses) {
        auto got = r.find_by_address(a);
        auto want =
            idx.empty()
                ? scan([&](const FlowEntry& e) { return e.src_addr == a || e.dst_addr == a; })
                : lookup_generic(idx, ip_s.offset, ip_s.length, a, 16);
        require(got == want, "lookup by address differs from the plain walk");
    }
    for (std::uint16_t p : ports) {
        auto got = r.find_by_port(p);
        std::uint8_t key[2];
        store_le(key, p);
        auto want =
            idx.empty()
                ? scan([&](const FlowEntry& e) { return e.src_port == p || e.dst_port == p; })
                : lookup_generic(idx, port_s.offset, port_s.length, key, 2);
        require(got == want, "lookup by port differs from the plain walk");
    }
    for (std::uint8_t p : protos) {
        auto got = r.find_by_protocol(p);
        std::uint8_t key[1] = {p};
        auto want = idx.empty() ? scan([&](const FlowEntry& e) { return e.proto == p; })
                                : lookup_generic(idx, proto_s.offset, proto_s.length, key, 1);
        require(got == want, "lookup by protocol differs from the plain walk");
    }
}

void check_resolve(const ArchiveReader& r) {
    const auto& flows = r.flows();
    auto first_with = [&](std::uint64_t id) -> const FlowEntry* {
        for (const FlowEntry& e : flows) {
            if (e.id == id) {
                return &e;
            }
        }
        return nullptr;
    };
    std::vector<std::uint64_t> ids = {0, 1, flows.size(), flows.size() + 1, ~std::uint64_t{0}};
    for (std::size_t i = 0; i < flows.size() && i < 256; ++i) {
        ids.push_back(flows[i].id);
    }
    for (std::uint64_t id : ids) {
        require(r.resolve(id) == first_with(id), "resolve differs from the first entry of the id");
    }
}

void check_packets(const ArchiveReader& r) {
    const ByteSpan file = r.file();
    std::uint64_t budget = 1 << 16; // packets looked at per input, to keep runs short
    for (const FlowEntry& e : r.flows()) {
        auto offsets = r.get_packet_offsets(e);
        require(offsets.has_value() ==
                    fits(e.offset_list_offset, e.offset_list_length, file.size()),
                "offset list refused or accepted against its bounds");
        if (!offsets) {
            continue;
        }
        require(offsets->size() <= e.packet_count, "more offsets than packets");
        require(offsets->empty() || e.offset_list_length >= 8, "offsets from a list under 8 bytes");
        if (!offsets->empty()) {
            require(offsets->size() - 1 <= e.offset_list_length - 8u,
                    "more offsets than the list has bytes");
        }
        for (std::uint64_t off : *offsets) {
            if (budget-- == 0) {
                return;
            }
            auto rec = r.record_at(off);
            auto p = r.packet_at(off);
            require(rec.has_value() == p.has_value(), "record_at and packet_at disagree");
            if (!p) {
                continue;
            }
            require(rec->data() == file.data() + off && rec->size() == 16 + p->data.size(),
                    "record outside its place");
            require(p->data.size() == p->caplen, "caplen is not the frame length");
            require(p->data.data() >= file.data() &&
                        p->data.data() + p->data.size() <= file.data() + file.size(),
                    "packet outside the file");
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = fuzz::ScratchDir::path() + "/archive.vexlor";
    fuzz::write_whole(path, {data, size});
    auto reader = ArchiveReader::open(path);
    ::unlink(path.c_str());
    if (!reader) {
        return 0;
    }
    const ArchiveReader& r = **reader;
    require(r.file().size() == size, "mapping of another size than the file");
    const ArchiveFooter& f = r.footer();
    require(r.flows().size() == f.table_length / kFlowEntrySize, "flow entries against the table");
    check_packets(r);
    check_lookups(r);
    check_resolve(r);
    return 0;
}
