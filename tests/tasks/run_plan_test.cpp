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

}  // namespace
}  // namespace taq
