// Cost of flow accounting per packet: flow_keys + FlowManager::record_packet
// under the session strategy.
//
// Input: 2,000,000 synthetic IPv4 TCP packets (decoded records only, no frame
// bytes) spread uniformly at random over 20,000 sessions, half of them in the
// answer direction.  Two scenarios:
//   cap 10000  - the table is always full, about half the packets evict a flow
//   cap 100000 - the table never fills
// Each is run 5 times; the best run is printed as ns/packet, in thread CPU
// time (the build machine is shared, and wall time there mostly measures the
// wait for a core).  A third line times flow_name for every session, the cost
// paid once per new flow.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "flow/flow_manager.h"
#include "flow/strategy.h"

using namespace vexlor;

namespace {

constexpr std::size_t kPackets = 2'000'000;
constexpr std::uint32_t kSessions = 20'000;
constexpr int kRuns = 5;

double cpu_ns() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

IpAddress v4(std::uint32_t x) {
    std::uint8_t b[4] = {static_cast<std::uint8_t>(x >> 24), static_cast<std::uint8_t>(x >> 16),
                         static_cast<std::uint8_t>(x >> 8), static_cast<std::uint8_t>(x)};
    return IpAddress::v4(b);
}

std::vector<Packet> make_packets() {
    std::vector<Packet> out;
    out.reserve(kPackets);
    std::uint64_t state = 0x853C49E6748FEA9Bull;
    auto next = [&state] {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<std::uint32_t>(state >> 33);
    };
    for (std::size_t i = 0; i < kPackets; ++i) {
        std::uint32_t s = next() % kSessions;
        IpInfo ip;
        ip.src_ip = v4(0x0A000000u | (s / 64 + 1)); // 10.0.x.y client
        ip.dst_ip = v4(0xC0000200u | (s % 64 + 1)); // 192.0.2.z server
        ip.protocol = 6;
        ip.src_port = static_cast<std::uint16_t>(1024 + s % 50000);
        ip.dst_port = 443;
        if (next() & 1) {
            std::swap(ip.src_ip, ip.dst_ip);
            std::swap(ip.src_port, ip.dst_port);
        }
        Packet p;
        p.ts_sec = static_cast<std::uint32_t>(1'700'000'000 + i / 1000);
        p.ts_usec = static_cast<std::uint32_t>(i % 1000 * 1000);
        p.orig_len = 60 + next() % 1400;
        p.ip = ip;
        out.push_back(std::move(p));
    }
    return out;
}

double run(const std::vector<Packet>& packets, std::uint32_t cap, std::uint64_t& checksum,
           std::size_t& live) {
    FlowManager manager(SplitStrategy::Session, cap);
    double t0 = cpu_ns();
    for (const Packet& p : packets) {
        FlowKeys keys = flow_keys(SplitStrategy::Session, p);
        for (const FlowKey& k : keys) {
            checksum += manager.record_packet(k, p).id;
        }
    }
    double t1 = cpu_ns();
    live = manager.size();
    return (t1 - t0) / static_cast<double>(packets.size());
}

} // namespace

int main() {
    std::vector<Packet> packets = make_packets();
    std::printf("flow_bench: %zu IPv4 TCP packets over %u sessions, session strategy\n",
                packets.size(), kSessions);
    std::uint64_t checksum = 0;
    for (std::uint32_t cap : {10'000u, 100'000u}) {
        double best = 1e30;
        std::size_t live = 0;
        for (int r = 0; r < kRuns; ++r) {
            best = std::min(best, run(packets, cap, checksum, live));
        }
        std::printf("  max_sessions %6u: %6.1f ns/packet (flows live at end: %zu)\n", cap, best,
                    live);
    }

    // flow_name once per session, as the split driver does for each new flow.
    std::vector<FlowKey> keys;
    keys.reserve(kSessions);
    for (const Packet& p : packets) {
        if (keys.size() == kSessions) {
            break;
        }
        keys.push_back(flow_keys(SplitStrategy::Session, p).keys[0]);
    }
    double best = 1e30;
    for (int r = 0; r < kRuns; ++r) {
        double t0 = cpu_ns();
        for (const FlowKey& k : keys) {
            checksum += flow_name(SplitStrategy::Session, k).size();
        }
        double t1 = cpu_ns();
        best = std::min(best, (t1 - t0) / static_cast<double>(keys.size()));
    }
    std::printf("  flow_name:          %6.1f ns/name\n", best);
    std::printf("  (checksum %llu)\n", static_cast<unsigned long long>(checksum));
    return 0;
}
