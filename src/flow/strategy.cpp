#include "flow/strategy.h"

#include <algorithm>
#include <charconv>

#include "common/byte_reader.h"
#include "common/ip_text.h"
#include "common/text.h"

namespace vexlor {
namespace {

// Keys start from a value-initialised FlowKey, so every byte a strategy does
// not set is zero and bytewise equality is equality of the used fields.

std::uint8_t family_code(const IpAddress& addr) {
    return addr.is_v4() ? 4 : 6;
}

// Copies only the address's own bytes: an IPv4 address is defined by its
// first four, whatever the rest of its array holds.
void put_address(std::uint8_t& family, std::array<std::uint8_t, 16>& dst, const IpAddress& addr) {
    family = family_code(addr);
    std::copy_n(addr.bytes.begin(), addr.length(), dst.begin());
}

void put_mac(std::array<std::uint8_t, 16>& dst, const MacAddress& mac) {
    std::copy(mac.bytes.begin(), mac.bytes.end(), dst.begin());
}

// Address order: every IPv4 address below every IPv6 address, then the
// address's own bytes as a big-endian number.  Compared in machine words
// because this runs for every packet (memcmp for ordering is an out-of-line
// call).
int compare_addresses(const IpAddress& x, const IpAddress& y) {
    if (x.family != y.family) {
        return x.is_v4() ? -1 : 1;
    }
    if (x.is_v4()) {
        auto xv = load_be<std::uint32_t>(x.bytes.data());
        auto yv = load_be<std::uint32_t>(y.bytes.data());
        return xv < yv ? -1 : (xv > yv ? 1 : 0);
    }
    for (std::size_t off : {std::size_t{0}, std::size_t{8}}) {
        auto xv = load_be<std::uint64_t>(x.bytes.data() + off);
        auto yv = load_be<std::uint64_t>(y.bytes.data() + off);
        if (xv != yv) {
            return xv < yv ? -1 : 1;
        }
    }
    return 0;
}

// The key with `first` on side a.  The order is chosen before the key is
// written, so each field is stored once.
FlowKey pair_key(std::uint8_t proto, const IpAddress& first, std::uint16_t first_port,
                 const IpAddress& second, std::uint16_t second_port) {
    FlowKey k;
    k.tag = FlowKey::kNormal;
    k.proto = proto;
    put_address(k.family_a, k.a, first);
    put_address(k.family_b, k.b, second);
    k.port_a = first_port;
    k.port_b = second_port;
    return k;
}

FlowKey host_key(const IpAddress& addr) {
    FlowKey k;
    k.tag = FlowKey::kNormal;
    put_address(k.family_a, k.a, addr);
    return k;
}

FlowKey mac_key(const MacAddress& mac) {
    FlowKey k;
    k.tag = FlowKey::kNormal;
    put_mac(k.a, mac);
    return k;
}

FlowKeys one(const FlowKey& k) {
    FlowKeys out;
    out.keys[0] = k;
    out.count = 1;
    return out;
}

FlowKeys fallback() {
    return one(FlowKey{});
}

std::string_view fallback_name(SplitStrategy strategy) {
    switch (strategy) {
    case SplitStrategy::Session:
        return "no_session";
    case SplitStrategy::Flow:
        return "no_flow";
    case SplitStrategy::Host:
        return "no_host";
    case SplitStrategy::HostPair:
        return "no_hostpair";
    case SplitStrategy::Mac:
        return "no_mac";
    case SplitStrategy::Bssid:
        return "no_bssid";
    case SplitStrategy::NoSplit:
        break;
    }
    return "all";
}

void append_unsigned(std::string& out, unsigned v) {
    char buf[10];
    auto res = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, res.ptr);
}

void append_key_address(std::string& out, std::uint8_t family,
                        const std::array<std::uint8_t, 16>& bytes) {
    IpAddress addr;
    addr.family = family == 4 ? IpAddress::Family::V4 : IpAddress::Family::V6;
    addr.bytes = bytes;
    append_ip(out, addr);
}

void append_mac(std::string& out, const std::array<std::uint8_t, 16>& bytes) {
    constexpr char kHex[] = "0123456789abcdef";
    for (int i = 0; i < 6; ++i) {
        out.push_back(kHex[bytes[i] >> 4]);
        out.push_back(kHex[bytes[i] & 0xF]);
    }
}

} // namespace

