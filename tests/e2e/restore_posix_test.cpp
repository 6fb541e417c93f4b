// `x` never hurts what is already there: a file is replaced, never written
// through (hard links elsewhere keep their contents), and a run killed or
// interrupted in the middle of a file leaves the old file or nothing at its
// name, never part of the new one; the next run clears what it left.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "e2e/round_trip.h"
#include "support/test_support.h"

namespace taq::test {
namespace {

constexpr size_t kMiB = 1048576;

std::string leaf(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// The staging files that a run left in `dir`.
std::vector<std::string> staging_left(const std::string& dir) {
    std::vector<std::string> out;
    for (const std::string& name : taq_leftovers(dir))
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".tmp") == 0) out.push_back(name);
    return out;
}

uint64_t size_of(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

// How many bytes the restore into `dir` has written so far, whatever the
// names.
uint64_t bytes_below(const std::string& dir) {
    uint64_t total = 0;
    for (const std::string& name : files_below(dir)) total += size_of(dir + "/" + name);
    for (const std::string& name : taq_leftovers(dir)) total += size_of(dir + "/" + name);
    return total;
}

// Waits until the restore into `dir` has written more than `bytes` beyond
// what `dir` held at the start; false when the run ended first.
bool wait_for_progress(int pid, const std::string& dir, uint64_t bytes) {
    const uint64_t before = bytes_below(dir);
    for (int i = 0; i < 60000; ++i) {
        if (bytes_below(dir) > before + bytes) return true;
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    return false;
}

// The archive "g" of one file "G" of 17 MiB in two pieces; its data.
std::string two_piece_archive(const TempDir& dir, uint32_t seed) {
    const std::string data = random_bytes(17 * kMiB, seed);
    write_file(dir.file("G"), data);
    const RunResult r = run_taq({"a", "-m0", "-t2", "g", "G"}, dir.path());
    EXPECT_EQ(r.exit_code, 0) << r.output;
    return data;
}

TEST(Restore, AHardLinkOutsideTheDestinationKeepsItsContents) {
    TempDir dir;
    write_file(dir.file("h.txt"), std::string("hello\n"));
    add_m0(dir, {"h.txt"});
    make_dirs(dir.file("out"));
    write_file(dir.file("victim"), std::string("original\n"));
    ASSERT_EQ(::link(dir.file("victim").c_str(), dir.file("out/h.txt").c_str()), 0);
    const RunResult r = run_taq({"x", "arch", "out"}, dir.path());
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(file_holds(dir.file("out/h.txt"), "hello\n"));
    EXPECT_TRUE(file_holds(dir.file("victim"), "original\n"));
}

TEST(Restore, ATreeOverAnExistingCopyOfItselfReplacesEveryFile) {
    for (const char* tasks : {"-t1", "-t2"}) {
        SCOPED_TRACE(tasks);
        TempDir dir;
        const Files files{{"tree/a", random_bytes(3000, 1)},
                          {"tree/sub/b", random_bytes(2 * kMiB, 2)},
                          {"tree/sub/c", "third"}};
        for (const auto& [name, data] : files) write_file(dir.file(name), data);
        RunResult r = run_taq({"a", "-m0", "-r", "arch", "tree"}, dir.path());
        ASSERT_EQ(r.exit_code, 0) << r.output;
        r = run_taq({"x", tasks, "arch", "out"}, dir.path());
        ASSERT_EQ(r.exit_code, 0) << r.output;
        // Every restored file changed through a link from outside, one of
        // them read-only.
        for (const auto& [name, data] : files) {
            const std::string link = dir.file("link-" + leaf(name));
            ASSERT_EQ(::link(dir.file("out/" + name).c_str(), link.c_str()), 0);
            write_file(link, std::string("changed through the link"));
        }
        ::chmod(dir.file("out/tree/sub/c").c_str(), 0444);
        r = run_taq({"x", tasks, "arch", "out"}, dir.path());
        EXPECT_EQ(r.exit_code, 0) << r.output;
        for (const auto& [name, data] : files) {
            EXPECT_TRUE(file_holds(dir.file("out/" + name), data)) << name;
            EXPECT_TRUE(file_holds(dir.file("link-" + leaf(name)), "changed through the link")) << name;
        }
        EXPECT_TRUE(staging_left(dir.file("out/tree/sub")).empty());
    }
}

TEST(Restore, ADestinationThatCannotBeMadeSaysWhyOnce) {
    TempDir dir;
    for (const char* name : {"a", "b", "c"}) write_file(dir.file(name), std::string(name));
    add_m0(dir, {"a", "b", "c"});
    for (const char* tasks : {"-t1", "-t2"}) {
        const RunResult r = run_taq({"x", tasks, "arch", "/proc/no-such-dir"}, dir.path());
        EXPECT_EQ(r.exit_code, 1) << r.output;
        const std::string line = "Error: cannot create directory /proc/no-such-dir/ (";
        const size_t at = r.output.find(line);
        EXPECT_NE(at, std::string::npos) << r.output;
        EXPECT_EQ(r.output.find(line, at + 1), std::string::npos) << r.output;
    }
}

TEST(Restore, AKilledRunLeavesTheOldFileAndTheNextRunClearsUp) {
    TempDir dir;
    const std::string data = two_piece_archive(dir, 7);
    ASSERT_EQ(read_headers(dir.file("g")).size(), 2u);
    RunResult r;
    for (const char* tasks : {"-t1", "-t2"}) {
        SCOPED_TRACE(tasks);
        write_file(dir.file("out/G"), std::string("the old version"));
        const int pid = start_taq({"x", tasks, "g", "out"}, dir.path());
        // One of the two pieces written, and more.
        const bool midway = wait_for_progress(pid, dir.file("out"), 9 * kMiB);
        kill_group(pid);
        if (!midway) GTEST_SKIP() << "the run ended before it could be killed";
        EXPECT_TRUE(file_holds(dir.file("out/G"), "the old version"));
        r = run_taq({"x", "g", "out"}, dir.path());
        EXPECT_EQ(r.exit_code, 0) << r.output;
        EXPECT_TRUE(file_holds(dir.file("out/G"), data));
        EXPECT_TRUE(staging_left(dir.file("out")).empty());
    }
}

TEST(Restore, AnInterruptedRunRemovesWhatItStagedAndFails) {
    TempDir dir;
    two_piece_archive(dir, 8);
    ASSERT_EQ(read_headers(dir.file("g")).size(), 2u);
    for (const char* tasks : {"-t1", "-t2"}) {
        SCOPED_TRACE(tasks);
        const int pid = start_taq({"x", tasks, "g", "fresh"}, dir.path());
        make_dirs(dir.file("fresh"));
        const bool midway = wait_for_progress(pid, dir.file("fresh"), 4 * kMiB);
        ::kill(pid, SIGTERM);
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        if (!midway) GTEST_SKIP() << "the run ended before it could be interrupted";
        ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
        EXPECT_EQ(WEXITSTATUS(status), 1);
        // Children may still be letting go of their files.
        for (int i = 0; i < 200 && !task_children(dir.path()).empty(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_FALSE(file_exists(dir.file("fresh/G")));
        EXPECT_TRUE(staging_left(dir.file("fresh")).empty());
        EXPECT_TRUE(taq_leftovers(dir.path()).empty());
    }
}

}  // namespace
}  // namespace taq::test
