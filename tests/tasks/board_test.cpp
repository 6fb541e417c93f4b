// The task board file between a parent and its children, both ends opened
// in this process: statuses, results and byte counts travel through the
// file, each parent gets a board of its own, and the board goes with it.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
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

// Only the names a run gives its own files are ever taken for them; of
// those, only files nobody holds are removed.
TEST(TaskBoard, LeftoversOfGoneRunsAreRemovedAndNothingElse) {
    platform::ProcessId owner = 0;
    EXPECT_TRUE(is_run_file_name(".taq-board-123", &owner));
    EXPECT_EQ(owner, 123);
    EXPECT_TRUE(is_run_file_name(".taq-board-123-4"));
    EXPECT_TRUE(is_run_file_name(".taq-part-77-2", &owner));
    EXPECT_EQ(owner, 77);
    EXPECT_TRUE(is_run_file_name(".taq-part-77-2-1"));
    EXPECT_TRUE(is_run_file_name(".taq-input-55-1", &owner));
    EXPECT_EQ(owner, 55);
    EXPECT_TRUE(is_run_file_name(".taq-output-56"));
    for (const char* other : {".taq-board-", ".taq-board-12-3-4", ".taq-board-1x", ".taq-board-1-", ".taq-part-77",
                              ".taq-part-7-2-1-1", ".taq-partial", "taq-board-1", ".taq-board-1.bak", ".taq-part--2",
                              ".taq-input-5-6-7", ".taq-input-"})
        EXPECT_FALSE(is_run_file_name(other)) << other;

    test::TempDir dir;
    // Process ids beyond any the system hands out.
    const std::vector<std::string> stale{".taq-board-999999999", ".taq-board-999999999-1", ".taq-part-999999999-1",
                                         ".taq-part-999999999-3-2"};
    const std::vector<std::string> kept{".taq-board-999999998", ".taq-part-x-1", ".taq-partial", "notes"};
    for (const auto& n : stale) test::write_file(dir.file(n), "left over");
    for (const auto& n : kept) test::write_file(dir.file(n), "kept");
    // A live run holds its board's lock: that board stays.
    platform::File held = platform::File::open(dir.file(kept[0]), platform::File::Mode::write_existing);
    ASSERT_TRUE(held.lock(platform::File::LockKind::exclusive, false));
    // A board of this very process, its lock taken: still this run's.
    std::unique_ptr<TaskBoard> own = TaskBoard::create(dir.path(), 2);
    ASSERT_TRUE(own);

    remove_stale_run_files(dir.path());
    for (const auto& n : stale) EXPECT_FALSE(test::file_exists(dir.file(n))) << n;
    for (const auto& n : kept) EXPECT_TRUE(test::file_exists(dir.file(n))) << n;
    EXPECT_TRUE(test::file_exists(own->path()));

    // A lock taken by another process on a board of this one's own id: the
    // id alone keeps it (the moment between a board's creation and its lock).
    const std::string unlocked = dir.path() + "/.taq-board-" + std::to_string(platform::own_process()) + "-7";
    test::write_file(unlocked, "being made");
    remove_stale_run_files(dir.path());
    EXPECT_TRUE(test::file_exists(unlocked));
}

}  // namespace
}  // namespace taq
