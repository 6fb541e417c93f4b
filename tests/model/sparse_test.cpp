// The small-input map: entries start as zeros, keep what is written to
// them through growth, are listed once each, and are gone after a clear.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <utility>

#include "model/sparse.h"

namespace taq {
namespace {

using Key = std::pair<uint32_t, uint32_t>;

TEST(SparseTables, KeepsEntriesThroughGrowthAndClears) {
    SparseTables map(200000);
    map.clear(10);
    std::map<Key, uint8_t> want;
    uint32_t x = 12345;
    for (int i = 0; i < 150000; ++i) {
        map.reserve(1);
        x = x * 1103515245u + 12345u;
        // Few distinct indices, so that most lookups find an entry.
        const uint32_t table = (x >> 8) % 4, index = (x >> 12) % 40000;
        uint8_t* b = map.at(table, index);
        const auto it = want.find({table, index});
        ASSERT_EQ(b[5], it == want.end() ? 0 : it->second) << i;
        if (it == want.end()) {
            uint8_t zeros[16] = {};
            ASSERT_EQ(std::memcmp(b, zeros, 16), 0);
        }
        b[5] = static_cast<uint8_t>(i | 1);
        want[{table, index}] = b[5];
    }
    EXPECT_EQ(map.size(), want.size());

    size_t listed = 0;
    map.for_each([&](uint32_t table, uint32_t index, const uint8_t* b) {
        ++listed;
        const auto it = want.find({table, index});
        ASSERT_NE(it, want.end());
        EXPECT_EQ(b[5], it->second);
    });
    EXPECT_EQ(listed, want.size());

    // Match slots: four to an entry, each its own.
    *map.slot(8) = 1;
    *map.slot(9) = 2;
    *map.slot(12) = 3;
    EXPECT_EQ(*map.slot(8), 1u);
    EXPECT_EQ(*map.slot(9), 2u);
    EXPECT_EQ(*map.slot(11), 0u);
    EXPECT_EQ(*map.slot(12), 3u);

    // Smaller after the clear: nothing left over from before.
    map.clear(100);
    EXPECT_EQ(map.size(), 0u);
    EXPECT_EQ(map.at(want.begin()->first.first, want.begin()->first.second)[5], 0);
    EXPECT_EQ(*map.slot(9), 0u);
    map.clear(100000);
    size_t left = 0;
    map.for_each([&](uint32_t, uint32_t, const uint8_t*) { ++left; });
    EXPECT_EQ(left, 0u);
}

// Past what it was reserved for the map stops growing but still finds and
// inserts (its lines have a third more room than its load).
TEST(SparseTables, KeepsWorkingPastItsReserve) {
    SparseTables map(1000);
    map.clear(0);
    for (uint32_t i = 0; i < 2800; ++i) {
        map.reserve(1);
        map.at(i % 4, i)[0] = static_cast<uint8_t>(i);
    }
    EXPECT_EQ(map.size(), 2800u);
    for (uint32_t i = 0; i < 2800; ++i) ASSERT_EQ(map.at(i % 4, i)[0], static_cast<uint8_t>(i)) << i;
}

}  // namespace
}  // namespace taq
