#include <gtest/gtest.h>

#include "common/text.h"

namespace vexlor {
namespace {

// Each maximal ill-formed part is one U+FFFD, as Python's decode(errors="replace") has it.
TEST(Utf8OrReplaced, KeepsWellFormedTextAndReplacesEachIllFormedPart) {
    const std::string r = "\xEF\xBF\xBD";
    const std::pair<std::string, std::string> cases[] = {
        {"caf\xC3\xA9 \xF0\x9F\x98\x80", "caf\xC3\xA9 \xF0\x9F\x98\x80"},
        {"lat\xE9.pcap", "lat" + r + ".pcap"},
        {"\xC0\xAF", r + r},                 // overlong
        {"\xED\xA0\x80", r + r + r},         // a surrogate
        {"\xF4\x90\x80\x80", r + r + r + r}, // past U+10FFFF
        {"\xE2\x82x", r + "x"},              // cut short, then ASCII
        {"\xF0\x9F\x98", r},                 // cut short at the end
        {"a\xFF"
         "b",
         "a" + r + "b"},
    };
    for (const auto& [in, want] : cases) {
        EXPECT_EQ(utf8_or_replaced(in), want) << in;
    }
}

} // namespace
} // namespace vexlor
