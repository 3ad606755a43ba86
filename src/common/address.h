// Link-layer and IP addresses as frames carry them.
#pragma once

#include <algorithm>
#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>

namespace vexlor {

struct MacAddress {
    std::array<std::uint8_t, 6> bytes{};
    friend bool operator==(const MacAddress&, const MacAddress&) = default;
};

// IPv4 (first 4 bytes used, the rest zero) or IPv6, network order.
struct IpAddress {
    enum class Family : std::uint8_t { V4 = 4, V6 = 6 };
    Family family = Family::V4;
    std::array<std::uint8_t, 16> bytes{};

    static IpAddress v4(const std::uint8_t* p) { return of(Family::V4, p, 4); }
    static IpAddress v6(const std::uint8_t* p) { return of(Family::V6, p, 16); }
    bool is_v4() const { return family == Family::V4; }
    std::size_t length() const { return is_v4() ? 4 : 16; }

    // Family-exact equality: 10.0.0.1 never equals ::ffff:10.0.0.1.
    friend bool operator==(const IpAddress&, const IpAddress&) = default;

    // Endpoint order: every IPv4 address below every IPv6 address, then the
    // bytes as an unsigned big-endian number.
    friend std::strong_ordering operator<=>(const IpAddress& a, const IpAddress& b) {
        if (a.family != b.family) {
            return a.is_v4() ? std::strong_ordering::less : std::strong_ordering::greater;
        }
        return a.bytes <=> b.bytes;
    }

    static IpAddress of(Family f, const std::uint8_t* p, std::size_t n) {
        IpAddress a;
        a.family = f;
        std::copy_n(p, n, a.bytes.begin());
        return a;
    }

    // The 16-byte form of archives: IPv4 as IPv4-mapped IPv6.
    std::array<std::uint8_t, 16> mapped16() const {
        if (!is_v4()) {
            return bytes;
        }
        std::array<std::uint8_t, 16> out{};
        out[10] = 0xFF;
        out[11] = 0xFF;
        for (int i = 0; i < 4; ++i) {
            out[12 + i] = bytes[i];
        }
        return out;
    }
};

// The 16-byte address form of archives: IPv6 as is, IPv4 as IPv4-mapped
// IPv6, so both families sort in one key space; all zero without address.
using Address16 = std::array<std::uint8_t, 16>;

// The address a 16-byte form stands for: IPv4 when it is IPv4-mapped.
inline IpAddress from_address16(const Address16& a) {
    bool mapped = a[10] == 0xFF && a[11] == 0xFF;
    for (int i = 0; i < 10 && mapped; ++i) {
        mapped = a[i] == 0;
    }
    return mapped ? IpAddress::v4(a.data() + 12) : IpAddress::v6(a.data());
}

} // namespace vexlor
