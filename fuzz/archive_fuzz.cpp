// The archive reader on arbitrary files: opening, every query and every
// packet of every flow must either work or fail cleanly.
#include "archive/reader/archive_reader.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vexlor;
    char path[] = "/tmp/vexlor_archive_fuzz_XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) {
        return 0;
    }
    if (size && write(fd, data, size) != static_cast<ssize_t>(size)) {
        close(fd);
        unlink(path);
        return 0;
    }
    close(fd);
    auto reader = ArchiveReader::open(path);
    unlink(path);
    if (!reader) {
        return 0;
    }
    const ArchiveReader& r = **reader;
    for (const FlowEntry& e : r.flows()) {
        auto offsets = r.get_packet_offsets(e);
        if (!offsets) {
            continue;
        }
        for (std::uint64_t off : *offsets) {
            if (auto p = r.packet_at(off)) {
                if (p->data.size() != p->caplen) {
                    std::abort();
                }
            }
            (void)r.record_at(off);
        }
        (void)r.find_by_address(e.src_addr);
        (void)r.find_by_port(e.src_port);
        (void)r.find_by_protocol(e.proto);
        if (!r.resolve(e.id)) {
            std::abort();
        }
    }
    (void)r.find_by_port(0);
    (void)r.find_by_protocol(6);
    return 0;
}
