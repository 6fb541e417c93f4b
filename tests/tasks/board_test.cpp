// The task board file between a parent and its children, both ends opened
// in this process: statuses, results and byte counts travel through the
// file, each parent gets a board of its own, and the board goes with it.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "support/test_support.h"
#include "tasks/board.h"

namespace taq {
namespace {

TEST(TaskBoard, StatusesAndCountsTravelThroughTheFile) {
    test::TempDir dir;
    std::unique_ptr<TaskBoard> parent = TaskBoard::create(dir.path(), 3);
    ASSERT_TRUE(parent);
    EXPECT_EQ(parent->path().rfind(dir.path() + "/.taq-board-", 0), 0u) << parent->path();
    std::unique_ptr<TaskBoard> child = TaskBoard::open(parent->path());
    ASSERT_TRUE(child);

    for (int slot = 1; slot <= 3; ++slot) EXPECT_EQ(child->read_status(slot), SlotStatus::idle) << slot;
    parent->write_status(2, SlotStatus::posted);
    EXPECT_EQ(child->read_status(2), SlotStatus::posted);
    EXPECT_EQ(child->read_status(1), SlotStatus::idle);
    child->finish_job(2, JobResult::partial);
    EXPECT_EQ(parent->read_status(2), SlotStatus::idle);
    parent->write_status(3, SlotStatus::stop);
    EXPECT_EQ(child->read_status(3), SlotStatus::stop);

    // Each slot's count has one writer; the parent adds them up.
    EXPECT_EQ(parent->coded_total(), 0u);
    child->write_coded(1, 1u << 20);
    child->write_coded(3, 5);
    child->write_coded(1, (1u << 20) + 7);  // a count only grows, and is replaced
    EXPECT_EQ(child->read_coded(1), (1u << 20) + 7);
    EXPECT_EQ(parent->coded_total(), (1u << 20) + 12);

    // The board names its maker; this process is not that maker's child.
    EXPECT_TRUE(child->orphaned());
}

TEST(TaskBoard, EachParentHasItsOwnAndTakesItAway) {
    test::TempDir dir;
    std::string first_path;
    {
        std::unique_ptr<TaskBoard> first = TaskBoard::create(dir.path(), 2);
        std::unique_ptr<TaskBoard> second = TaskBoard::create(dir.path(), 2);
        ASSERT_TRUE(first && second);
        EXPECT_NE(first->path(), second->path());
        first_path = first->path();
        EXPECT_TRUE(test::file_exists(first_path));
        // A child's end closes the file and leaves it.
        TaskBoard::open(first_path).reset();
        EXPECT_TRUE(test::file_exists(first_path));
    }
    EXPECT_FALSE(test::file_exists(first_path));
    EXPECT_FALSE(TaskBoard::open(first_path));

    std::string error;
    EXPECT_FALSE(TaskBoard::create(dir.file("missing"), 2, &error));
    EXPECT_FALSE(error.empty());
}

TEST(TaskBoard, ParentSumsTheByteCountsChildrenPublish) {
    test::TempDir dir;
    auto parent = TaskBoard::create(dir.path(), 3);
    ASSERT_TRUE(parent);
    EXPECT_EQ(parent->coded_total(), 0u);
    auto child = TaskBoard::open(parent->path());
    ASSERT_TRUE(child);
    child->write_coded(1, 5000000000);
    child->write_coded(3, 7);
    EXPECT_EQ(parent->coded_total(), 5000000007u);
    // A child started again for a slot goes on from there.
    auto again = TaskBoard::open(parent->path());
    EXPECT_EQ(again->read_coded(1), 5000000000u);
    EXPECT_EQ(again->read_coded(2), 0u);
}

}  // namespace
}  // namespace taq
