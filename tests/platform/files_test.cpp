// Files and directories: locks exclude each other as promised, and a
// Directory never reaches anything through a symbolic
// link while it builds paths deeper than the system's whole-path limit.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "platform/platform.h"
#include "support/test_support.h"

namespace taq::platform {
namespace {

using test::TempDir;

TEST(Files, LocksExcludeWritersButShareReaders) {
    TempDir dir;
    test::write_file(dir.file("a"), "x");
    File one = File::open(dir.file("a"), File::Mode::read_existing);
    File two = File::open(dir.file("a"), File::Mode::read_existing);
    ASSERT_TRUE(one.lock(File::LockKind::shared, false));
    EXPECT_TRUE(two.lock(File::LockKind::shared, false));
    two.close();
    File writer = File::open(dir.file("a"), File::Mode::write_existing);
    EXPECT_FALSE(writer.lock(File::LockKind::exclusive, false));
    one.close();
    EXPECT_TRUE(writer.lock(File::LockKind::exclusive, false));
    File reader = File::open(dir.file("a"), File::Mode::read_existing);
    EXPECT_FALSE(reader.lock(File::LockKind::shared, false));
}

TEST(Directory, NeverFollowsLinks) {
    TempDir dir, outside;
    test::write_file(outside.file("victim"), "keep");
    Directory d = Directory::open(dir.path());
    ASSERT_TRUE(d);
    if (!test::make_symlink(outside.path(), dir.file("sub"))) GTEST_SKIP() << "no symbolic links here";
    EXPECT_FALSE(d.subdirectory("sub"));
    ASSERT_TRUE(test::make_symlink(outside.file("victim"), dir.file("out")));
    EXPECT_FALSE(d.open_file("out", File::Mode::write_existing));
    File f = d.open_file("out", File::Mode::create);
    ASSERT_TRUE(f);
    ASSERT_TRUE(f.write("new", 3));
    f.close();
    EXPECT_EQ(test::read_file(outside.file("victim")), "keep");
    EXPECT_EQ(test::read_file(dir.file("out")), "new");
}

TEST(Directory, FilesAreKnownRemovedAndNeverDirectories) {
    TempDir dir;
    Directory d = Directory::open(dir.path());
    ASSERT_TRUE(d);
    File f = d.open_file("out", File::Mode::create_new);
    ASSERT_TRUE(f);
    f.close();
    EXPECT_FALSE(d.open_file("out", File::Mode::create_new));
    // A directory is never opened as a file, nor removed as one.
    Directory sub = d.subdirectory("real");
    ASSERT_TRUE(sub);
    EXPECT_FALSE(d.open_file("real", File::Mode::create));
    EXPECT_FALSE(d.remove("real"));
    FileIdentity a, b;
    EXPECT_TRUE(d.identity("out", a));
    EXPECT_TRUE(file_identity(dir.file("out"), b));
    EXPECT_EQ(a, b);
    EXPECT_TRUE(d.remove("out"));
    EXPECT_FALSE(d.identity("out", a));
    EXPECT_TRUE(d.remove("out"));  // nothing there: already gone
}

TEST(Files, OffsetsPastFourGibibytes) {
    TempDir dir;
    File f = File::open(dir.file("big"), File::Mode::create);
    ASSERT_TRUE(f);
    const uint64_t far = (uint64_t{5} << 30) + 7;  // sparse where the system can
    ASSERT_TRUE(f.seek(far));
    ASSERT_TRUE(f.write("end", 3));
    EXPECT_EQ(f.size(), static_cast<int64_t>(far + 3));
    char back[3] = {};
    ASSERT_TRUE(f.seek(far));
    EXPECT_EQ(f.read(back, 3), 3u);
    EXPECT_EQ(std::string(back, 3), "end");
    EXPECT_EQ(file_size(dir.file("big")), far + 3);
    ASSERT_TRUE(f.truncate(far - 1));
    EXPECT_EQ(f.size(), static_cast<int64_t>(far - 1));
}

TEST(Directory, GoesDeeperThanTheWholePathLimit) {
    TempDir dir;
    Directory d = Directory::open(dir.path());
    const std::string name(200, 'd');
    size_t depth = 0;
    for (; depth * (name.size() + 1) < PATH_MAX + 1000; ++depth) {
        d = d.subdirectory(name);
        ASSERT_TRUE(d) << d.error();
    }
    File f = d.open_file("leaf", File::Mode::create);
    ASSERT_TRUE(f);
    EXPECT_TRUE(f.write("x", 1));
}

}  // namespace
}  // namespace taq::platform
