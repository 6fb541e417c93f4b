#include <gtest/gtest.h>

#include "support/test_support.h"

using namespace taq::test;

TEST(Cli, NoArgumentsEndsWithOne) {
    TempDir dir;
    RunResult r = run_taq({}, dir.path());
    EXPECT_EQ(r.exit_code, 1);
}

TEST(Support, TempDirIsDotFreeAndRemoved) {
    std::string kept;
    {
        TempDir dir;
        kept = dir.path();
        EXPECT_EQ(kept.find('.'), std::string::npos);
        write_file(dir.file("a/b/c"), std::string("xyz"));
        EXPECT_EQ(read_file(dir.file("a/b/c")), "xyz");
    }
    EXPECT_FALSE(file_exists(kept));
}
