// Archive reader at scale: builds an archive of many flows (default 1,000,000)
// under /tmp with the archive writer, then times ArchiveReader::open and each
// kind of query.  A second archive of the same flows without index region
// times the scanning path.
//
//     archive_bench [flows] [dir]
//
// Flow i: 10.a.b.c (distinct per flow) -> one of 1000 servers 192.168.x.y,
// source port 1024 + i % 60000, destination port one of 8 services, protocol
// TCP/UDP/ICMP by i % 3; 1 to 3 packets of 64 bytes each, interleaved.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "archive/archive_reader.h"
#include "archive/archive_writer.h"
#include "archive/index.h"

using namespace vexlor;

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

constexpr std::uint16_t kServices[8] = {80, 443, 53, 22, 25, 123, 8080, 3306};

IpInfo flow_ip(std::uint32_t i) {
    std::uint8_t src[4] = {10, static_cast<std::uint8_t>(i >> 16),
                           static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i)};
    std::uint32_t s = i % 1000;
    std::uint8_t dst[4] = {192, 168, static_cast<std::uint8_t>(s >> 8),
                           static_cast<std::uint8_t>(s)};
    IpInfo ip;
    ip.src_ip = IpAddress::v4(src);
    ip.dst_ip = IpAddress::v4(dst);
    ip.protocol = i % 3 == 0 ? 6 : (i % 3 == 1 ? 17 : 1);
    ip.src_port = ip.protocol == 1 ? 0 : static_cast<std::uint16_t>(1024 + i % 60000);
    ip.dst_port = ip.protocol == 1 ? 0 : kServices[i % 8];
    return ip;
}

FlowKey flow_key(std::uint32_t i) {
    FlowKey k;
    k.tag = FlowKey::kNormal;
    std::memcpy(k.a.data(), &i, sizeof i);
    return k;
}

bool build(const std::string& path, std::uint32_t flows, bool indexes) {
    auto w = ArchiveWriter::create(path + ".tmp", path, 1);
    if (!w) {
        std::fprintf(stderr, "%s\n", w.error().message.c_str());
        return false;
    }
    w->set_build_indexes(indexes);
    std::vector<std::uint8_t> frame(64, 0xAB);
    // Three rounds: every flow gets a packet in round 0, two thirds in round 1,
    // one third in round 2, so lists interleave across the whole file.
    for (std::uint32_t round = 0; round < 3; ++round) {
        for (std::uint32_t i = 0; i < flows; ++i) {
            if (i % 3 < round) {
                continue;
            }
            Packet p;
            p.ts_sec = 1'700'000'000 + round;
            p.ts_usec = i % 1'000'000;
            p.orig_len = 64;
            p.caplen = 64;
            p.data = SharedBytes::borrowed(frame);
            p.ip = flow_ip(i);
            FlowKey k = flow_key(i);
            if (auto st = w->add(k, hash_key(k), p); !st) {
                std::fprintf(stderr, "%s\n", st.error().message.c_str());
                return false;
            }
        }
    }
    auto st = std::move(*w).finalize();
    if (!st) {
        std::fprintf(stderr, "%s\n", st.error().message.c_str());
        return false;
    }
    return true;
}

// Runs `f` `n` times and prints the mean per call.
template <class F> void time_queries(const char* what, int n, F&& f) {
    std::size_t found = 0;
    auto t0 = Clock::now();
    for (int i = 0; i < n; ++i) {
        found += f(i);
    }
    double ms = ms_since(t0);
    std::printf("  %-44s %8d calls  %10.3f us/call  (%zu ids)\n", what, n, 1000.0 * ms / n, found);
}

