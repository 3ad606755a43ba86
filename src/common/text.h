// Small text helpers shared by the front ends and the core.
#pragma once

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

} // namespace vexlor
