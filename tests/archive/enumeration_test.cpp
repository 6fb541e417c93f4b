#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "archive/paths.h"
#include "support/test_support.h"

namespace taq {
namespace {

std::vector<std::string> paths_of(const FileList& list) {
    std::vector<std::string> out;
    for (const auto& e : list) out.push_back(e.path);
    return out;
}

// Runs the enumeration from inside `dir`, as the program does with
// relative arguments.
class InDirectory {
public:
    explicit InDirectory(const std::string& dir) : old_(std::filesystem::current_path()) {
        std::filesystem::current_path(dir);
    }
    ~InDirectory() {
        std::error_code ec;
        std::filesystem::current_path(old_, ec);
    }

private:
    std::filesystem::path old_;
};

class Enumeration : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* name : {"a.txt", "b.bmp", "c.txt", "d"}) test::write_file(tmp.file(name), std::string(name));
    }
    // The scratch directory as the enumeration writes it: '/' separators.
    std::string root() const {
        std::string r = tmp.path();
        std::replace(r.begin(), r.end(), '\\', '/');
        return r;
    }
    test::TempDir tmp;
};

TEST_F(Enumeration, SortedByExtensionKey) {
    InDirectory in(tmp.path());
    const auto got = paths_of(build_file_list({"*"}, false));
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0], "b.bmp");
    EXPECT_EQ(got[1], "d");
    std::vector<std::string> txt(got.begin() + 2, got.end());
    std::sort(txt.begin(), txt.end());
    EXPECT_EQ(txt, (std::vector<std::string>{"a.txt", "c.txt"}));
}

TEST_F(Enumeration, DotArgumentPrefixChangesKeyOfDotlessName) {
    InDirectory in(tmp.path());
    // "./d" has the key "/d", which sorts before "bmp".
    const auto got = paths_of(build_file_list({"."}, false));
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0], "./d");
    EXPECT_EQ(got[1], "./b.bmp");
    EXPECT_EQ(extension_key("./d"), "/d");
    EXPECT_EQ(extension_key("d"), "d");
    EXPECT_EQ(extension_key("x.tar.gz"), "gz");
}

TEST_F(Enumeration, ShorterKeyThatIsAPrefixComesFirst) {
    test::write_file(tmp.file("e.bm"), std::string("e"));
    const auto got = paths_of(build_file_list({tmp.path() + "/*.bm*"}, false));
    EXPECT_EQ(got, (std::vector<std::string>{root() + "/e.bm", root() + "/b.bmp"}));
}

TEST_F(Enumeration, SizesAndSeparators) {
    test::write_file(tmp.file("sub/big.bin"), std::string(5000, 'x'));
    const FileList list = build_file_list({tmp.path() + "\\sub\\*.bin"}, false);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].path, root() + "/sub/big.bin");
    EXPECT_EQ(list[0].size, 5000);
}

TEST_F(Enumeration, RecursionEntersOnlyMatchingDirectories) {
    test::write_file(tmp.file("pics/p.bmp"), std::string("p"));
    test::write_file(tmp.file("old.bmp/x.txt"), std::string("x"));
    test::write_file(tmp.file("old.bmp/deeper/y"), std::string("y"));
    const std::string pattern = tmp.path() + "/*.bmp";

    auto flat = paths_of(build_file_list({pattern}, false));
    EXPECT_EQ(flat, (std::vector<std::string>{root() + "/b.bmp"}));

    auto deep = paths_of(build_file_list({pattern}, true));
    std::sort(deep.begin(), deep.end());
    EXPECT_EQ(deep, (std::vector<std::string>{root() + "/b.bmp", root() + "/old.bmp/deeper/y",
                                              root() + "/old.bmp/x.txt"}));
}

TEST_F(Enumeration, LinkLoopEndsAndMissingDirectoryGivesNothing) {
    test::make_dirs(tmp.file("loop"));
    if (!test::make_symlink(tmp.path(), tmp.file("loop/back"))) GTEST_SKIP() << "no symbolic links here";
    const FileList list = build_file_list({tmp.path() + "/*"}, true);
    EXPECT_EQ(list.size(), 4u);

    EXPECT_TRUE(build_file_list({tmp.path() + "/nothere/*"}, true).empty());
}

}  // namespace
}  // namespace taq
