#include <gtest/gtest.h>

#include <string>

#include "archive/paths.h"
#include "extract/extract.h"
#include "platform/platform.h"
#include "support/test_support.h"

namespace taq {
namespace {

TEST(Paths, CollapseKeepsTheLastSeparatorOfARun) {
    EXPECT_EQ(collapse_separators("a\\\\b"), "a\\b");
    EXPECT_EQ(collapse_separators("a/\\b"), "a\\b");
    EXPECT_EQ(collapse_separators("a\\/b"), "a/b");
    EXPECT_EQ(collapse_separators("//tmp///x//"), "/tmp/x/");
    EXPECT_EQ(collapse_separators("plain"), "plain");
}

TEST(Paths, SplittingHelpers) {
    EXPECT_EQ(file_part("D:\\data\\x.bin"), "x.bin");
    EXPECT_EQ(file_part("D:\\data\\"), "");
    EXPECT_EQ(file_part("x.bin"), "x.bin");
    EXPECT_EQ(path_prefix("x.bin"), "");
    EXPECT_EQ(path_prefix("/tmp/a\\b.c"), "/tmp/a\\");

    EXPECT_EQ(last_component("D:\\photos\\"), "photos");
    EXPECT_EQ(last_component("D:\\photos"), "photos");
    // A trailing '/' is a separator too: "mydir/" names mydir.
    EXPECT_EQ(last_component("/work/mydir/"), "mydir");

    EXPECT_EQ(dir_part("data/sub/a.txt"), "data/sub/");
    EXPECT_EQ(dir_part("D:/a.txt"), "");
    EXPECT_EQ(dir_part("D:/data/sub/a.txt"), "data/sub/");
    EXPECT_EQ(dir_part("a.txt"), "");
    EXPECT_EQ(dir_part("data/sub/"), "");
    EXPECT_EQ(dir_part("./x"), "./");
    // Absolute paths are stored from below the root, so that an archive
    // never carries a path that escapes the extraction directory.
    EXPECT_EQ(dir_part("/home/u/a.txt"), "home/u/");
    EXPECT_EQ(dir_part("//a.txt"), "");
    // Windows forms: the long form of a drive path keeps the drive rule, a
    // UNC path keeps its server and share below the root.
    EXPECT_EQ(dir_part("\\\\?\\C:\\data\\a.txt"), "data\\");
    EXPECT_EQ(dir_part("//?/C:/a.txt"), "");
    EXPECT_EQ(dir_part("\\\\server\\share\\d\\a.txt"), "server\\share\\d\\");
}

TEST(Paths, SmallTextHelpers) {
    EXPECT_TRUE(has_wild_or_dot("a.b"));
    EXPECT_TRUE(has_wild_or_dot("a*"));
    EXPECT_FALSE(has_wild_or_dot("a?b/c"));
    EXPECT_EQ(to_lower_ascii("AbC.BMP\xC4"), "abc.bmp\xC4");
    EXPECT_EQ(resolve_argument("/abs/x", "/cwd"), "/abs/x");
    EXPECT_EQ(resolve_argument("rel/x", "/cwd"), "/cwd/rel/x");
    EXPECT_EQ(resolve_argument("", "/cwd"), "/cwd/");
}

TEST(Wildcard, Matching) {
    EXPECT_TRUE(match_wildcard("*.bmp", "a.bmp"));
    EXPECT_TRUE(match_wildcard("*.bmp", ".bmp"));
    EXPECT_FALSE(match_wildcard("*.bmp", "a.bmp2"));
    EXPECT_FALSE(match_wildcard("*.bmp", "A.BMP"));
    EXPECT_TRUE(match_wildcard("a?c", "abc"));
    EXPECT_FALSE(match_wildcard("a?c", "ac"));
    EXPECT_FALSE(match_wildcard("?", ""));
    EXPECT_TRUE(match_wildcard("*", ""));
    EXPECT_TRUE(match_wildcard("***", "x"));
    EXPECT_FALSE(match_wildcard("", "x"));
    EXPECT_TRUE(match_wildcard("", ""));
    // Backtracking past a first candidate for '*'.
    EXPECT_TRUE(match_wildcard("*ab*cd", "xabyabzcd"));
    EXPECT_TRUE(match_wildcard("a*b?d", "aXbbYd"));
    EXPECT_FALSE(match_wildcard("a*b?d", "aXbYdd"));
}

TEST(Wildcard, PathologicalPatternStaysFast) {
    const std::string name(20000, 'a');
    const std::string pattern = "*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*b";
    const uint64_t start = platform::monotonic_ms();
    EXPECT_FALSE(match_wildcard(pattern, name));
    EXPECT_TRUE(match_wildcard(pattern.substr(0, pattern.size() - 1), name));
    EXPECT_LT(platform::monotonic_ms() - start, 2000u);
}

TEST(SplitArgument, Forms) {
    struct Case {
        const char* arg;
        const char* dir;
        const char* pattern;
    };
    const Case cases[] = {
        {"*.txt", "", "*.txt"},
        {"data\\sub\\*.bmp", "data/sub", "*.bmp"},
        {"data/", "data", "*"},
        {".", ".", "*"},
        {"..", "..", "*"},
        {"/x.bin", "/", "x.bin"},
        {"/", "/", "*"},
        {"/tmp/a/b", "/tmp/a", "b"},
        {"C:\\*.txt", "C:/.", "*.txt"},
        {"C:*.txt", "C:.", "*.txt"},
        {"C:.", "C:.", "*"},
        {"C:..", "C:..", "*"},
        {"C:", "C:.", "*"},
    };
    for (const auto& c : cases) {
        const SplitArgument s = split_argument(c.arg);
        EXPECT_EQ(s.dir, c.dir) << c.arg;
        EXPECT_EQ(s.pattern, c.pattern) << c.arg;
    }
}

TEST(FileOps, MakeDirectoriesAndRemoveFile) {
    test::TempDir tmp;
    const std::string deep = tmp.file("a/b\\c/d");
    EXPECT_TRUE(make_directories(deep));
    EXPECT_TRUE(platform::is_directory(tmp.file("a/b/c/d")));
    EXPECT_TRUE(make_directories(deep + "/"));  // existing is fine

    const std::string f = tmp.file("gone.bin");
    test::write_file(f, std::string("x"));
    EXPECT_TRUE(remove_file(f));
    EXPECT_FALSE(test::file_exists(f));
    EXPECT_TRUE(remove_file(f));  // nothing there: already gone

    // Something that can never be deleted as a file: gives up in time.
    const uint64_t start = platform::monotonic_ms();
    EXPECT_FALSE(remove_file(tmp.file("a"), 200));
    EXPECT_LT(platform::monotonic_ms() - start, 2000u);
}

TEST(FileOps, PathFits) {
    EXPECT_TRUE(path_fits("/tmp/x"));
    EXPECT_FALSE(path_fits("/tmp/" + std::string(300, 'n')));
    std::string deep;
    for (int i = 0; i < 5000; ++i) deep += "/abcdefghi";  // beyond every system's limit
    EXPECT_FALSE(path_fits(deep));
}

// Whatever path `a` is given, the directory it stores must be one that `x`
// writes below its destination, and name the same place lexically.
TEST(StoredDir, DotComponentsAreResolvedAndLeadingParentsDropped) {
    struct Case {
        std::string path, dir;
        bool dropped;
    };
    const std::vector<Case> cases{
        {"a.txt", "", false},
        {"d/a.txt", "d/", false},
        {"d//e/a.txt", "d//e/", false},  // untouched without dot components
        {"../a.txt", "", true},
        {"../../x/a.txt", "x/", true},
        {"./a.txt", "", false},
        {"./d/./e/a.txt", "d/e/", false},
        {"d/../a.txt", "", false},
        {"d/e/../../../a.txt", "", true},
        {"d/../../e/a.txt", "e/", true},
        {"/tmp/fd/../a.txt", "tmp/", false},
        {"/../../a.txt", "", true},
        {"d\\..\\e\\a.txt", "e\\", false},
        {"x/..//y/a", "y/", false},
    };
    for (const Case& c : cases) {
        bool dropped = false;
        const std::string dir = stored_dir_of(c.path, &dropped);
        EXPECT_EQ(dir, c.dir) << c.path;
        EXPECT_EQ(dropped, c.dropped) << c.path;
        EXPECT_TRUE(safe_stored_path(dir, file_part(c.path))) << c.path;
    }
}

}  // namespace
}  // namespace taq
