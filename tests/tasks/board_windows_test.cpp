// The task board is a hidden file while it exists, and goes with its run.
#include <gtest/gtest.h>

#include <windows.h>

#include "platform/platform.h"
#include "support/test_support.h"
#include "tasks/board.h"

namespace taq {
namespace {

TEST(WindowsBoard, IsHiddenAndRemovedAtTheEnd) {
    test::TempDir dir;
    std::string path;
    {
        const auto board = TaskBoard::create(dir.path(), 2);
        ASSERT_TRUE(board);
        path = board->path();
        const std::wstring w(path.begin(), path.end());  // ASCII scratch path
        const DWORD attributes = ::GetFileAttributesW(w.c_str());
        ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
        EXPECT_TRUE(attributes & FILE_ATTRIBUTE_HIDDEN);
    }
    EXPECT_FALSE(platform::exists(path));
}

}  // namespace
}  // namespace taq
