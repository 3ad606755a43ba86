#include "common/ip_text.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace vexlor {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

void append_decimal(std::string& out, unsigned v) {
    char buf[3];
    int n = 0;
    do {
        buf[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    while (n > 0) {
        out.push_back(buf[--n]);
    }
}

void append_dotted(std::string& out, const std::uint8_t* p) {
    for (int i = 0; i < 4; ++i) {
        if (i != 0) {
            out.push_back('.');
        }
        append_decimal(out, p[i]);
    }
}

// One group as lower-case hexadecimal without leading zeros.
void append_group(std::string& out, unsigned g) {
    bool started = false;
    for (int shift = 12; shift >= 0; shift -= 4) {
        unsigned nibble = (g >> shift) & 0xF;
        if (nibble != 0 || started || shift == 0) {
            out.push_back(kHexDigits[nibble]);
            started = true;
        }
    }
}

bool is_v4_mapped(const std::array<std::uint8_t, 16>& b) {
    for (int i = 0; i < 10; ++i) {
        if (b[i] != 0) {
            return false;
        }
    }
    return b[10] == 0xFF && b[11] == 0xFF;
}

void append_v6(std::string& out, const std::array<std::uint8_t, 16>& b) {
    // Only the IPv4-mapped form keeps a dotted tail; the deprecated
    // IPv4-compatible form (::a.b.c.d) is written as hex groups like any
    // other address, so that one address has exactly one text.
    if (is_v4_mapped(b)) {
        out += "::ffff:";
        append_dotted(out, b.data() + 12);
        return;
    }
    unsigned groups[8];
    for (int i = 0; i < 8; ++i) {
        groups[i] = (static_cast<unsigned>(b[2 * i]) << 8) | b[2 * i + 1];
    }
    // The longest run of two or more zero groups; the first one wins a tie.
    int best_start = -1;
    int best_len = 1;
    for (int i = 0; i < 8;) {
        if (groups[i] != 0) {
            ++i;
            continue;
        }
        int j = i;
        while (j < 8 && groups[j] == 0) {
            ++j;
        }
        if (j - i > best_len) {
            best_start = i;
            best_len = j - i;
        }
        i = j;
    }
    for (int i = 0; i < 8; ++i) {
        if (i == best_start) {
            out += "::";
            i += best_len - 1;
            continue;
        }
        if (i != 0 && i != best_start + best_len) {
            out.push_back(':');
        }
        append_group(out, groups[i]);
    }
}

// Four decimal numbers 0..255 separated by dots, no leading zeros, nothing
// else: the form every tool prints, and no octal or shortened forms that some
// parsers accept.
bool parse_dotted(std::string_view s, std::uint8_t* out) {
    std::size_t pos = 0;
    for (int part = 0; part < 4; ++part) {
        if (part != 0) {
            if (pos >= s.size() || s[pos] != '.') {
                return false;
            }
            ++pos;
        }
        std::size_t start = pos;
        unsigned v = 0;
        while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9' && pos - start < 3) {
            v = v * 10 + static_cast<unsigned>(s[pos] - '0');
            ++pos;
        }
        std::size_t len = pos - start;
        if (len == 0 || v > 255 || (len > 1 && s[start] == '0')) {
            return false;
        }
        out[part] = static_cast<std::uint8_t>(v);
    }
    return pos == s.size();
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// The text forms of RFC 4291 section 2.2: eight groups of one to four hex
// digits, at most one "::" standing for one or more zero groups, and the last
// two groups optionally written as a dotted IPv4 address.
bool parse_v6(std::string_view s, std::uint8_t* out) {
    std::uint8_t head[16] = {};
    std::uint8_t tail[16] = {};
    int head_len = 0; // bytes before "::", or all bytes without one
    int tail_len = 0; // bytes after "::"
    bool gap = false;
    std::size_t pos = 0;

    if (s.size() >= 2 && s[0] == ':' && s[1] == ':') {
        gap = true;
        pos = 2;
        if (pos == s.size()) {
            std::fill(out, out + 16, 0);
            return true;
        }
    } else if (s.empty() || s[0] == ':') {
        return false;
    }

    for (;;) {
        std::uint8_t* dst = gap ? tail : head;
        int& len = gap ? tail_len : head_len;
        // A group: up to four hex digits, or a dotted IPv4 tail if a '.'
        // turns up before the next ':'.
        std::size_t end = pos;
        while (end < s.size() && s[end] != ':') {
            ++end;
        }
        std::string_view field = s.substr(pos, end - pos);
        if (field.find('.') != std::string_view::npos) {
            if (end != s.size() || head_len + tail_len + 4 > 16) {
                return false;
            }
            if (!parse_dotted(field, dst + len)) {
                return false;
            }
            len += 4;
            break;
        }
        if (field.empty() || field.size() > 4 || head_len + tail_len + 2 > 16) {
            return false;
        }
        unsigned g = 0;
        for (char c : field) {
            int v = hex_value(c);
            if (v < 0) {
                return false;
            }
            g = (g << 4) | static_cast<unsigned>(v);
        }
        dst[len] = static_cast<std::uint8_t>(g >> 8);
        dst[len + 1] = static_cast<std::uint8_t>(g);
        len += 2;
        if (end == s.size()) {
            break;
        }
        // s[end] is ':'; a second one right after is the "::" gap.
        pos = end + 1;
        if (pos < s.size() && s[pos] == ':') {
            if (gap) {
                return false; // a second "::", or ":::"
            }
            gap = true;
            ++pos;
            if (pos == s.size()) {
                break; // trailing "::"
            }
        } else if (pos == s.size()) {
            return false; // a single trailing ':'
        }
    }

    int total = head_len + tail_len;
    if (gap ? total > 14 : total != 16) {
        return false; // "::" must stand for at least one group
    }
    std::fill(out, out + 16, 0);
    std::copy(head, head + head_len, out);
    std::copy(tail, tail + tail_len, out + 16 - tail_len);
    return true;
}

} // namespace

void append_ip(std::string& out, const IpAddress& addr) {
    if (addr.is_v4()) {
        append_dotted(out, addr.bytes.data());
    } else {
        append_v6(out, addr.bytes);
    }
}

std::string format_ip(const IpAddress& addr) {
    std::string out;
    out.reserve(addr.is_v4() ? 15 : 45);
    append_ip(out, addr);
    return out;
}

std::string format_ip_full(const IpAddress& addr) {
    std::string out;
    if (addr.is_v4()) {
        append_dotted(out, addr.bytes.data());
        return out;
    }
    for (std::size_t i = 0; i < 16; ++i) {
        if (i > 0 && i % 2 == 0) {
            out += ':';
        }
        out += kHexDigits[addr.bytes[i] >> 4];
        out += kHexDigits[addr.bytes[i] & 0xF];
    }
    return out;
}

std::optional<IpAddress> parse_ip(std::string_view text) {
    IpAddress addr;
    if (text.find(':') == std::string_view::npos) {
        addr.family = IpAddress::Family::V4;
        if (!parse_dotted(text, addr.bytes.data())) {
            return std::nullopt;
        }
        return addr;
    }
    addr.family = IpAddress::Family::V6;
    if (!parse_v6(text, addr.bytes.data())) {
        return std::nullopt;
    }
    return addr;
}

} // namespace vexlor
