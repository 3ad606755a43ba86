#include "flow/cli.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace vexlor {
namespace {

using S = SplitStrategy;

TEST(ParseStrategy, MatchesTheNamesInAnyCaseAndNothingElse) {
    const std::pair<std::string_view, std::optional<S>> cases[] = {
        {"session", S::Session}, {"SESSION", S::Session}, {"flow", S::Flow}, {"HoSt", S::Host},
        {"hostPAIR", S::HostPair}, {"MAC", S::Mac}, {"bssid", S::Bssid}, {"NoSplit", S::NoSplit},
        {"", {}}, {"sess", {}}, {" session", {}}, {"session ", {}}, {"SESSIONS", {}},
        {"no-split", {}}, {std::string_view("flow\0", 5), {}},
        // Only ASCII letters are lower-cased: U+017F LATIN SMALL LETTER LONG
        // S would case-fold to "s", and U+0130 lower-cases to "i" + U+0307.
        {"\xC5\xBF" "ession", {}}, {"SESS\xC4\xB0ON", {}},
        {"\xFF" "low", {}}, // not UTF-8 at all
    };
    for (const auto& [text, strategy] : cases) {
        auto got = parse_strategy(text);
        ASSERT_EQ(got.has_value(), strategy.has_value()) << text;
        if (strategy) {
            EXPECT_EQ(*got, *strategy) << text;
        } else {
            EXPECT_EQ(got.error().kind, ErrorKind::Value);
            // The caller's text, not its lower-case form.
            EXPECT_EQ(got.error().message, "Unknown strategy: " + std::string(text));
        }
    }
}

} // namespace
} // namespace vexlor
