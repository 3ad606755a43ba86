#include "flow/community_id.h"

#include <algorithm>
#include <bit>
#include <vector>

#include "packet/protocols.h"

namespace vexlor {

namespace {

std::uint32_t load32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}

void compress(std::array<std::uint32_t, 5>& h, const std::uint8_t* block) {
    std::uint32_t w[80];
    for (int i = 0; i < 16; ++i) {
        w[i] = load32(block + 4 * i);
    }
    for (int i = 16; i < 80; ++i) {
        w[i] = std::rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    }
    std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
    for (int i = 0; i < 80; ++i) {
        std::uint32_t f, k;
        if (i < 20) {
            f = (b & c) | (~b & d);
            k = 0x5A827999;
        } else if (i < 40) {
            f = b ^ c ^ d;
            k = 0x6ED9EBA1;
        } else if (i < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8F1BBCDC;
        } else {
            f = b ^ c ^ d;
            k = 0xCA62C1D6;
        }
        const std::uint32_t t = std::rotl(a, 5) + f + e + k + w[i];
        e = d;
        d = c;
        c = std::rotl(b, 30);
        b = a;
        a = t;
    }
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
    h[4] += e;
}

// The message type that answers `type`, when ICMP pairs it with one: such
// flows are two-way, and the answer's type stands in for the code.
int icmp_counterpart(std::uint8_t proto, std::uint16_t type) {
    static constexpr std::pair<int, int> kV4[] = {{8, 0},   {0, 8},  {13, 14}, {14, 13}, {15, 16},
                                                  {16, 15}, {10, 9}, {9, 10},  {17, 18}, {18, 17}};
    static constexpr std::pair<int, int> kV6[] = {{128, 129}, {129, 128}, {133, 134}, {134, 133},
                                                  {135, 136}, {136, 135}, {130, 131}, {131, 130},
                                                  {139, 140}, {140, 139}, {144, 145}, {145, 144}};
    const std::span<const std::pair<int, int>> pairs =
        proto == kProtoIcmp ? std::span<const std::pair<int, int>>(kV4) : kV6;
    for (auto [from, to] : pairs) {
        if (from == type) {
            return to;
        }
    }
    return -1;
}

} // namespace

std::array<std::uint8_t, 20> sha1(std::span<const std::uint8_t> bytes) {
    std::array<std::uint32_t, 5> h{0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
    std::size_t whole = bytes.size() / 64 * 64;
    for (std::size_t i = 0; i < whole; i += 64) {
        compress(h, bytes.data() + i);
    }
    // The tail, the 0x80 marker and the length in bits fill one or two blocks.
    std::uint8_t tail[128] = {};
    const std::size_t rest = bytes.size() - whole;
    std::copy_n(bytes.data() + whole, rest, tail);
    tail[rest] = 0x80;
    const std::size_t blocks = rest + 9 > 64 ? 2 : 1;
    const std::uint64_t bits = std::uint64_t(bytes.size()) * 8;
    for (int i = 0; i < 8; ++i) {
        tail[blocks * 64 - 1 - i] = static_cast<std::uint8_t>(bits >> (8 * i));
    }
    for (std::size_t b = 0; b < blocks; ++b) {
        compress(h, tail + 64 * b);
    }
    std::array<std::uint8_t, 20> out{};
    for (int i = 0; i < 20; ++i) {
        out[i] = static_cast<std::uint8_t>(h[i / 4] >> (24 - 8 * (i % 4)));
    }
    return out;
}

std::string base64(std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
        std::uint32_t v = std::uint32_t(bytes[i]) << 16;
        v |= n > 1 ? std::uint32_t(bytes[i + 1]) << 8 : 0;
        v |= n > 2 ? bytes[i + 2] : 0;
        for (std::size_t k = 0; k < 4; ++k) {
            out += k <= n ? kDigits[(v >> (18 - 6 * k)) & 0x3F] : '=';
        }
    }
    return out;
}

std::string community_id(const CommunityTuple& t, std::uint16_t seed) {
    const bool ports = t.proto == kProtoTcp || t.proto == kProtoUdp || t.proto == kProtoSctp ||
                       t.proto == kProtoIcmp || t.proto == kProtoIcmpv6;
    std::uint16_t sport = t.src_port, dport = t.dst_port;
    bool one_way = false;
    if (t.proto == kProtoIcmp || t.proto == kProtoIcmpv6) {
        const int answer = icmp_counterpart(t.proto, sport);
        one_way = answer < 0;
        if (!one_way) {
            dport = static_cast<std::uint16_t>(answer);
        }
    }
    const std::size_t len = t.src.length();
    const auto a = std::span(t.src.bytes).first(len);
    const auto b = std::span(t.dst.bytes).first(len);
    const bool ordered = one_way || std::ranges::lexicographical_compare(a, b) ||
                         (std::ranges::equal(a, b) && ports && sport < dport);
    std::vector<std::uint8_t> in;
    in.push_back(static_cast<std::uint8_t>(seed >> 8));
    in.push_back(static_cast<std::uint8_t>(seed));
    in.insert(in.end(), (ordered ? a : b).begin(), (ordered ? a : b).end());
    in.insert(in.end(), (ordered ? b : a).begin(), (ordered ? b : a).end());
    in.push_back(t.proto);
    in.push_back(0);
    if (ports) {
        for (std::uint16_t p : {ordered ? sport : dport, ordered ? dport : sport}) {
            in.push_back(static_cast<std::uint8_t>(p >> 8));
            in.push_back(static_cast<std::uint8_t>(p));
        }
    }
    return "1:" + base64(sha1(in));
}

} // namespace vexlor
