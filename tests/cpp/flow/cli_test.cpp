#include "flow/cli.h"

#include <gtest/gtest.h>

#include <optional>

namespace vexlor {
namespace {

using S = SplitStrategy;

struct StrategyCase {
    std::string_view text;
    std::optional<S> strategy; // nullopt: rejected
};

class ParseStrategy : public ::testing::TestWithParam<StrategyCase> {};

TEST_P(ParseStrategy, MatchesLowerCasedTextExactly) {
    const auto& c = GetParam();
    auto got = parse_strategy(c.text);
    if (c.strategy) {
        ASSERT_TRUE(got.has_value()) << c.text;
        EXPECT_EQ(*got, *c.strategy);
        return;
    }
    ASSERT_FALSE(got.has_value()) << c.text;
    EXPECT_EQ(got.error().kind, ErrorKind::Value);
    // The caller's text, not its lower-case form.
    EXPECT_EQ(got.error().message, "Unknown strategy: " + std::string(c.text));
}

INSTANTIATE_TEST_SUITE_P(
    Accepted, ParseStrategy,
    ::testing::Values(StrategyCase{"session", S::Session}, StrategyCase{"SESSION", S::Session},
                      StrategyCase{"Session", S::Session}, StrategyCase{"flow", S::Flow},
                      StrategyCase{"HoSt", S::Host}, StrategyCase{"hostPAIR", S::HostPair},
                      StrategyCase{"MAC", S::Mac}, StrategyCase{"bssid", S::Bssid},
                      StrategyCase{"NoSplit", S::NoSplit}));

INSTANTIATE_TEST_SUITE_P(
    Rejected, ParseStrategy,
    ::testing::Values(StrategyCase{"", std::nullopt}, StrategyCase{"sess", std::nullopt},
                      StrategyCase{" session", std::nullopt},
                      StrategyCase{"session ", std::nullopt},
                      StrategyCase{"SESSIONS", std::nullopt},
                      StrategyCase{"no-split", std::nullopt},
                      StrategyCase{std::string_view("flow\0", 5), std::nullopt},
                      // U+0130 lower-cases to "i" and U+0307, not to "i".
                      StrategyCase{"SESS\xC4\xB0ON", std::nullopt},
                      // U+017F LATIN SMALL LETTER LONG S stays itself.
                      StrategyCase{"\xC5\xBF" "ession", std::nullopt},
                      // Fullwidth letters are other characters.
                      StrategyCase{"\xEF\xBD\x8D" "ac", std::nullopt},
                      // Bytes that are not UTF-8 at all.
                      StrategyCase{"\xFF" "low", std::nullopt}));

} // namespace
} // namespace vexlor
