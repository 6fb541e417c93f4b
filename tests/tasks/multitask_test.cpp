// Multi-task runs of the built executable: pieces, part archives, model
// runs handed to children, and what is left behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "archive/entry.h"
#include "platform/platform.h"
#include "support/test_support.h"
#include "tasks/file_driver.h"

namespace taq {
namespace {

namespace fs = std::filesystem;
constexpr uint64_t MiB = 1048576;

struct Piece {
    std::string name;
    uint64_t start;
    uint64_t size;
    bool reset;
    bool operator<(const Piece& o) const { return std::tie(name, start) < std::tie(o.name, o.start); }
};

// Every entry of an archive, in archive order.
std::vector<Piece> entries(const std::string& archive) {
    std::vector<Piece> out;
    platform::File f = platform::File::open(archive, platform::File::Mode::read_existing);
    const uint64_t size = platform::file_size(archive);
    for (uint64_t at = 0; f && at < size;) {
        EntryHeader h;
        std::string why;
        if (!read_header(f, at, size, h, &why)) {
            ADD_FAILURE() << archive << ": " << why;
            break;
        }
        out.push_back({h.stored_dir + h.stored_name, h.range_start, static_cast<uint64_t>(h.data_size),
                       h.reset_flag != 0});
        at += h.entry_size;
    }
    return out;
}

std::vector<Piece> sorted(std::vector<Piece> v) {
    std::sort(v.begin(), v.end());
    return v;
}

// Names of files that a run must not leave behind.
std::vector<std::string> leftovers(const std::string& dir) {
    std::vector<std::string> out = test::taq_leftovers(dir);
    if (fs::exists(dir + "/master.tmp")) out.push_back("master.tmp");
    return out;
}

void expect_ok(const test::RunResult& r, const std::string& what) {
    EXPECT_EQ(r.exit_code, 0) << what << "\n" << r.output;
}

bool same_file(const std::string& a, const std::string& b) {
    const std::string x = test::read_file(a);
    return x.size() == fs::file_size(b) && x == test::read_file(b);
}

// Repeated text: compresses quickly and well.
std::string repetitive(size_t n, char salt) {
    return test::repeated(std::string("repeated line of the multi-task test ") + salt + "\n", n);
}

TEST(PieceStep, CutsAboveEightMegabytesPerTask) {
    EXPECT_EQ(piece_step(100 * MiB, 4), 26214400u);
    EXPECT_EQ(piece_step(20 * MiB, 4), 8 * MiB);
    EXPECT_EQ(piece_step(32 * MiB, 4), 8 * MiB);  // not above 8 MiB x 4
    EXPECT_EQ(piece_step(32 * MiB + 1, 4), 8 * MiB);
    EXPECT_EQ(piece_step(32 * MiB + 4, 4), 8 * MiB + 1);
    EXPECT_EQ(piece_step(0, 2), 8 * MiB);
}

TEST(MultiTask, FourTasksCutATwentyMegabyteFileIntoThreePieces) {
    test::TempDir dir;
    test::write_file(dir.file("big"), repetitive(20 * MiB, 'z'));
    test::RunResult r = test::run_taq({"a", "-m0", "-t4", "arch", "big"}, dir.path());
    expect_ok(r, "a -t4");
    EXPECT_NE(r.output.find("multiprocess compression use 4 task \n"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find(" close task's active \n Compressed 20971520 bytes to " +
                            std::to_string(fs::file_size(dir.file("arch"))) + " bytes \n"),
              std::string::npos)
        << r.output;
    const std::vector<Piece> got = sorted(entries(dir.file("arch")));
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].start, 0u);
    EXPECT_EQ(got[0].size, 8 * MiB);
    EXPECT_EQ(got[1].start, 8 * MiB);
    EXPECT_EQ(got[1].size, 8 * MiB);
    EXPECT_EQ(got[2].start, 16 * MiB);
    EXPECT_EQ(got[2].size, 4 * MiB);
    // Every process starts from a fresh model.
    for (const auto& p : got) EXPECT_TRUE(p.reset);
    EXPECT_TRUE(leftovers(dir.path()).empty());

    r = test::run_taq({"l", "arch"}, dir.path());
    EXPECT_NE(r.output.find("big\nbig\nbig\n n.3 files"), std::string::npos) << r.output;

