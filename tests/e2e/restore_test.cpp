// What `x` restores when an archive holds several versions of a file: the
// newest one, whole, never pieces of two versions joined.
#include <gtest/gtest.h>

#include "e2e/round_trip.h"
#include "support/test_support.h"

namespace taq::test {
namespace {

constexpr size_t kMiB = 1048576;

TEST(Versions, APlainArchiveNeverJoinsPiecesOfTwoVersions) {
    TempDir dir;
    const std::string old_version = random_bytes(27 * kMiB, 11);
    const std::string new_version = random_bytes(18 * kMiB, 12);
    write_file(dir.file("V"), old_version);
    RunResult r = run_taq({"a", "-n", "-m0", "-t3", "arch", "V"}, dir.path());
    ASSERT_EQ(r.exit_code, 0) << r.output;
    write_file(dir.file("V"), new_version);
    r = run_taq({"a", "-n", "-m0", "-t2", "arch", "V"}, dir.path());
    ASSERT_EQ(r.exit_code, 0) << r.output;
    ASSERT_EQ(read_headers(dir.file("arch")).size(), 5u);
    for (const char* tasks : {"-t1", "-t2"}) {
        SCOPED_TRACE(tasks);
        const std::string out = std::string("out") + tasks;
        r = run_taq({"x", tasks, "arch", out}, dir.path());
        EXPECT_EQ(r.exit_code, 0) << r.output;
        EXPECT_TRUE(file_holds(dir.file(out + "/V"), new_version));
    }
}

TEST(Versions, TestFailsWhatARestoreCouldOnlyHaveInPart) {
    TempDir dir;
    write_file(dir.file("G"), random_bytes(17 * kMiB, 13));
    RunResult r = run_taq({"a", "-m0", "-t2", "arch", "G"}, dir.path());
    ASSERT_EQ(r.exit_code, 0) << r.output;
    const std::vector<EntryHeader> headers = read_headers(dir.file("arch"));
    ASSERT_EQ(headers.size(), 2u);
    // The first piece alone: every entry sound, the file incomplete.
    write_file(dir.file("arch"), read_file(dir.file("arch")).substr(0, headers[0].entry_size));
    for (const char* tasks : {"-t1", "-t2"}) {
        r = run_taq({"t", tasks, "arch"}, dir.path());
        EXPECT_EQ(r.exit_code, 1) << tasks << r.output;
        EXPECT_TRUE(contains(r.output, "G cannot be restored: the archive holds only part of it")) << tasks << r.output;
        r = run_taq({"x", tasks, "arch", "out"}, dir.path());
        EXPECT_EQ(r.exit_code, 1) << tasks << r.output;
        EXPECT_FALSE(file_exists(dir.file("out/G"))) << tasks;
    }
}

}  // namespace
}  // namespace taq::test
