// File metadata as POSIX keeps it: nanosecond times, every permission bit
// but the special ones.
#include <gtest/gtest.h>

#include "platform/platform.h"
#include "support/test_support.h"

namespace taq::platform {
namespace {

using test::TempDir;

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

}  // namespace
}  // namespace taq::platform
