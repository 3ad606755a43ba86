// The whole archive build driver (build_archive) on a fuzzed capture, into a
// scratch directory cleaned before every run.  The first bytes of the input
// choose the strategy and filters (see decode_options).
//
// Afterwards:
//  - a capture that cannot be opened, or that fails part-way, fails the build
//    with the reader's message and leaves nothing at the output path;
//  - otherwise the build succeeds, ArchiveReader::open accepts the archive,
//    its regions follow one another as the format lays them out, and every
//    flow holds exactly its packets in order, with the first packet's
//    addresses, ports and protocol, its times and byte count, and is found
//    by each of its keys in the indexes.
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "archive/archive_reader.h"
#include "capture_model.h"
#include "drivers/archive_build.h"
#include "flow/strategy.h"
#include "fuzz_util.h"

namespace {

using namespace vexlor;
using fuzz::require;

bool contains(const std::vector<std::uint64_t>& ids, std::uint64_t id) {
    return std::binary_search(ids.begin(), ids.end(), id);
}

void require_ascending(const std::vector<std::uint64_t>& ids, const char* what) {
    require(std::adjacent_find(ids.begin(), ids.end(),
                               [](std::uint64_t a, std::uint64_t b) { return a >= b; }) ==
                ids.end(),
            what);
}

void check_archive(const ArchiveReader& r, const fuzz::CaptureModel& model) {
    const ArchiveFooter& f = r.footer();
    const std::size_t n = model.flows.size();
    require(r.link_type() == model.link_type, "archive link type differs from the capture");
    require(r.has_indexes(), "a built archive without indexes");
    require(f.data_offset == kDataStart && f.lists_offset == f.data_offset + f.data_length &&
                f.table_offset == f.lists_offset + f.lists_length &&
                f.table_length == kFlowEntrySize * n && f.flow_count == n &&
                f.index_offset == f.table_offset + f.table_length &&
                f.index_offset + f.index_length + kFooterSize == r.file().size(),
            "archive regions do not follow one another");
    require(r.flows().size() == n, "archive flow count differs from the capture's flows");

    for (std::size_t i = 0; i < n; ++i) {
        const FlowEntry& e = r.flows()[i];
        const fuzz::ModelFlow& mf = model.flows[i];
        const Packet& first = model.packets[mf.packets.front()];
        const Packet& last = model.packets[mf.packets.back()];
        require(e.id == i + 1, "flow ids are not 1, 2, 3, ...");
        require(r.resolve(e.id) == &e, "resolve misses a flow");
        require(e.packet_count == mf.packets.size(), "flow packet count differs");
        require(e.start_ts == first.time_us() && e.end_ts == last.time_us(),
                "flow times differ from its first and last packet");
        std::uint64_t total = 0;
        for (std::size_t k : mf.packets) {
            total += model.packets[k].orig_len;
        }
        require(e.total_bytes == total, "flow byte count differs");
        if (first.ip) {
            require(e.proto == first.ip->protocol && e.src_addr == address16(first.ip->src_ip) &&
                        e.dst_addr == address16(first.ip->dst_ip) &&
                        e.src_port == first.ip->src_port && e.dst_port == first.ip->dst_port,
                    "flow keys differ from its first packet");
        } else {
            require(e.proto == 0 && e.src_addr == Address16{} && e.dst_addr == Address16{} &&
                        e.src_port == 0 && e.dst_port == 0,
                    "a flow without IP header has keys");
        }
        require(e.offset_list_offset >= f.lists_offset &&
                    e.offset_list_offset - f.lists_offset + e.offset_list_length <= f.lists_length,
                "an offset list outside its region");

        auto offsets = r.get_packet_offsets(e);
        require(offsets.has_value() && offsets->size() == mf.packets.size(),
                "a flow's offsets do not match its packets");
        for (std::size_t j = 0; j < offsets->size(); ++j) {
            const std::uint64_t off = (*offsets)[j];
            require(off >= f.data_offset && off - f.data_offset < f.data_length,
                    "a packet offset outside the data area");
            auto p = r.packet_at(off);
            const Packet& want = model.packets[mf.packets[j]];
            require(p.has_value() && p->ts_sec == want.ts_sec && p->ts_usec == want.ts_usec &&
                        p->caplen == want.caplen && p->orig_len == want.orig_len &&
                        std::equal(p->data.begin(), p->data.end(), want.bytes().begin(),
                                   want.bytes().end()),
                    "a stored packet differs from the captured one");
        }

        auto by_src = r.find_by_address(e.src_addr);
        auto by_dst = r.find_by_address(e.dst_addr);
        auto by_sport = r.find_by_port(e.src_port);
        auto by_dport = r.find_by_port(e.dst_port);
        auto by_proto = r.find_by_protocol(e.proto);
        for (const auto* ids : {&by_src, &by_dst, &by_sport, &by_dport, &by_proto}) {
            require_ascending(*ids, "index ids not ascending");
            require(contains(*ids, e.id), "a flow is missing from the index of its key");
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < fuzz::kOptionBytes) {
        return 0;
    }
    const fuzz::RunOptions run = fuzz::decode_options(data);
    const std::vector<std::uint8_t> capture(data + fuzz::kOptionBytes, data + size);
    const std::string& scratch = fuzz::ScratchDir::path();
    const std::string input = scratch + "/capture.pcap";
    const std::string out = scratch + "/out";
    const std::string archive = out + "/capture.vexlor";
    fuzz::remove_tree(out);
    ::mkdir(out.c_str(), 0777);
    fuzz::write_whole(input, capture);

    ArchiveBuildOptions opt;
    opt.input_path = input;
    opt.output_path = archive;
    opt.strategy = *parse_strategy(run.strategy);
    opt.max_sessions = run.max_sessions;
    opt.ip_filters = run.ip_filters;
    opt.port_filters = run.port_filters;

    const SplitStrategy strategy = *parse_strategy(run.strategy);
    const fuzz::CaptureModel model = fuzz::CaptureModel::build(
        capture, strategy, build_filter(run.ip_filters, run.port_filters));

    const Status st = build_archive(opt);

    struct stat sb;
    const bool published = ::stat(archive.c_str(), &sb) == 0;
    if (model.open_error || model.read_error) {
        const std::string& want = model.open_error ? *model.open_error : *model.read_error;
        require(!st, "a broken capture was archived without an error", want);
        require(st.error().message == want, "the build failed with another message",
                st.error().message + " instead of " + want);
        require(!published, "a failed build left an archive at the output path");
        return 0;
    }
    require(st.has_value(), "the build failed on a readable capture", st ? "" : st.error().message);
    require(published, "a successful build left no archive");
    const std::string temp = archive + ".tmp";
    require(::stat(temp.c_str(), &sb) != 0, "a successful build left its temporary file");

    auto reader = ArchiveReader::open(archive);
    require(reader.has_value(), "a built archive does not open",
            reader ? "" : reader.error().message);
    check_archive(**reader, model);
    return 0;
}
