// File metadata as Windows keeps it (last-write time in 100 ns ticks, the
// read-only attribute for the owner-write bit), the hidden attribute, and
// names that the system would read as devices or streams.
#include <gtest/gtest.h>

#include <windows.h>

#include "platform/platform.h"
#include "support/test_support.h"

namespace taq::platform {
namespace {

using test::TempDir;

DWORD attributes_of(const std::string& path) {
    std::wstring w(path.begin(), path.end());  // ASCII scratch paths
    return ::GetFileAttributesW(w.c_str());
}

TEST(WindowsFiles, MetadataMapsToLastWriteTimeAndReadOnly) {
    TempDir dir;
    File f = File::open(dir.file("a"), File::Mode::create);
    ASSERT_TRUE(f.write("abc", 3));
    EXPECT_TRUE(f.sync());
    // Before 1970, and owner-write taken away: read-only.
    ASSERT_TRUE(f.set_metadata(FileMeta{-1500000000, 0555})) << f.error();
    FileMeta m;
    ASSERT_TRUE(f.metadata(m));
    EXPECT_EQ(m.mtime_ns, -1500000000);
    EXPECT_EQ(m.permissions, 0444u);
    EXPECT_TRUE(attributes_of(dir.file("a")) & FILE_ATTRIBUTE_READONLY);
    // Owner-write back: no longer read-only. Times keep 100 ns steps.
    ASSERT_TRUE(f.set_metadata(FileMeta{1700000000123456789, 0600})) << f.error();
    ASSERT_TRUE(f.metadata(m));
    EXPECT_EQ(m.mtime_ns, 1700000000123456700);
    EXPECT_EQ(m.permissions, 0644u);
    EXPECT_FALSE(attributes_of(dir.file("a")) & FILE_ATTRIBUTE_READONLY);
    f.close();
    // A read-only file still goes when it is deleted.
    File g = File::open(dir.file("b"), File::Mode::create);
    ASSERT_TRUE(g.set_metadata(FileMeta{0, 0444}));
    g.close();
    EXPECT_TRUE(delete_file(dir.file("b")));
    EXPECT_FALSE(exists(dir.file("b")));
}

TEST(WindowsFiles, HiddenFilesStayReadableAndWritable) {
    TempDir dir;
    File f = File::open(dir.file("h"), File::Mode::create_new);
    ASSERT_TRUE(f);
    set_hidden(dir.file("h"), true);
    EXPECT_TRUE(attributes_of(dir.file("h")) & FILE_ATTRIBUTE_HIDDEN);
    f.close();
    // Replacing a hidden file outright would fail; opening it does not.
    File again = File::open(dir.file("h"), File::Mode::create);
    ASSERT_TRUE(again) << again.error();
    EXPECT_TRUE(again.write("x", 1));
    again.close();
    set_hidden(dir.file("h"), false);
    EXPECT_FALSE(attributes_of(dir.file("h")) & FILE_ATTRIBUTE_HIDDEN);
}

TEST(WindowsFiles, DeviceNamesAndStreamsAreRefused) {
    TempDir dir;
    for (const char* name : {"CON", "nul.txt", "Com1", "LPT9.log", "a:b", "x/c:d"}) {
        EXPECT_FALSE(File::open(dir.file(name), File::Mode::create)) << name;
        EXPECT_FALSE(File::open(dir.file(name), File::Mode::open_or_create)) << name;
    }
    EXPECT_FALSE(create_directory(dir.file("aux")));
    // Names that only look alike are files like any other.
    for (const char* name : {"console", "nul_", "com10", "lpt"}) {
        EXPECT_TRUE(File::open(dir.file(name), File::Mode::create)) << name;
    }
    // Below a directory handle the names are refused as well.
    Directory d = Directory::open(dir.path());
    EXPECT_FALSE(d.open_file("a:b", File::Mode::create));
    EXPECT_FALSE(d.subdirectory("x:y"));
}

TEST(WindowsFiles, DriveAndSeparatorFormsAreAbsolute) {
    EXPECT_TRUE(is_absolute_path("C:\\data\\a.txt"));
    EXPECT_TRUE(is_absolute_path("c:rel"));
    EXPECT_TRUE(is_absolute_path("\\\\server\\share"));
    EXPECT_TRUE(is_absolute_path("/x"));
    EXPECT_FALSE(is_absolute_path("data\\a.txt"));
    EXPECT_FALSE(is_absolute_path(""));
}

}  // namespace
}  // namespace taq::platform
