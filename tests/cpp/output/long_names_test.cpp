#include <gtest/gtest.h>

#include <climits>

#include "output/split_writer.h"

namespace vexlor {
namespace {

struct NameCase {
    std::size_t prefix_len;
    const char* ext;
    bool shorten;
    bool shortened; // expected: ends in a hash
};

// The limit counts the temporary name ".NAME.tmp": a final name of 250 bytes
// is the longest kept whole.
constexpr NameCase kNameCases[] = {
    {10, ".pcap", true, false},
    {250 - 5 - 4, ".pcap", true, false}, // "P_all.pcap" of exactly 250 bytes
    {250 - 5 - 3, ".pcap", true, true},  // one more
    {250 - 3 - 3, ".l7", true, true},
    {400, ".pcap", true, true},
    {400, ".pcap", false, false}, // the module's names, whatever their length
};

TEST(SplitFileName, NamesPastTheLimitAreShortenedStably) {
    for (const NameCase& c : kNameCases) {
        const std::string prefix(c.prefix_len, 'p');
        const std::string name = split_file_name(prefix, "all", c.ext, c.shorten);
        const bool hashed = name.size() != c.prefix_len + 4 + std::string_view(c.ext).size();
        EXPECT_EQ(hashed, c.shortened) << c.prefix_len << c.ext;
        if (c.shorten) {
            EXPECT_LE(("." + name + ".tmp").size(), std::size_t{NAME_MAX});
        }
        EXPECT_TRUE(name.ends_with(c.ext));
        EXPECT_EQ(name, split_file_name(prefix, "all", c.ext, c.shorten));
    }
    // Names that differ only past the cut get different hashes.
    const std::string prefix(300, 'p');
    EXPECT_NE(split_file_name(prefix, "a", ".pcap", true),
              split_file_name(prefix, "b", ".pcap", true));
}

} // namespace
} // namespace vexlor
