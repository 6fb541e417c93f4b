// What a parent hands to its extraction children.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive/entry.h"
#include "tasks/extraction_parent.h"

namespace taq {
namespace {

// Entry at `offset` writing [start, start + size) of `path` ("" when not
// selected).
struct E {
    uint64_t offset;
    bool reset;
    std::string path;
    uint64_t start = 0;
    int64_t size = 100;
};

std::vector<PlannedRun> plan(const std::vector<E>& entries) {
    RunPlan p;
    for (const E& e : entries) {
        EntryHeader h;
        h.reset_flag = e.reset ? 1 : 0;
        h.range_start = e.start;
        h.data_size = e.size;
        p.add(h, e.offset, e.path);
    }
    return p.finish();
}

using R = PlannedRun;
PlannedJob sel(uint64_t offset) { return {offset, true}; }
PlannedJob skip(uint64_t offset) { return {offset, false}; }

TEST(RunPlan, NonSolidEntriesAreRunsOfOneAndOnlySelectedOnesGo) {
    EXPECT_EQ(plan({{0, true, "a"}, {10, true, ""}, {20, true, "c"}}), (std::vector<R>{{sel(0)}, {sel(20)}}));
}

// `t` writes nothing: its runs are never joined for writing the same bytes.
TEST(RunPlan, TestedRunsStaySeparate) {
    EXPECT_EQ(plan({{0, true, kTestedOnly, 0, 100}, {10, true, kTestedOnly, 0, 100}, {20, true, "", 0, 100}}),
              (std::vector<R>{{sel(0)}, {sel(10)}}));
}

TEST(RunPlan, SolidRunsGoFromTheirStartToTheirLastSelectedEntry) {
    const std::vector<R> got = plan({{0, true, ""}, {10, false, "b"}, {20, false, ""}, {30, false, "d"},
                                     {40, false, ""},                              // after the last selected one
                                     {50, true, ""}, {60, false, ""},              // nothing selected
                                     {70, true, ""}, {80, false, "i"}});
    EXPECT_EQ(got, (std::vector<R>{{skip(0), sel(10), skip(20), sel(30)}, {skip(70), sel(80)}}));
    // An archive that does not begin with a reset entry still forms a run.
    EXPECT_EQ(plan({{0, false, "a"}, {10, false, "b"}}), (std::vector<R>{{sel(0), sel(10)}}));
}

TEST(RunPlan, OnlyRunsWritingTheSameBytesAreJoined) {
    const std::vector<R> got = plan({
        {0, true, "big", 0, 100},    // pieces of one file: separate runs
        {10, true, "big", 100, 50},
        {20, true, "other", 0, 10},
        {30, true, "big", 50, 60},   // added again over both pieces
        {40, true, "empty", 0, 0},
        {50, true, "empty", 0, 0},   // nothing written: no order needed
        {60, true, "other", 5, 1},
    });
    EXPECT_EQ(got, (std::vector<R>{{sel(0), sel(10), sel(30)}, {sel(20), sel(60)}, {sel(40)}, {sel(50)}}));
}

// Neighbouring entries go in batches of up to 64, runs are joined until a
// share has the target's worth of data, and a batch never skips an entry
// (the child walks from one entry to the next).
TEST(Shares, RunsJoinedAndCutIntoBatchesOfNeighbours) {
    EntrySpans spans;
    std::vector<PlannedRun> runs;
    // 130 runs of one 100-byte entry, 10 bytes apart; the entry at 500 is
    // not selected and not planned.
    for (uint64_t i = 0; i < 131; ++i) {
        spans[i * 10] = EntrySpan{i * 10 + 10, 100};
        if (i != 50) runs.push_back({sel(i * 10)});
    }
    const std::vector<Share> one = make_shares(runs, spans, 1000000);
    ASSERT_EQ(one.size(), 1u);
    const uint64_t all64 = ~uint64_t{0};
    EXPECT_EQ(one[0], (Share{{0, 50, (uint64_t{1} << 50) - 1}, {510, 64, all64}, {1150, 16, 0xffff}}));

    const std::vector<Share> shares = make_shares(runs, spans, 3000);
    ASSERT_EQ(shares.size(), 5u);  // 30 entries each, 10 in the last
    EXPECT_EQ(shares[0], (Share{{0, 30, (uint64_t{1} << 30) - 1}}));
    EXPECT_EQ(shares[1], (Share{{300, 20, (uint64_t{1} << 20) - 1}, {510, 10, 0x3ff}}));
    EXPECT_EQ(shares[4], (Share{{1210, 10, 0x3ff}}));

    // A solid run's entries that are decoded only keep their bit clear.
    spans[2000] = EntrySpan{2010, 5};
    spans[2010] = EntrySpan{2020, 5};
    spans[2020] = EntrySpan{2030, 5};
    const std::vector<Share> solid = make_shares({{sel(2000), skip(2010), sel(2020)}}, spans, 0);
    EXPECT_EQ(solid, (std::vector<Share>{{{2000, 3, 0x5}}}));
}

}  // namespace
}  // namespace taq