FlowKeys flow_keys(SplitStrategy strategy, const Packet& packet) {
    switch (strategy) {
    case SplitStrategy::Session: {
        if (!packet.ip) {
            return fallback();
        }
        const IpInfo& ip = *packet.ip;
        // The source endpoint goes first only if strictly lower, so both
        // directions of a conversation give the same key.
        int c = compare_addresses(ip.src_ip, ip.dst_ip);
        if (c < 0 || (c == 0 && ip.src_port < ip.dst_port)) {
            return one(pair_key(ip.protocol, ip.src_ip, ip.src_port, ip.dst_ip, ip.dst_port));
        }
        return one(pair_key(ip.protocol, ip.dst_ip, ip.dst_port, ip.src_ip, ip.src_port));
    }
    case SplitStrategy::Flow: {
        if (!packet.ip) {
            return fallback();
        }
        const IpInfo& ip = *packet.ip;
        return one(pair_key(ip.protocol, ip.src_ip, ip.src_port, ip.dst_ip, ip.dst_port));
    }
    case SplitStrategy::Host: {
        if (!packet.ip) {
            return fallback();
        }
        FlowKeys out = one(host_key(packet.ip->src_ip));
        // Distinct keys format to distinct texts, so comparing keys is
        // comparing the names.
        FlowKey dst = host_key(packet.ip->dst_ip);
        if (!(dst == out.keys[0])) {
            out.keys[1] = dst;
            out.count = 2;
        }
        return out;
    }
    case SplitStrategy::HostPair: {
        if (!packet.ip) {
            return fallback();
        }
        const IpInfo& ip = *packet.ip;
        if (compare_addresses(ip.src_ip, ip.dst_ip) < 0) {
            return one(pair_key(0, ip.src_ip, 0, ip.dst_ip, 0));
        }
        return one(pair_key(0, ip.dst_ip, 0, ip.src_ip, 0));
    }
    case SplitStrategy::Mac: {
        FlowKeys out;
        if (packet.src_mac) {
            out.keys[out.count++] = mac_key(*packet.src_mac);
        }
        if (packet.dst_mac && !(packet.src_mac && *packet.src_mac == *packet.dst_mac)) {
            out.keys[out.count++] = mac_key(*packet.dst_mac);
        }
        return out.count == 0 ? fallback() : out;
    }
    case SplitStrategy::Bssid:
        if (!packet.bssid) {
            return fallback();
        }
        return one(mac_key(*packet.bssid));
    case SplitStrategy::NoSplit: {
        FlowKey k;
        k.tag = FlowKey::kNormal;
        return one(k);
    }
    }
    return fallback();
}

std::string flow_name(SplitStrategy strategy, const FlowKey& key) {
    if (key.tag == FlowKey::kFallback) {
        return std::string(fallback_name(strategy));
    }
    std::string out;
    switch (strategy) {
    case SplitStrategy::Session:
    case SplitStrategy::Flow:
        out.reserve(3 + 2 * 46 + 2 * 6);
        append_unsigned(out, key.proto);
        out.push_back('_');
        append_key_address(out, key.family_a, key.a);
        out.push_back('_');
        append_key_address(out, key.family_b, key.b);
        out.push_back('_');
        append_unsigned(out, key.port_a);
        out.push_back('_');
        append_unsigned(out, key.port_b);
        break;
    case SplitStrategy::Host:
        out.reserve(46);
        append_key_address(out, key.family_a, key.a);
        break;
    case SplitStrategy::HostPair:
        out.reserve(2 * 46);
        append_key_address(out, key.family_a, key.a);
        out.push_back('_');
        append_key_address(out, key.family_b, key.b);
        break;
    case SplitStrategy::Mac:
    case SplitStrategy::Bssid:
        out.reserve(12);
        append_mac(out, key.a);
        break;
    case SplitStrategy::NoSplit:
        out = "all";
        break;
    }
    // Later flows of the same endpoints: "-2", "-3", ...  No flow name holds
    // a '-' of its own, so the suffix cannot be read as belonging to it.
    if (key.seq != 0) {
        out.push_back('-');
        append_unsigned(out, key.seq + 1);
    }
    return out;
}

namespace {

struct StrategyName {
    std::string_view text;
    SplitStrategy strategy;
};

constexpr StrategyName kStrategyNames[] = {
    {"session", SplitStrategy::Session}, {"flow", SplitStrategy::Flow},
    {"host", SplitStrategy::Host},       {"hostpair", SplitStrategy::HostPair},
    {"mac", SplitStrategy::Mac},         {"bssid", SplitStrategy::Bssid},
    {"nosplit", SplitStrategy::NoSplit},
};

// Matching is defined on the full Unicode lower-case form of the text.  The
// only code point outside ASCII whose lower-case form is pure ASCII is U+212A
// KELVIN SIGN, which becomes 'k'; U+0130 becomes 'i' followed by U+0307, which
// is not ASCII.  So as long as no name contains 'k', a text with any byte
// above 0x7F can never match, and ASCII lower-casing of the rest is exact.
constexpr bool no_name_contains_k() {
    for (const auto& n : kStrategyNames) {
        if (n.text.find('k') != std::string_view::npos) {
            return false;
        }
    }
    return true;
}
static_assert(no_name_contains_k(),
              "a strategy name with 'k' needs U+212A KELVIN SIGN handled in parse_strategy");

} // namespace

Result<SplitStrategy> parse_strategy(std::string_view text) {
    for (const auto& n : kStrategyNames) {
        if (n.text.size() != text.size()) {
            continue;
        }
        bool equal = true;
        for (std::size_t i = 0; i < text.size() && equal; ++i) {
            auto c = static_cast<unsigned char>(text[i]);
            if (c >= 'A' && c <= 'Z') {
                c = static_cast<unsigned char>(c - 'A' + 'a');
            }
            // A non-ASCII byte never equals a name's ASCII letter.
            equal = c == static_cast<unsigned char>(n.text[i]);
        }
        if (equal) {
            return n.strategy;
        }
    }
    return value_error("Unknown strategy: " + std::string(text));
}

std::string strategy_names() {
    return comma_list(kStrategyNames, [](const StrategyName& n) { return n.text; });
}

} // namespace vexlor