    // Over a longer stale file: the result has exactly the archived size.
    test::write_file(dir.file("two/big"), std::string(21 * MiB, 'x'));
    expect_ok(test::run_taq({"x", "arch", "one"}, dir.path()), "x");
    expect_ok(test::run_taq({"x", "-t2", "arch", "two"}, dir.path()), "x -t2");
    EXPECT_TRUE(same_file(dir.file("one/big"), dir.file("big")));
    EXPECT_TRUE(same_file(dir.file("two/big"), dir.file("big")));
    EXPECT_TRUE(leftovers(dir.path()).empty());
}

TEST(MultiTask, TwoTasksCutAboveSixteenMegabytesIntoHalvesAndARest) {
    test::TempDir dir;
    const uint64_t size = 16 * MiB + 3;  // S / 2 = 8 MiB + 1, rest 1 byte
    test::write_file(dir.file("d/big.txt"), repetitive(size, 'a'));
    test::write_file(dir.file("d/empty"), std::string());
    test::write_file(dir.file("d/small.txt"), repetitive(5000, 'b'));
    expect_ok(test::run_taq({"a", "-m0", "-t2", "-r", "arch", "d"}, dir.path()), "a -t2");

    const std::vector<Piece> got = sorted(entries(dir.file("arch")));
    ASSERT_EQ(got.size(), 5u);
    EXPECT_EQ(got[0].name, "d/big.txt");
    EXPECT_EQ(got[0].size, 8 * MiB + 1);
    EXPECT_EQ(got[1].start, 8 * MiB + 1);
    EXPECT_EQ(got[1].size, 8 * MiB + 1);
    EXPECT_EQ(got[2].start, 16 * MiB + 2);
    EXPECT_EQ(got[2].size, 1u);
    EXPECT_EQ(got[3].name, "d/empty");  // one piece with an empty range
    EXPECT_EQ(got[3].size, 0u);
    EXPECT_EQ(got[4].name, "d/small.txt");

    expect_ok(test::run_taq({"x", "-t2", "arch", "out"}, dir.path()), "x -t2");
    for (const char* f : {"d/big.txt", "d/empty", "d/small.txt"})
        EXPECT_TRUE(same_file(dir.file(std::string("out/") + f), dir.file(f))) << f;
}

TEST(MultiTask, SolidRunsGoWholeToOneChild) {
    test::TempDir dir;
    std::vector<std::string> names;
    for (int i = 0; i < 6; ++i) {
        const std::string name = "s/f" + std::to_string(i) + (i % 2 ? ".txt" : ".bin");
        test::write_file(dir.file(name), i % 2 ? repetitive(400000 + 1000 * i, static_cast<char>('a' + i))
                                               : test::random_bytes(300000, static_cast<uint32_t>(i + 1)));
        names.push_back(name);
    }
    expect_ok(test::run_taq({"a", "-m0", "-s", "-t2", "-r", "arch", "s"}, dir.path()), "a -s -t2");
    // Slot 1 is still busy with the first file when the second is posted:
    // both children work, each on one model run.
    const std::vector<Piece> got = entries(dir.file("arch"));
    ASSERT_EQ(got.size(), names.size());
    EXPECT_TRUE(got.front().reset);
    EXPECT_EQ(std::count_if(got.begin(), got.end(), [](const Piece& p) { return p.reset; }), 2);

    expect_ok(test::run_taq({"x", "-t1", "arch", "one"}, dir.path()), "x -t1");
    expect_ok(test::run_taq({"x", "-t2", "arch", "two"}, dir.path()), "x -t2");
    // Several destinations in one run share the children.
    expect_ok(test::run_taq({"x", "-t2", "arch", "three/*.txt", "four/f4*"}, dir.path()), "x -t2, two destinations");
    for (const auto& n : names) {
        EXPECT_TRUE(same_file(dir.file("one/" + n), dir.file(n))) << n;
        EXPECT_TRUE(same_file(dir.file("two/" + n), dir.file(n))) << n;
        const bool txt = n.find(".txt") != std::string::npos;
        EXPECT_EQ(test::file_exists(dir.file("three/" + n)), txt) << n;
        if (txt) {
            EXPECT_TRUE(same_file(dir.file("three/" + n), dir.file(n))) << n;
        }
    }
    EXPECT_TRUE(same_file(dir.file("four/s/f4.bin"), dir.file("s/f4.bin")));
    EXPECT_FALSE(test::file_exists(dir.file("four/s/f5.txt")));
    EXPECT_TRUE(leftovers(dir.path()).empty());
}

// Archives of every shape: non-solid entries followed by a solid run,
// solid runs of images and audio.
TEST(MultiTask, ParentRestoresStoredArchives) {
    const std::string vectors = test::test_data_dir() + "/vectors";
    for (const char* name : {"appended.taq", "solid.m0.taq", "solid-media.m1.taq"}) {
        test::TempDir dir;
        expect_ok(test::run_taq({"x", "-t2", vectors + "/archives/" + name, "out"}, dir.path()), name);
        int files = 0;
        for (const auto& e : fs::directory_iterator(dir.file("out"))) {
            ++files;
            EXPECT_TRUE(same_file(e.path().string(), vectors + "/inputs/" + e.path().filename().string()))
                << name << ": " << e.path().filename();
        }
        EXPECT_GE(files, 3) << name;
    }
}

TEST(MultiTask, FileAddedTwiceRestoresItsLaterVersion) {
    test::TempDir dir;
    const std::string older = test::random_bytes(2 * MiB, 11);
    const std::string newer = test::random_bytes(MiB + 5, 12);  // shorter: no older tail may stay
    test::write_file(dir.file("f"), older);
    expect_ok(test::run_taq({"a", "-m0", "arch", "f"}, dir.path()), "a older");
    test::write_file(dir.file("f"), newer);
    expect_ok(test::run_taq({"a", "-m0", "arch", "f"}, dir.path()), "a newer");
    for (int i = 0; i < 2; ++i) {
        expect_ok(test::run_taq({"x", "-t2", "arch", "out"}, dir.path()), "x -t2");
        EXPECT_TRUE(test::read_file(dir.file("out/f")) == newer);
    }
}

TEST(MultiTask, UserFilesNamedLikePartArchivesSurvive) {
    test::TempDir dir;
    // Three files posted at once keep three slots busy.
    for (const char* f : {"f1", "f2", "f3"}) test::write_file(dir.file(f), test::random_bytes(400000, f[1]));
    test::write_file(dir.file("backup2"), std::string("user file two"));
    test::write_file(dir.file("backup3"), std::string("user file three"));
    expect_ok(test::run_taq({"a", "-m0", "-t3", "backup", "f1", "f2", "f3", "backup2"}, dir.path()), "a -t3");
    EXPECT_EQ(test::read_file(dir.file("backup2")), "user file two");
    EXPECT_EQ(test::read_file(dir.file("backup3")), "user file three");
    EXPECT_TRUE(leftovers(dir.path()).empty());
    const std::vector<Piece> got = entries(dir.file("backup"));
    ASSERT_EQ(got.size(), 4u);
    EXPECT_GE(std::count_if(got.begin(), got.end(), [](const Piece& p) { return p.reset; }), 3);
    expect_ok(test::run_taq({"x", "-t2", "backup", "out"}, dir.path()), "x -t2");
    for (const char* f : {"f1", "f2", "f3", "backup2"}) EXPECT_TRUE(same_file(dir.file(std::string("out/") + f), dir.file(f))) << f;
}

TEST(MultiTask, BlanksInPathsAndConcurrentRunsInOneDirectory) {
    test::TempDir dir;
    test::write_file(dir.file("in put/a file.txt"), repetitive(3 * MiB, 'q'));
    test::write_file(dir.file("in put/other"), test::random_bytes(2 * MiB, 4));
    // Two parents at once in one directory, each with its own board.
    test::RunResult first, second;
    {
        std::vector<std::pair<std::vector<std::string>, test::RunResult*>> runs{
            {{"a", "-m0", "-t2", "-r", "my archive", "in put"}, &first},
            {{"a", "-m0", "-t2", "-r", "second archive", "in put"}, &second}};
        std::vector<std::thread> threads;
        for (const auto& run : runs)
            threads.emplace_back([&dir, run] { *run.second = test::run_taq(run.first, dir.path()); });
        for (auto& t : threads) t.join();
    }
    expect_ok(first, "first");
    expect_ok(second, "second");
    for (const char* archive : {"my archive", "second archive"}) {
        test::TempDir out;
        expect_ok(test::run_taq({"x", "-t2", dir.file(archive), out.file("out dir")}, dir.path()), archive);
        EXPECT_TRUE(same_file(out.file("out dir/in put/a file.txt"), dir.file("in put/a file.txt"))) << archive;
        EXPECT_TRUE(same_file(out.file("out dir/in put/other"), dir.file("in put/other"))) << archive;
    }
    EXPECT_TRUE(leftovers(dir.path()).empty());
}

}  // namespace
}  // namespace taq
