// Files and directories: locks exclude each other as promised, metadata
// goes round, and a Directory never reaches anything through a symbolic
// link while it builds paths deeper than the system's whole-path limit.
#include <gtest/gtest.h>

#include <unistd.h>

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

TEST(Files, MetadataGoesRoundAndDropsSpecialBits) {
    TempDir dir;
    File f = File::open(dir.file("a"), File::Mode::create);
    ASSERT_TRUE(f.write("abc", 3));
    EXPECT_TRUE(f.sync());
    ASSERT_TRUE(f.set_metadata(FileMeta{-1500000000, 04751}));  // before 1970, set-user-ID asked for
    FileMeta m;
    ASSERT_TRUE(f.metadata(m));
    EXPECT_EQ(m.mtime_ns, -1500000000);
    EXPECT_EQ(m.permissions, 0751u);
    ASSERT_TRUE(f.set_metadata(FileMeta{1700000000123456789, 0600}));
    ASSERT_TRUE(f.metadata(m));
    EXPECT_EQ(m.mtime_ns, 1700000000123456789);
    EXPECT_EQ(m.permissions, 0600u);
}

TEST(Directory, NeverFollowsLinks) {
    TempDir dir, outside;
    test::write_file(outside.file("victim"), "keep");
    Directory d = Directory::open(dir.path());
    ASSERT_TRUE(d);
    ASSERT_EQ(::symlink(outside.path().c_str(), dir.file("sub").c_str()), 0);
    EXPECT_FALSE(d.subdirectory("sub"));
    ASSERT_EQ(::symlink(outside.file("victim").c_str(), dir.file("out").c_str()), 0);
    EXPECT_FALSE(d.open_file("out", File::Mode::write_existing));
    File f = d.open_file("out", File::Mode::create);
    ASSERT_TRUE(f);
    ASSERT_TRUE(f.write("new", 3));
    f.close();
    EXPECT_EQ(test::read_file(outside.file("victim")), "keep");
    EXPECT_EQ(test::read_file(dir.file("out")), "new");
    // A directory is never opened as a file, nor removed as one.
    Directory sub = d.subdirectory("real");
    ASSERT_TRUE(sub);
    EXPECT_FALSE(d.open_file("real", File::Mode::create));
    FileIdentity a, b;
    EXPECT_TRUE(d.identity("out", a));
    EXPECT_TRUE(file_identity(dir.file("out"), b));
    EXPECT_EQ(a, b);
    EXPECT_TRUE(d.remove("out"));
    EXPECT_FALSE(d.identity("out", a));
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
