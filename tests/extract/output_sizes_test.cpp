// The size a restored file ends with when several entries write it: pieces
// of one version, and versions appended by later runs.
#include <gtest/gtest.h>

#include "extract/extract.h"
#include "platform/platform.h"
#include "support/test_support.h"

namespace taq {
namespace {

constexpr uint64_t kMiB = 1048576;

TEST(OutputSizes, NewestVersionDecides) {
    test::Messages msgs;
    OutputSizes s(msgs.diag);
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
    test::Messages msgs;
    OutputSizes s(msgs.diag);
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
    test::Messages msgs;
    OutputSizes s(msgs.diag);
    s.add("h", 0, 8 * kMiB);
    s.add("h", 8 * kMiB, 4 * kMiB);
    s.add("h", 0, 5);  // a small new version: one piece, the whole file
    EXPECT_EQ(s.final_size("h"), 5u);
}

TEST(OutputSizes, PlainVersionsInPiecesAreNeverMixed) {
    test::Messages msgs;
    // 40 MiB in four pieces, then a new version of 20 MiB in two, at the
    // same step: the old tail is no part of the new version.
    for (const std::vector<uint64_t>& old_order :
         {std::vector<uint64_t>{0, 10, 20, 30}, {0, 10, 30, 20}, {0, 30, 20, 10}}) {
        OutputSizes s(msgs.diag);
        for (uint64_t at : old_order) s.add("v", at * kMiB, 10 * kMiB);
        s.add("v", 0, 10 * kMiB);
        s.add("v", 10 * kMiB, 10 * kMiB);
        EXPECT_EQ(s.final_size("v"), 20 * kMiB);
    }
    // The new version's second piece written before its first (another
    // task took the first): the old pieces behind them could be either
    // version's; they are left out and named, never joined in.
    OutputSizes s(msgs.diag);
    for (uint64_t at : {0, 10, 20, 30}) s.add("w", at * kMiB, 10 * kMiB);
    s.add("w", 10 * kMiB, 10 * kMiB);
    s.add("w", 0, 10 * kMiB);
    EXPECT_EQ(s.final_size("w"), 20 * kMiB);
    EXPECT_EQ(s.left_out("w"), (std::vector<uint64_t>{20 * kMiB, 30 * kMiB}));
    // Where only one split gives two whole versions, it is taken: the old
    // version was one piece, the new one's tail came before its start.
    OutputSizes u(msgs.diag);
    for (uint64_t at : {0, 30, 20}) u.add("u", at * kMiB, 10 * kMiB);
    u.add("u", 0, 10 * kMiB);
    u.add("u", 10 * kMiB, 10 * kMiB);
    EXPECT_EQ(u.final_size("u"), 40 * kMiB);
    EXPECT_TRUE(u.left_out("u").empty());
    // A piece that the newest version needs to have no gap is its own;
    // one past its short last piece is older.
    OutputSizes g(msgs.diag);
    for (uint64_t at : {0, 9, 18, 27}) g.add("g", at * kMiB, 9 * kMiB);
    g.add("g", 9 * kMiB, 9 * kMiB);   // new version's middle, written first
    g.add("g", 0, 9 * kMiB);          // new version begins...
    g.add("g", 18 * kMiB, 2 * kMiB);  // ... and ends short
    EXPECT_EQ(g.final_size("g"), 20 * kMiB);
    EXPECT_TRUE(g.left_out("g").empty());
    // One version alone, its pieces in any order: all of them.
    OutputSizes one(msgs.diag);
    for (uint64_t at : {20, 10, 0, 30}) one.add("o", at * kMiB, 10 * kMiB);
    EXPECT_EQ(one.final_size("o"), 40 * kMiB);
}

TEST(OutputSizes, AmbiguousOlderPiecesAreLeftOutAndNamed) {
    test::Messages msgs;
    OutputSizes s(msgs.diag);
    s.add("a", 0, 10 * kMiB);
    s.add("a", 10 * kMiB, 10 * kMiB);  // the old version ends here, or the new one begins
    s.add("a", 20 * kMiB, 10 * kMiB);
    s.add("a", 0, 10 * kMiB);
    EXPECT_EQ(s.final_size("a"), 10 * kMiB);
    EXPECT_EQ(s.left_out("a"), (std::vector<uint64_t>{10 * kMiB, 20 * kMiB}));
    // The newest version is 10 or 30 MiB long: only its first piece is
    // sure.
}

TEST(Staging, NamesAreTheRunsOwnAndOnlyDeadRunsAreSwept) {
    test::Messages msgs;
    platform::ProcessId owner = 0;
    const std::string name = staging_name(4242, "report.txt");
    EXPECT_TRUE(parse_staging_name(name, owner));
    EXPECT_EQ(owner, 4242);
    EXPECT_EQ(name, staging_name(4242, "report.txt"));
    EXPECT_NE(name, staging_name(4242, "Report.txt"));
    EXPECT_NE(name, staging_name(4243, "report.txt"));
    for (const char* other : {".taq-12-abc.tmp", "taq-12-0123456789abcdef.tmp", ".taq--0123456789abcdef.tmp",
                              ".taq-12-0123456789abcdef.tmpx", "report.txt"})
        EXPECT_FALSE(parse_staging_name(other, owner)) << other;

    test::TempDir dir;
    const platform::ProcessId self = platform::own_process();
    const std::string dead = staging_name(999999999, "x");  // no such process
    const std::string mine = staging_name(self, "x");
    const std::string alive = staging_name(platform::parent_process(), "x");
    for (const std::string& n : {dead, mine, alive, std::string(".taq-notes.tmp")}) test::write_file(dir.file(n), "s");
    platform::Directory d = platform::Directory::open(dir.path());
    remove_stale_staging(d, self);
    EXPECT_FALSE(test::file_exists(dir.file(dead)));
    EXPECT_TRUE(test::file_exists(dir.file(mine)));
    EXPECT_TRUE(test::file_exists(dir.file(alive)));
    EXPECT_TRUE(test::file_exists(dir.file(".taq-notes.tmp")));
}

TEST(Staging, WhatIsNotPutInPlaceIsRemoved) {
    test::Messages msgs;
    test::TempDir dir;
    test::write_file(dir.file("keep"), "old");
    {
        OutputSizes s(msgs.diag);
        const OutputName name{dir.path(), "", "keep"};
        platform::Directory d = platform::Directory::open(dir.path());
        std::string error;
        platform::File f = s.stage(name, d, error);
        ASSERT_TRUE(f) << error;
        ASSERT_TRUE(f.write("new", 3));
        s.add(name, 0, 3, nullptr);
        EXPECT_TRUE(test::file_exists(dir.file(staging_name(s.owner(), "keep"))));
    }  // never applied: an interrupted run
    EXPECT_FALSE(test::file_exists(dir.file(staging_name(platform::own_process(), "keep"))));
    EXPECT_EQ(test::read_file(dir.file("keep")), "old");
}

}  // namespace
}  // namespace taq
