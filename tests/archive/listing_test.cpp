#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "archive/append.h"
#include "archive/listing.h"
#include "support/test_support.h"

namespace taq {
namespace {

struct Listed {
    ListResult result;
    std::string text;
};

Listed list(const std::string& archive, const std::string& wildcard) {
    // Lines and messages in the order they come, as `l` prints them.
    test::Messages msgs;
    Listed l;
    l.result = list_entries(archive, wildcard, msgs.diag, [&](const std::string& line) { msgs.text += line; });
    l.text = msgs.text;
    return l;
}

class Listing : public ::testing::Test {
protected:
    std::string archive_with(const std::string& bytes) {
        const std::string path = tmp.file("arch");
        test::write_file(path, bytes);
        return path;
    }
    test::TempDir tmp;
};

TEST_F(Listing, PrintsMatchingEntriesWithSolidMarker) {
    const std::string a = archive_with(test::make_entry("x.bin", "data/") + test::make_entry("a.txt", "") +
                                       test::make_entry("b.bin", "data/sub/", true, true) +
                                       test::make_entry("c.bin", "data/sub/", true, false));
    Listed all = list(a, "*");
    EXPECT_EQ(all.result.status, ListStatus::ok);
    EXPECT_EQ(all.result.listed, 4u);
    EXPECT_EQ(all.text, "data/x.bin\na.txt\ndata/sub/b.bin - solid\ndata/sub/c.bin - solid\n");

    // Only the file name takes part, case-sensitively.
    EXPECT_EQ(list(a, "data").result.listed, 0u);
    EXPECT_EQ(list(a, "*.bin").result.listed, 3u);
    EXPECT_EQ(list(a, "*.BIN").result.listed, 0u);
    EXPECT_EQ(list(a, "?.txt").text, "a.txt\n");
}

TEST_F(Listing, EmptyAndMissingArchives) {
    Listed empty = list(archive_with(""), "*");
    EXPECT_EQ(empty.result.status, ListStatus::ok);
    EXPECT_EQ(empty.result.listed, 0u);
    EXPECT_EQ(empty.text, "");

    Listed missing = list(tmp.file("none"), "*");
    EXPECT_EQ(missing.result.status, ListStatus::cannot_open);
    EXPECT_EQ(missing.text, "Error: cannot open Archive file " + tmp.file("none") + "\n");
}

TEST_F(Listing, AppendedArchiveListsBothInOrder) {
    const std::string a = archive_with(test::make_entry("one", "") + test::make_entry("two", "d/"));
    test::write_file(tmp.file("part2"), test::make_entry("three", "") + test::make_entry("four", "", true));
    test::Messages msgs;
    ASSERT_TRUE(append_file(msgs.diag, tmp.file("part2"), a));
    EXPECT_EQ(list(a, "*").text, "one\nd/two\nthree\nfour - solid\n");
}

// Every kind of damage stops the walk with one error line that names the
// archive and the offset of the bad entry; entries before it are listed.
TEST_F(Listing, DamagedArchivesStopWithOneErrorLine) {
    const std::string good = test::make_entry("ok.bin", "");
    const std::string bad = test::make_entry("bad.bin", "dir/");
    const uint64_t off = good.size();
    struct Case {
        const char* what;
        std::string bytes;
    };
    std::vector<Case> cases;
    auto with = [&](auto patch) {
        std::string b = bad;
        patch(b);
        return good + b;
    };
    cases.push_back({"entry_size 0", with([](std::string& b) { test::put_le(b, 0, 0, 8); })});
    cases.push_back({"entry_size below 48", with([](std::string& b) { test::put_le(b, 0, 47, 8); })});
    cases.push_back({"entry_size past the end", with([](std::string& b) { test::put_le(b, 0, b.size() + 1, 8); })});
    cases.push_back({"huge entry_size", with([](std::string& b) { test::put_le(b, 0, ~0ull, 8); })});
    cases.push_back({"name past the entry", with([](std::string& b) { test::put_le(b, 10, 60000, 2); })});
    cases.push_back({"name not terminated", with([](std::string& b) { b[12 + 7] = 'X'; })});
    cases.push_back({"directory length past the entry", with([](std::string& b) { test::put_le(b, 20, 0xffff, 2); })});
    for (const auto& c : cases) {
        Listed l = list(archive_with(c.bytes), "*");
        EXPECT_EQ(l.result.status, ListStatus::damaged) << c.what;
        EXPECT_EQ(l.result.listed, 1u) << c.what;
        const std::string prefix = "ok.bin\nError: damaged archive " + tmp.file("arch") + " at offset " +
                                   std::to_string(off) + " (";
        EXPECT_EQ(l.text.rfind(prefix, 0), 0u) << c.what << ": " << l.text;
        EXPECT_EQ(std::count(l.text.begin(), l.text.end(), '\n'), 2) << c.what;
    }
    // A few zero bytes after the last entry are the start of a header that
    // a stopped writer left (the next `a` cuts them away): no damage.
    Listed l = list(archive_with(good + std::string(5, '\0')), "*");
    EXPECT_EQ(l.result.status, ListStatus::ok);
    EXPECT_EQ(l.result.listed, 1u);
    EXPECT_EQ(l.text, "ok.bin\nArchive " + tmp.file("arch") + ": an interrupted append at offset " + std::to_string(off) +
                          " (the next a cuts it away)\n");
}

}  // namespace
}  // namespace taq
