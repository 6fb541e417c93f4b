// Every input and every selected entry accounted for: what a run leaves out
// it names, and then it ends with exit code 1; what `a` stores, `x` restores.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "e2e/round_trip.h"
#include "extract/extract.h"

namespace taq::test {
namespace {

namespace fs = std::filesystem;


// An absolute path as an archive stores it: without its root ('/' or a
// drive), with '/' separators.
std::string below_root(std::string path) {
    path = path.substr(path[0] == '/' ? 1 : 3);
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
}

std::vector<std::string> stored_paths(const std::string& archive) {
    std::vector<std::string> out;
    for (const EntryHeader& h : read_headers(archive)) out.push_back(h.stored_dir + h.stored_name);
    return out;
}

TEST(Accounted, EveryStoredPathRestores) {
    TempDir dir;
    write_file(dir.file("text1.txt"), "one");
    write_file(dir.file("fd/sub/two.txt"), "two");
    RunResult r = run_taq({"a", "-m0", "../dd", "../text1.txt", "./sub/../sub/two.txt"}, dir.file("fd"));
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(contains(r.output, "\nRemoving leading `../' from member names\n")) << r.output;
    EXPECT_EQ(stored_paths(dir.file("dd")), (std::vector<std::string>{"text1.txt", "sub/two.txt"}));

    // An absolute path loses its root, and its ".." what comes before it.
    r = run_taq({"a", "-m0", "abs", dir.file("fd/../text1.txt")}, dir.path());
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_FALSE(contains(r.output, "Removing")) << r.output;
    EXPECT_EQ(stored_paths(dir.file("abs")), std::vector<std::string>{below_root(dir.path()) + "/text1.txt"});

    for (const char* archive : {"dd", "abs"}) {
        for (const EntryHeader& h : read_headers(dir.file(archive))) EXPECT_TRUE(safe_stored_path(h.stored_dir, h.stored_name));
        r = run_taq({"x", archive, std::string("out-") + archive}, dir.path());
        EXPECT_EQ(r.exit_code, 0) << r.output;
    }
    EXPECT_TRUE(file_holds(dir.file("out-dd/text1.txt"), "one"));
    EXPECT_TRUE(file_holds(dir.file("out-dd/sub/two.txt"), "two"));
    EXPECT_TRUE(file_holds(dir.file("out-abs/" + below_root(dir.path()) + "/text1.txt"), "one"));
}

TEST(Accounted, ExistingDirectoryIsTheDestination) {
    TempDir dir;
    archive_of(dir, "arch", "f.txt", "restored into restore.old");
    make_dirs(dir.file("restore.old"));
    const RunResult r = run_taq({"x", "arch", "restore.old"}, dir.path());
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(contains(r.output, "Wild=* DEST=" + dir.file("restore.old/") + "\n")) << r.output;
    EXPECT_TRUE(file_holds(dir.file("restore.old/f.txt"), "restored into restore.old"));
}

TEST(Accounted, WildcardsSelectingNothingFailTheRun) {
    TempDir dir;
    archive_of(dir, "arch", "a.txt", "the only entry");
    for (const char* tasks : {"-t1", "-t2"}) {
        RunResult r = run_taq({"x", tasks, "arch", "out/*.none"}, dir.path());
        EXPECT_EQ(r.exit_code, 1) << tasks << r.output;
        EXPECT_TRUE(contains(r.output, "Error: out/*.none: not found in archive " + dir.file("arch") + "\n"))
            << tasks << r.output;
        EXPECT_FALSE(contains(r.output, " OK! ")) << tasks;

        // The other destination is still restored.
        const std::string out = std::string("out") + tasks;
        r = run_taq({"x", tasks, "arch", out + "/*.TXT", "elsewhere/b*"}, dir.path());
        EXPECT_EQ(r.exit_code, 1) << tasks << r.output;
        EXPECT_TRUE(contains(r.output, "Error: elsewhere/b*: not found in archive ")) << tasks << r.output;
        EXPECT_TRUE(file_holds(dir.file(out + "/a.txt"), "the only entry")) << tasks;
    }
}

}  // namespace
}  // namespace taq::test
