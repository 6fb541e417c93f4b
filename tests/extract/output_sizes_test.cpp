// The size a restored file ends with when several entries write it: pieces
// of one version, and versions appended by later runs.
#include <gtest/gtest.h>

#include "extract/extract.h"

namespace taq {
namespace {

constexpr uint64_t kMiB = 1048576;

TEST(OutputSizes, NewestVersionDecides) {
    OutputSizes s;
    s.add("a", 0, 1000);  // first run
    s.add("a", 0, 100);   // a shorter version appended later
    EXPECT_EQ(s.final_size("a"), 100u);

    s.add("b", 0, 100);
    s.add("b", 0, 1000);  // a longer one
    EXPECT_EQ(s.final_size("b"), 1000u);

    s.add("c", 0, 1000);
    s.add("c", 0, 0);  // now empty
    EXPECT_EQ(s.final_size("c"), 0u);
    EXPECT_EQ(s.final_size("never written"), 0u);
}

TEST(OutputSizes, PiecesOfOneVersionAddUpInAnyOrder) {
    OutputSizes s;
    // Pieces of 8 MiB written by several tasks: a later piece may stand
    // before the first one in the archive.
    s.add("f", 8 * kMiB, 8 * kMiB);
    s.add("f", 16 * kMiB, 4 * kMiB);
    s.add("f", 0, 8 * kMiB);
    EXPECT_EQ(s.final_size("f"), 20 * kMiB);

    // The same after an older, shorter version of the file.
    s.add("g", 0, 3 * kMiB);
    s.add("g", 9 * kMiB, 9 * kMiB);
    s.add("g", 0, 9 * kMiB);
    EXPECT_EQ(s.final_size("g"), 18 * kMiB);
}

TEST(OutputSizes, OlderLongerVersionInPiecesDoesNotExtendANewOne) {
    OutputSizes s;
    s.add("h", 0, 8 * kMiB);
    s.add("h", 8 * kMiB, 4 * kMiB);
    s.add("h", 0, 5);  // a small new version: one piece, the whole file
    EXPECT_EQ(s.final_size("h"), 5u);
}

}  // namespace
}  // namespace taq