void run_queries(const ArchiveReader& r, std::uint32_t flows) {
    std::mt19937 rng(1);
    auto addr = [&](int) {
        std::uint32_t i = rng() % flows;
        return r.find_by_address(address16(flow_ip(i).src_ip)).size();
    };
    auto server = [&](int) {
        return r.find_by_address(address16(flow_ip(rng() % 1000).dst_ip)).size();
    };
    auto miss = [&](int) {
        std::uint8_t a[4] = {172, 16, static_cast<std::uint8_t>(rng()), 1};
        return r.find_by_address(address16(IpAddress::v4(a))).size();
    };
    auto port = [&](int) {
        return r.find_by_port(static_cast<std::uint16_t>(1024 + rng() % 60000)).size();
    };
    auto service = [&](int i) { return r.find_by_port(kServices[i % 8]).size(); };
    auto proto = [&](int i) {
        static constexpr std::uint8_t kProtos[3] = {6, 17, 1};
        return r.find_by_protocol(kProtos[i % 3]).size();
    };

    bool indexed = r.has_indexes();
    int many = indexed ? 200000 : 20;
    // The first query of a section prepares its lookup (one pass over the
    // section); time it on its own.
    time_queries("address, first call", 1, addr);
    time_queries("address, client (1 flow)", many, addr);
    time_queries("address, server (~1000 flows)", indexed ? 20000 : 20, server);
    time_queries("address, miss", many, miss);
    time_queries("port, first call", 1, port);
    time_queries("port, client (~17 flows)", many, port);
    time_queries("port, service (~83k flows)", 16, service);
    time_queries("protocol (~333k flows)", 6, proto);

    auto resolve = [&](int) {
        return r.resolve(1 + rng() % flows) != nullptr ? std::size_t{1} : 0;
    };
    time_queries("resolve id", 1000000, resolve);
    auto packets = [&](int) {
        const FlowEntry& e = r.flows()[rng() % r.flows().size()];
        auto offsets = r.get_packet_offsets(e);
        std::size_t n = 0;
        for (auto off : *offsets) {
            n += r.packet_at(off).has_value();
        }
        return n;
    };
    time_queries("get_packet_offsets + packet_at (packets)", 200000, packets);
}

} // namespace

int main(int argc, char** argv) {
    std::uint32_t flows =
        argc > 1 ? static_cast<std::uint32_t>(std::strtoul(argv[1], nullptr, 10)) : 1000000;
    std::string dir = argc > 2 ? argv[2] : "/tmp";
    std::string base = dir + "/vexlor_bench_" + std::to_string(::getpid());
    std::string indexed = base + ".vexlor";
    std::string plain = base + "_noindex.vexlor";

    auto t0 = Clock::now();
    if (!build(indexed, flows, true)) {
        return 1;
    }
    double build_ms = ms_since(t0);
    t0 = Clock::now();
    if (!build(plain, flows, false)) {
        return 1;
    }
    double build_plain_ms = ms_since(t0);

    for (const std::string* path : {&indexed, &plain}) {
        // Best of five opens: the file is in the page cache after the build.
        double best = 1e30;
        std::shared_ptr<const ArchiveReader> r;
        for (int i = 0; i < 5; ++i) {
            r.reset();
            auto t = Clock::now();
            auto opened = ArchiveReader::open(*path);
            double ms = ms_since(t);
            if (!opened) {
                std::fprintf(stderr, "%s\n", opened.error().message.c_str());
                return 1;
            }
            r = *opened;
            best = ms < best ? ms : best;
        }
        std::printf("%s: %zu flows, %.1f MB, index region %.1f MB\n", path->c_str(),
                    r->flows().size(), r->file().size() / 1e6, r->footer().index_length / 1e6);
        std::printf("  build (write + finalize)                     %10.1f ms\n",
                    path == &indexed ? build_ms : build_plain_ms);
        std::printf("  open (best of 5)                             %10.1f ms\n", best);
        run_queries(*r, flows);

        if (r->has_indexes()) {
            // The plain linear walk over the IP section, for comparison.
            auto idx = SecondaryIndexes::parse(
                r->file().subspan(r->footer().index_offset, r->footer().index_length));
            std::mt19937 rng(2);
            time_queries("lookup_generic address (linear walk)", 20, [&](int) {
                auto key = address16(flow_ip(rng() % flows).src_ip);
                return lookup_generic(idx->bytes, idx->ip.offset, idx->ip.length, key, 16).size();
            });
        }
    }
    std::remove(indexed.c_str());
    std::remove(plain.c_str());
    return 0;
}
