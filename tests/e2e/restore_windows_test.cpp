// Names that differ only in case reach one file on Windows: the newer
// entry is restored, the clash is named, and the run fails; neither file is
// lost. `t` warns of such names.
#include <gtest/gtest.h>

#include "e2e/round_trip.h"
#include "support/test_support.h"

namespace taq::test {
namespace {

TEST(WindowsRestore, NamesThatDifferOnlyInCaseKeepTheNewerFile) {
    TempDir dir;
    // Stored without a directory, from two folders of their own.
    write_file(dir.file("one/A.txt"), std::string("the upper-case one"));
    write_file(dir.file("two/a.txt"), std::string("the lower-case one, added later"));
    RunResult r = run_taq({"a", "-m0", "../arch", "A.txt"}, dir.file("one"));
    ASSERT_EQ(r.exit_code, 0) << r.output;
    r = run_taq({"a", "-m0", "../arch", "a.txt"}, dir.file("two"));
    ASSERT_EQ(r.exit_code, 0) << r.output;
    // A test says what a restore here would do.
    r = run_taq({"t", "arch"}, dir.path());
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(contains(r.output, "A.txt and a.txt differ only in case")) << r.output;
    for (const char* tasks : {"-t1", "-t2"}) {
        SCOPED_TRACE(tasks);
        const std::string out = std::string("out") + tasks;
        r = run_taq({"x", tasks, "arch", out}, dir.path());
        EXPECT_EQ(r.exit_code, 1) << r.output;
        EXPECT_TRUE(contains(r.output, "A.txt and ")) << r.output;
        EXPECT_TRUE(contains(r.output, "a.txt are the same file here")) << r.output;
        EXPECT_TRUE(file_holds(dir.file(out + "/a.txt"), "the lower-case one, added later"));
    }
}

}  // namespace
}  // namespace taq::test
