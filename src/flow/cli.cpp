#include "flow/cli.h"

#include <string>

namespace vexlor {
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

} // namespace vexlor
