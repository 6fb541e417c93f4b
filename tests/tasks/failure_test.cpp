// Multi-task runs that go wrong: a lost child, a damaged entry.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "archive/entry.h"
#include "platform/platform.h"
#include "archive/sealed.h"
#include "platform/crypto.h"
#include "support/test_support.h"

namespace taq {
namespace {

namespace fs = std::filesystem;

// The two children of a run in `dir`, once both are there (for at most
// five seconds).
std::vector<int> two_children(const std::string& dir) {
    std::vector<int> kids;
    for (int i = 0; i < 500 && kids.size() < 2; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        kids = test::task_children(dir);
    }
    return kids;
}

bool no_leftovers(const std::string& dir) { return test::taq_leftovers(dir).empty(); }

// Gives the entry with this index an impossible model_memory.
void spoil_model_memory(const std::string& archive, int index) {
    std::string bytes = test::read_file(archive);
    platform::File f = platform::File::open(archive, platform::File::Mode::read_existing);
    uint64_t at = 0;
    EntryHeader h;
    for (int i = 0;; ++i) {
        ASSERT_TRUE(read_header(f, at, bytes.size(), h, nullptr));
        if (i == index) break;
        at += h.entry_size;
    }
    const size_t memory_at = at + 8 + 1 + 1 + 2 + h.stored_name.size() + 1 + 2 + h.stored_dir.size() + 1 + 8;
    bytes[memory_at + 0] = 5;
    bytes[memory_at + 1] = bytes[memory_at + 2] = bytes[memory_at + 3] = 0;
    test::write_file(archive, bytes);
}

TEST(TaskFailure, KilledChildEndsTheRunAndRestoresTheArchive) {
    test::TempDir dir;
    test::write_file(dir.file("small"), std::string("kept from an earlier run"));
    ASSERT_EQ(test::run_taq({"a", "-m0", "arch", "small"}, dir.path()).exit_code, 0);
    const std::string before = test::read_file(dir.file("arch"));
    // Two pieces of 24 MiB: each child works for a few seconds.
    test::write_file(dir.file("big"), test::random_bytes(48 << 20, 6));

    auto run = std::async(std::launch::async, [&] { return test::run_taq({"a", "-m0", "-t2", "arch", "big"}, dir.path()); });
    const std::vector<int> kids = two_children(dir.path());
    ASSERT_EQ(kids.size(), 2u);
    const auto killed_at = std::chrono::steady_clock::now();
    test::kill_process(kids[1]);
    const test::RunResult r = run.get();
    const auto took = std::chrono::steady_clock::now() - killed_at;

    EXPECT_EQ(r.exit_code, 1) << r.output;
    EXPECT_NE(r.output.find("ended unexpectedly"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find(" Compressed "), std::string::npos) << r.output;
    EXPECT_LT(took, std::chrono::seconds(3));
    EXPECT_TRUE(no_leftovers(dir.path()));
    EXPECT_TRUE(test::read_file(dir.file("arch")) == before);
    // The surviving child noticed too.
    for (int i = 0; i < 300 && !test::task_children(dir.path()).empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(test::task_children(dir.path()).empty());
}

TEST(TaskFailure, ChildrenOfAKilledParentEndByThemselves) {
    test::TempDir dir;
    // Letters: coded, not stored, so that each child works for a while
    // (seconds; under the sanitizers much longer).
    std::string text = test::random_bytes(16 << 20, 7);
    for (char& c : text) c = static_cast<char>('a' + static_cast<uint8_t>(c) % 26);
    test::write_file(dir.file("big"), text);
    auto run = std::async(std::launch::async, [&] { return test::run_taq({"a", "-m0", "-t2", "arch", "big"}, dir.path()); });
    const std::vector<int> kids = two_children(dir.path());
    ASSERT_EQ(kids.size(), 2u);
    const int parent = test::parent_of(kids[0]);
    ASSERT_GT(parent, 0);
    test::kill_process(parent);
    // Each child notices once its piece is done, and ends.
    for (int i = 0; i < 12000 && !test::task_children(dir.path()).empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(test::task_children(dir.path()).empty());
    EXPECT_EQ(run.get().exit_code, -1);
}

// A parent killed mid-run: its children end with it and settle nothing,
// so no piece of a file looks complete in the archive; the board and part
// archives it leaves go with the next run.
TEST(TaskFailure, KilledParentLeavesNoPieceOfAFileAndTheNextRunTidiesUp) {
    test::TempDir dir;
    std::string text = test::random_bytes(16 << 20, 9);
    for (char& c : text) c = static_cast<char>('a' + static_cast<uint8_t>(c) % 26);
    test::write_file(dir.file("big"), text);
    auto run = std::async(std::launch::async, [&] { return test::run_taq({"a", "-m0", "-t2", "arch", "big"}, dir.path()); });
    const std::vector<int> kids = two_children(dir.path());
    ASSERT_EQ(kids.size(), 2u);
    const int parent = test::parent_of(kids[0]);
    ASSERT_GT(parent, 0);
    test::kill_process(parent);
    EXPECT_EQ(run.get().exit_code, -1);
    for (int i = 0; i < 12000 && !test::task_children(dir.path()).empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(test::task_children(dir.path()).empty());
    EXPECT_FALSE(no_leftovers(dir.path()));

    const test::RunResult t = test::run_taq({"t", "-v", "arch"}, dir.path());
    EXPECT_TRUE(t.exit_code != 0 || !test::contains(t.output, "big")) << t.output;
    const test::RunResult x = test::run_taq({"x", "arch", "out"}, dir.path());
    EXPECT_FALSE(test::file_exists(dir.file("out/big")));
    EXPECT_FALSE(test::contains(x.output, "only part of it")) << x.output;

    test::write_file(dir.file("small"), std::string("after the crash"));
    const test::RunResult a = test::run_taq({"a", "-m0", "arch", "small"}, dir.path());
    EXPECT_EQ(a.exit_code, 0) << a.output;
    EXPECT_TRUE(no_leftovers(dir.path())) << test::taq_leftovers(dir.path())[0];
}

TEST(TaskFailure, ChildMeetingADamagedEntryFailsTheRun) {
    test::TempDir dir;
    test::write_file(dir.file("a"), std::string(5000, 'a'));
    test::write_file(dir.file("b"), std::string(5000, 'b'));
    ASSERT_EQ(test::run_taq({"a", "-m0", "arch", "a", "b"}, dir.path()).exit_code, 0);
    // An impossible model_memory in the second entry's header: only the
    // child that decodes it reads that far.
    spoil_model_memory(dir.file("arch"), 1);

    const test::RunResult r = test::run_taq({"x", "-t2", "arch", "out"}, dir.path());
    EXPECT_EQ(r.exit_code, 1) << r.output;
    EXPECT_NE(r.output.find("Error: damaged archive"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find(" OK! "), std::string::npos) << r.output;
    EXPECT_EQ(test::read_file(dir.file("out/a")), std::string(5000, 'a'));
    EXPECT_TRUE(no_leftovers(dir.path()));
}

TEST(TaskFailure, ChildMeetingADamagedEntryInABatchFailsTheRun) {
    test::TempDir dir;
    std::vector<std::string> names;
    for (int i = 0; i < 40; ++i) {
        names.push_back("f" + std::to_string(100 + i));
        test::write_file(dir.file(names.back()), test::random_bytes(65536, static_cast<uint32_t>(i + 1)));
    }
    std::vector<std::string> args{"a", "-m0", "arch"};
    args.insert(args.end(), names.begin(), names.end());
    ASSERT_EQ(test::run_taq(args, dir.path()).exit_code, 0);
    // Enough data for the children, in batches; the 31st entry's model
    // memory is impossible.
    spoil_model_memory(dir.file("arch"), 30);

    const test::RunResult r = test::run_taq({"x", "-t2", "arch", "out"}, dir.path());
    EXPECT_EQ(r.exit_code, 1) << r.output;
    EXPECT_NE(r.output.find("Error: damaged archive"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find(" OK! "), std::string::npos) << r.output;
    EXPECT_EQ(test::read_file(dir.file("out/f100")), test::random_bytes(65536, 1));
    EXPECT_TRUE(no_leftovers(dir.path()));
}

// Two pieces of a file of 16 MiB and 2 KiB, each of two segments; the file
// is cut to 16 MiB while the children code their first segments, so the
// second piece is read short while the first one was read whole. The same
// for an encrypted archive, whose part archives are encrypted too.
void shrink_under_tasks(bool encrypted) {
    std::string text;
    uint32_t x = 7;
    while (text.size() < (16u << 20) + 2048) {
        x = x * 1103515245u + 12345u;
        text += "word" + std::to_string((x >> 16) % 5000) + (x % 7 == 0 ? ".\n" : " ");
    }
    text.resize((16u << 20) + 2048);
    test::TempDir dir;
    test::write_file(dir.file("half"), text);
    test::write_file(dir.file("whole"), std::string("read completely"));
    test::write_file(dir.file("pw"), "the password\n");
    std::vector<std::string> password;
    if (encrypted) password.push_back("--password-file=pw");
    std::vector<std::string> add{"a", "-m0", "-t2"};
    add.insert(add.end(), password.begin(), password.end());
    add.insert(add.end(), {"arch", "half", "whole"});

    auto run = std::async(std::launch::async, [&] { return test::run_taq(add, dir.path()); });
    for (int i = 0; i < 1000 && test::task_children(dir.path()).size() < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    fs::resize_file(dir.file("half"), 16u << 20);
    const test::RunResult r = run.get();
    EXPECT_EQ(r.exit_code, 1) << r.output;
    EXPECT_NE(r.output.find("Error: cannot read Input file half\n"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("Error: half left out of the archive"), std::string::npos) << r.output;
    EXPECT_TRUE(no_leftovers(dir.path()));
    EXPECT_EQ(is_sealed_archive(dir.file("arch")), encrypted);

    std::vector<std::string> extract{"x"};
    extract.insert(extract.end(), password.begin(), password.end());
    extract.insert(extract.end(), {"arch", "out"});
    const test::RunResult x_run = test::run_taq(extract, dir.path());
    EXPECT_EQ(x_run.exit_code, 0) << x_run.output;
    EXPECT_FALSE(test::file_exists(dir.file("out/half")));
    EXPECT_EQ(test::read_file(dir.file("out/whole")), "read completely");
}

TEST(TaskFailure, FileShrinkingUnderTasksLeavesNoPieceOfIt) { shrink_under_tasks(false); }

TEST(TaskFailure, FileShrinkingUnderTasksLeavesNoPieceOfItInAnEncryptedArchive) {
    if (!platform::crypto_available()) GTEST_SKIP() << "this build has no cryptography";
    shrink_under_tasks(true);
}

}  // namespace
}  // namespace taq
