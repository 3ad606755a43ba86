// Small text helpers shared by the front ends and the core.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

namespace vexlor {

// ASCII lower-casing; other bytes are kept as they are.
inline std::string ascii_lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

// `text` as valid UTF-8: each maximal part of an ill-formed sequence
// (overlong forms, surrogates and code points past U+10FFFF are) becomes one
// U+FFFD, as Python's "replace" error handler makes it.
inline std::string utf8_or_replaced(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        const std::size_t n = c < 0x80                 ? 1
                              : c >= 0xC2 && c <= 0xDF ? 2
                              : c >= 0xE0 && c <= 0xEF ? 3
                              : c >= 0xF0 && c <= 0xF4 ? 4
                                                       : 0;
        // The bytes that still make a sequence's start.
        std::size_t good = n == 0 ? 0 : 1;
        while (good < n && i + good < text.size()) {
            const auto b = static_cast<unsigned char>(text[i + good]);
            // The second byte's range narrows after E0, ED, F0 and F4.
            const unsigned lo = good > 1 ? 0x80 : c == 0xE0 ? 0xA0 : c == 0xF0 ? 0x90 : 0x80;
            const unsigned hi = good > 1 ? 0xBF : c == 0xED ? 0x9F : c == 0xF4 ? 0x8F : 0xBF;
            if (b < lo || b > hi) {
                break;
            }
            ++good;
        }
        if (n != 0 && good == n) {
            out.append(text.substr(i, n));
        } else {
            out += "\xEF\xBF\xBD";
        }
        i += std::max<std::size_t>(good == n ? n : good, 1);
    }
    return out;
}

// The names of `items` (by `name_of`) separated by ", ", for messages that
// list what is valid.
template <class Range, class NameOf> std::string comma_list(const Range& items, NameOf name_of) {
    std::string out;
    for (const auto& item : items) {
        out += out.empty() ? "" : ", ";
        out += name_of(item);
    }
    return out;
}

// The longest name a directory entry takes on the file systems written to
// (ext4, XFS, tmpfs, NFS).
inline constexpr std::size_t kNameMax = 255;

// `name` as it is when at most `most` bytes long (`most` above 17), else cut
// to its first bytes, "_" and 16 hex digits of a hash (FNV-1a) of the whole:
// the same name in every run, unlike std::hash's.
inline std::string shortened(std::string_view name, std::size_t most) {
    if (name.size() <= most) {
        return std::string(name);
    }
    std::uint64_t h = 0xcbf29ce484222325u;
    for (const char c : name) {
        h = (h ^ static_cast<unsigned char>(c)) * 0x100000001b3u;
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string tag(17, '_');
    for (std::size_t i = 16; i >= 1; --i, h >>= 4) {
        tag[i] = kHex[h & 15];
    }
    return std::string(name.substr(0, most - tag.size())) + tag;
}

// `path` with `suffix` appended to its last part: the name of a file made
// beside it and renamed to it when whole ("OUT.tmp").  Where that name would
// be too long for a directory entry though `path` is not, the last part is
// shortened; the same `path` always gives the same name, so that a rerun
// finds what a killed run left.
inline std::string beside(std::string_view path, std::string_view suffix) {
    const std::size_t slash = path.rfind('/');
    const std::string_view name = path.substr(slash == std::string_view::npos ? 0 : slash + 1);
    // A `path` too long itself is left to fail where it is first made.
    if (name.size() + suffix.size() <= kNameMax || name.size() > kNameMax ||
        suffix.size() + 18 > kNameMax) {
        return std::string(path) + std::string(suffix);
    }
    return std::string(path.substr(0, path.size() - name.size())) +
           shortened(name, kNameMax - suffix.size()) + std::string(suffix);
}

} // namespace vexlor
