#include "flow/boundaries.h"

#include <algorithm>
#include <limits>

#include "packet/protocols.h"

namespace vexlor {
namespace {

constexpr std::uint8_t kFin = 0x01;
constexpr std::uint8_t kSyn = 0x02;
constexpr std::uint8_t kRst = 0x04;
constexpr std::uint8_t kAck = 0x10;
constexpr std::uint32_t kMaxSeq = std::numeric_limits<std::uint32_t>::max() - 1;

bool is_side(std::uint8_t family, const std::array<std::uint8_t, 16>& bytes, std::uint16_t port,
             const IpAddress& addr, std::uint16_t addr_port) {
    return port == addr_port && family == (addr.is_v4() ? 4 : 6) &&
           std::equal(bytes.begin(), bytes.begin() + addr.length(), addr.bytes.begin());
}

} // namespace

FlowBoundaries::FlowBoundaries(FlowBoundaryOptions options, SplitStrategy strategy, Holds holds)
    : opt_(options), one_way_(strategy == SplitStrategy::Flow),
      connections_(strategy == SplitStrategy::Session || strategy == SplitStrategy::Flow),
      holds_(std::move(holds)) {}

bool FlowBoundaries::is_tcp(const FlowKey& key, const Packet& packet) const {
    return opt_.tcp_restart && connections_ && key.proto == kProtoTcp && packet.ip &&
           packet.ip->protocol == kProtoTcp;
}

void FlowBoundaries::note_tcp(State& s, const FlowKey& key, const Packet& packet) const {
    if (!is_tcp(key, packet)) {
        return;
    }
    const IpInfo& ip = *packet.ip;
    if (ip.tcp_flags & kRst) {
        s.reset = true;
    }
    if (ip.tcp_flags & kFin) {
        // A one-way key sees one side only: its own FIN ends it.  A
        // conversation between an endpoint and itself has both sides alike.
        const bool a = is_side(key.family_a, key.a, key.port_a, ip.src_ip, ip.src_port);
        const bool b = is_side(key.family_b, key.b, key.port_b, ip.src_ip, ip.src_port);
        s.fins |= one_way_ || (a && b) ? 3 : a ? 1 : 2;
    }
}

std::uint32_t FlowBoundaries::flows_held(FlowKey key) const {
    auto holds = [&](std::uint64_t seq) {
        key.seq = static_cast<std::uint32_t>(seq);
        return holds_(key);
    };
    if (!holds(0)) {
        return 0;
    }
    // A key's flows are numbered without gaps: gallop to a number not held,
    // then halve the range.  Asked only when a forgotten key comes back.
    std::uint64_t held = 0;
    std::uint64_t free = 1;
    while (free <= kMaxSeq && holds(free)) {
        held = free;
        free = held * 2 + 1;
    }
    free = std::min<std::uint64_t>(free, kMaxSeq + 1);
    while (free - held > 1) {
        const std::uint64_t mid = held + (free - held) / 2;
        (holds(mid) ? held : free) = mid;
    }
    return static_cast<std::uint32_t>(held + 1);
}

FlowKey FlowBoundaries::place(const FlowKey& key, std::uint64_t hash, const Packet& packet) {
    const bool tracked =
        key.tag != FlowKey::kFallback && (opt_.idle_timeout_us != 0 || is_tcp(key, packet));
    if (!tracked) {
        return key;
    }
    const std::uint64_t now = packet.time_us();
    const std::uint8_t flags = is_tcp(key, packet) ? packet.ip->tcp_flags : 0;
    FlowKey out = key;
    if (auto h = live_.find(key, hash); h != kLruNil) {
        State& s = live_.at(h);
        // Time running backwards (captures merged out of order) is no gap.
        const bool idle =
            opt_.idle_timeout_us != 0 && now > s.last_us && now - s.last_us > opt_.idle_timeout_us;
        const bool restarted = ended(s) && (flags & kSyn);
        if ((idle || restarted) && s.seq < kMaxSeq) {
            s = State{now, s.seq + 1};
        }
        s.last_us = now;
        note_tcp(s, key, packet);
        live_.touch(h);
        out.seq = s.seq;
    } else {
        State s{now};
        if (const std::uint32_t held = flows_held(key); held != 0) {
            const bool opens = (flags & (kSyn | kAck)) == kSyn;
            s.seq = opt_.idle_timeout_us != 0 || opens ? std::min(held, kMaxSeq) : held - 1;
        }
        note_tcp(s, key, packet);
        if (live_.size() >= kMaxLive) {
            live_.pop_front();
        }
        live_.insert(key, hash, s);
        out.seq = s.seq;
    }
    // Flows idle past the timeout are over: their state goes.  The least
    // recently active come first, so the walk stops at the first live one.
    while (opt_.idle_timeout_us != 0 && live_.front() != kLruNil) {
        const State& oldest = live_.at(live_.front());
        if (now <= oldest.last_us || now - oldest.last_us <= opt_.idle_timeout_us) {
            break;
        }
        live_.pop_front();
    }
    return out;
}

} // namespace vexlor
