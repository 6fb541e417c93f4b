// What `x` leaves behind: a file it could not write completely is removed
// and named, never left looking complete; and any path an archive stores,
// however deep, is restored below the destination.
#include <gtest/gtest.h>

#include "e2e/round_trip.h"
#include "platform/platform.h"

namespace taq::test {
namespace {


TEST(Outputs, AWriteThatFailsLeavesNothingThatLooksRestored) {
    TempDir dir;
    const std::string big = random_bytes(200000, 3);
    write_file(dir.file("big"), big);
    write_file(dir.file("small"), std::string("sixby"));
    add_m0(dir, {"big", "small"});
    // Files may grow to 64 KiB only: the big one's write fails half-way,
    // as on a full disk.
    if (!file_limit_supported()) GTEST_SKIP() << "no per-process file size limit on this system";
    const RunResult r = run_taq_with_file_limit({"x", "arch", "out"}, dir.path(), 64);
    EXPECT_EQ(r.exit_code, 1) << r.output;
    EXPECT_TRUE(contains(r.output, "out/big not restored")) << r.output;
    EXPECT_FALSE(file_exists(dir.file("out/big")));
    EXPECT_TRUE(file_holds(dir.file("out/small"), "sixby"));
}

TEST(Outputs, PathsDeeperThanTheSystemLimitAreRestored) {
    TempDir dir;
    // A relative path (about 4,000 bytes): archived from inside, restored
    // below a destination whose own path makes the whole longer than the
    // system takes at once.
    std::string rel;
    while (rel.size() < deep_path_bytes()) rel += std::string(90, 'd') + "/";
    write_file(dir.file("tree/" + rel + "leaf"), std::string("at the bottom"));
    RunResult r = run_taq({"a", "-m0", "-r", "../arch", "*"}, dir.file("tree"));
    ASSERT_EQ(r.exit_code, 0) << r.output;
    const std::string dest = std::string(150, 'o');
    r = run_taq({"x", "arch", dest}, dir.path());
    EXPECT_EQ(r.exit_code, 0) << r.output;
    // Read it back one directory at a time.
    platform::Directory d = platform::Directory::open(dir.file(dest));
    ASSERT_TRUE(d);
    for (size_t start = 0; start < rel.size();) {
        const size_t slash = rel.find('/', start);
        d = d.subdirectory(rel.substr(start, slash - start));
        ASSERT_TRUE(d) << d.error();
        start = slash + 1;
    }
    platform::File f = d.open_file("leaf", platform::File::Mode::read_existing);
    ASSERT_TRUE(f);
    char buf[32] = {};
    EXPECT_EQ(f.read(buf, sizeof buf), 13u);
    EXPECT_EQ(std::string(buf), "at the bottom");
}

}  // namespace
}  // namespace taq::test
