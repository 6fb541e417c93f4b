// Table memory: allocate_tables() hands out zeroed memory on a large page
// boundary, and populate_tables() maps in every page that its ranges
// touch, and nothing else, on any number of threads, whichever page size
// it ends up with; the memory stays zero and writable. allocate_large_page()
// hands out one large page's worth, zeroed, aligned and mapped in whole.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "platform/platform.h"
#include "support/test_support.h"

namespace taq::platform {
namespace {

constexpr size_t kPage = 4096;

// Which pages of [p, p + bytes) are mapped in.
std::vector<bool> resident(const uint8_t* p, size_t bytes) {
    std::vector<bool> out = test::resident_pages(p, bytes);
    EXPECT_EQ(out.size(), (bytes + kPage - 1) / kPage);
    out.resize((bytes + kPage - 1) / kPage);
    return out;
}

TEST(TableMemory, PopulateMapsExactlyThePagesOfItsRanges) {
    if (test::under_emulator()) GTEST_SKIP() << "the emulator does not map memory in ahead";
    const size_t bytes = 12 * kLargePage + 3 * kPage;
    // Slow from 0 ns on: every large page counts as slow, so that the
    // threads stop after their first and the rest takes small pages.
    struct Mode {
        bool small_when_slow;
        uint64_t slow_ns;
    };
    for (const Mode mode : {Mode{false, kSlowLargePageNs}, Mode{true, kSlowLargePageNs}, Mode{true, 0}}) {
        const bool small_when_slow = mode.small_when_slow;
        for (unsigned threads : {1u, 2u, 3u}) {
            auto* p = static_cast<uint8_t*>(allocate_tables(bytes));
            ASSERT_NE(p, nullptr);
            EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % kLargePage, 0u);
            // Large pages on the first half only; ranges that start and end
            // inside pages, gaps between them, one across the end of the
            // advised half, and the tail left alone. Enough in all for
            // three threads.
            advise_large_pages(p, 6 * kLargePage);
            const std::vector<PageRange> ranges = {
                {p + 100, 2 * kLargePage + 7},
                {p + 4 * kLargePage + kPage, 4 * kLargePage},
                {p + 10 * kLargePage, 64},
            };
            populate_tables(ranges, threads, small_when_slow, mode.slow_ns);

            const std::vector<bool> in = resident(p, bytes);
            std::vector<bool> want(in.size(), false);
            for (const PageRange& r : ranges) {
                const size_t from = static_cast<size_t>(static_cast<uint8_t*>(r.p) - p);
                for (size_t page = from / kPage; page <= (from + r.bytes - 1) / kPage; ++page) want[page] = true;
            }
            for (size_t page = 0; page < in.size(); ++page) {
                // A large page maps its neighbours in as well; beyond the
                // advised half every page must be as the ranges say.
                if (want[page]) {
                    EXPECT_TRUE(in[page]) << page << " " << threads << " " << small_when_slow << " " << mode.slow_ns;
                } else if (page * kPage >= 6 * kLargePage) {
                    EXPECT_FALSE(in[page]) << page << " " << threads << " " << mode.slow_ns;
                }
            }
            for (size_t i = 0; i < bytes; i += 997) ASSERT_EQ(p[i], 0) << i;
            p[bytes - 1] = 1;
            release_tables(p, bytes);
        }
    }
}

TEST(TableMemory, ALargePageIsZeroAlignedAndMappedInWhole) {
    if (test::under_emulator()) GTEST_SKIP() << "the emulator does not map memory in ahead";
    for (int round = 0; round < 3; ++round) {
        auto* p = static_cast<uint8_t*>(allocate_large_page());
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % kLargePage, 0u);
        const std::vector<bool> in = resident(p, kLargePage);
        for (size_t page = 0; page < in.size(); ++page) EXPECT_TRUE(in[page]) << page;
        for (size_t i = 0; i < kLargePage; i += 61) ASSERT_EQ(p[i], 0) << i;
        // Dirty it, so that a later round would see stale bytes if the
        // memory came back uncleared.
        for (size_t i = 0; i < kLargePage; i += 61) p[i] = 0xA5;
        release_tables(p, kLargePage);
    }
}

}  // namespace
}  // namespace taq::platform
