// The index of an archive's headers: the chain from the start, where it
// stops and why, which entries have whole headers, and lookups by offset;
// over a buffer in memory as over a file.
#include <gtest/gtest.h>

#include "archive/index.h"
#include "support/test_support.h"

using namespace taq;

namespace {

ArchiveIndex index_of(const std::string& bytes) {
    return ArchiveIndex::read(Source::memory(bytes.data(), bytes.size()), bytes.size());
}

}  // namespace

TEST(ArchiveIndex, ChainOfEntriesAndLookups) {
    const std::string a = test::make_entry("a", "d/"), b = test::make_entry("b", "", true, true),
                      c = test::make_entry("c", "", true, false);
    const ArchiveIndex index = index_of(a + b + c);
    ASSERT_EQ(index.entries().size(), 3u);
    EXPECT_EQ(index.complete(), 3u);
    EXPECT_EQ(index.end(), index.archive_size());
    EXPECT_EQ(index.entries()[0].header.stored_path(), "d/a");
    EXPECT_EQ(index.entries()[2].offset, a.size() + b.size());
    EXPECT_FALSE(index.entries()[2].header.reset_flag);
    EXPECT_EQ(index.find(a.size()), 1u);
    EXPECT_EQ(index.find(a.size() + 1), 3u);
    EXPECT_EQ(index_of("").entries().size(), 0u);
}

TEST(ArchiveIndex, StopsAtTheFirstHeaderThatCannotBeReadAndSaysWhy) {
    const std::string a = test::make_entry("a", ""), b = test::make_entry("b", "");
    std::string bytes = a + b + std::string(5, '\x01');
    const ArchiveIndex index = index_of(bytes);
    EXPECT_EQ(index.entries().size(), 2u);
    EXPECT_EQ(index.end(), a.size() + b.size());
    EXPECT_EQ(index.why(), "entry header cut short");

    // An entry whose names read but whose fixed fields lie past its end
    // (48 bytes for a one-letter name) stays in the chain, but the entries
    // from it on are not among the complete ones.
    std::string cut = a.substr(0, 48);
    cut[0] = 48;
    const ArchiveIndex partial = index_of(b + cut + b);
    ASSERT_EQ(partial.entries().size(), 3u);
    EXPECT_FALSE(partial.entries()[1].complete);
    EXPECT_TRUE(partial.entries()[2].complete);
    EXPECT_EQ(partial.complete(), 1u);
    EXPECT_EQ(partial.end(), partial.archive_size());
}
