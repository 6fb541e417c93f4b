// Round trips of general data through the binary: sizes at the segment
// edge, text that the digram transform takes or declines, random data,
// machine code, directory trees, solid runs, destinations and appending.
#include <gtest/gtest.h>

#include "compress/analysis.h"
#include "e2e/round_trip.h"
#include "transform/digram.h"

namespace taq::test {
namespace {

std::string input(const std::string& name) { return read_file(test_data_dir() + "/vectors/inputs/" + name); }


TEST(RoundTrip, GeneralData) {
    const std::string alice = input("alice29.txt");
    const std::string declined = input("declined.txt");
    // The texts do what their names promise: both look like text, and the
    // digram transform takes one and declines the other.
    DigramTransform digram;
    int score = 0;
    std::string t = alice;
    ASSERT_EQ(classify_block(reinterpret_cast<const uint8_t*>(t.data()), t.size(), &score), kTextClass);
    ASSERT_GT(digram.forward(reinterpret_cast<uint8_t*>(t.data()), t.size()), 0u);
    t = declined;
    ASSERT_EQ(classify_block(reinterpret_cast<const uint8_t*>(t.data()), t.size(), &score), kTextClass);
    ASSERT_EQ(digram.forward(reinterpret_cast<uint8_t*>(t.data()), t.size()), 0u);

    const auto headers = expect_round_trip({
        {"empty", ""},
        {"one", "\xE8"},
        {"whole.seg", repeated("abcdefghij0123456789", 8388608)},  // exactly one segment
        {"over.seg", random_bytes(8388609, 77)},                   // a second segment of one byte
        {"alice29.txt", alice},
        {"declined.txt", declined},
        {"random.bin", random_bytes(300000, 5)},
        {"libz.so", input("libz.so")},
        {"true", input("true")},
        {"short.txt", std::string("th\xC8 the\xFF") + repeated("in the ", 600)},
    });
    ASSERT_EQ(headers.size(), 10u);
    for (const auto& h : headers) {
        EXPECT_EQ(h.general_path, 1) << h.stored_name;
        EXPECT_EQ(h.reset_flag, 1) << h.stored_name;
    }
}

TEST(RoundTrip, DirectoryTreeIsRestoredUnderTheDestination) {
    TempDir dir;
    const Files files{{"d/a.txt", "top level text"},
                      {"d/sub/b.bin", random_bytes(5000, 2)},
                      {"d/sub/deeper/c", "no extension"},
                      {"d/sub2/e.txt", ""}};
    for (const auto& [name, data] : files) write_file(dir.file(name), data);
    add_m0(dir, {"d"}, {"-r"});
    for (const std::string dest : {"out", "two/levels"}) {
        const RunResult r = run_taq({"x", "arch", dest}, dir.path());
        EXPECT_EQ(r.exit_code, 0) << r.output;
        for (const auto& [name, data] : files) EXPECT_TRUE(file_holds(dir.file(dest + "/" + name), data));
        EXPECT_EQ(files_below(dir.file(dest)).size(), files.size());
    }
}

TEST(RoundTrip, SolidArchiveWholeAndByWildcard) {
    TempDir dir;
    // Ordered by extension: bin, cfg, txt. The later files repeat the first,
    // so they decode right only from the model the first one left.
    const std::string first = random_bytes(3000, 9) + repeated("solid run ", 3000);
    const Files files{{"a.bin", first}, {"b.cfg", first + "more"}, {"z.txt", repeated("the last one ", 500) + first}};
    for (const auto& [name, data] : files) write_file(dir.file(name), data);
    add_m0(dir, {"z.txt", "a.bin", "b.cfg"}, {"-s"});

    const auto headers = read_headers(dir.file("arch"));
    ASSERT_EQ(headers.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(headers[i].stored_name, files[i].first);
        EXPECT_EQ(headers[i].solid, 1);
        EXPECT_EQ(headers[i].reset_flag, i == 0 ? 1 : 0);
    }

    RunResult r = run_taq({"x", "arch", "out"}, dir.path());
    EXPECT_EQ(r.exit_code, 0) << r.output;
    for (const auto& [name, data] : files) EXPECT_TRUE(file_holds(dir.file("out/" + name), data));

    r = run_taq({"x", "arch", "last/*.txt"}, dir.path());
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(file_holds(dir.file("last/z.txt"), files[2].second));
    EXPECT_EQ(files_below(dir.file("last")), std::set<std::string>{"z.txt"});
}

TEST(RoundTrip, EveryDestinationArgumentGetsItsFiles) {
    TempDir dir;
    const Files files{{"one.txt", "first file"}, {"two.bin", random_bytes(777, 3)}};
    for (const auto& [name, data] : files) write_file(dir.file(name), data);
    add_m0(dir, {"one.txt", "two.bin"});

    const RunResult r = run_taq({"x", "arch", "plain", dir.file("slash/"), "dots/*.txt", "back\\"}, dir.path());
    EXPECT_EQ(r.exit_code, 0) << r.output;
    for (const std::string dest : {"plain", "slash", "back"}) {
        for (const auto& [name, data] : files) EXPECT_TRUE(file_holds(dir.file(dest + "/" + name), data));
        EXPECT_EQ(files_below(dir.file(dest)).size(), 2u) << dest;
    }
    EXPECT_EQ(files_below(dir.file("dots")), std::set<std::string>{"one.txt"});
}

TEST(RoundTrip, SecondRunAppendsItsEntries) {
    TempDir dir;
    write_file(dir.file("first.txt"), repeated("first ", 1000));
    add_m0(dir, {"first.txt"});
    const std::string before = read_file(dir.file("arch"));
    write_file(dir.file("second.bin"), random_bytes(2000, 4));
    add_m0(dir, {"second.bin"});

    const std::string after = read_file(dir.file("arch"));
    EXPECT_TRUE(same_bytes(after.substr(0, before.size()), before));
    const auto headers = read_headers(dir.file("arch"));
    ASSERT_EQ(headers.size(), 2u);
    EXPECT_EQ(headers[1].reset_flag, 1);

    RunResult r = run_taq({"l", "arch"}, dir.path());
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.output.find("\nfirst.txt\nsecond.bin\n n.2 files in archive "), std::string::npos) << r.output;
    r = run_taq({"x", "arch", "out"}, dir.path());
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(file_holds(dir.file("out/first.txt"), read_file(dir.file("first.txt"))));
    EXPECT_TRUE(file_holds(dir.file("out/second.bin"), read_file(dir.file("second.bin"))));
}

// A file archived again after it shrank: the archive holds both versions,
// and extraction writes them in archive order, so the file must end up as
// the later version.
TEST(RoundTrip, AppendedShorterVersionRestoresWithoutTheOlderTail) {
    TempDir dir;
    write_file(dir.file("f"), random_bytes(1000, 1));
    add_m0(dir, {"f"});
    const std::string newer = random_bytes(100, 2);
    write_file(dir.file("f"), newer);
    add_m0(dir, {"f"});
    const RunResult r = run_taq({"x", "arch", "out"}, dir.path());
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(file_holds(dir.file("out/f"), newer));
}

}  // namespace
}  // namespace taq::test
