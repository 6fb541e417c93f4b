// End-to-end runs of the built executable: messages and exit codes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/test_support.h"

using namespace taq::test;

namespace {

const std::string kBanner = "TAQ Archiver v.0.60d Kelvo\n";
const std::string kUnknown = "\n Unknown option! \n";

bool starts_with(const std::string& s, const std::string& prefix) { return s.rfind(prefix, 0) == 0; }
using taq::test::contains;

void expect_usage(const RunResult& r, const std::string& what) {
    EXPECT_EQ(r.exit_code, 1) << what;
    EXPECT_TRUE(starts_with(r.output, kBanner + "Usage: TAQ <command> -<switch ..> <archive> <files...>")) << what;
    EXPECT_TRUE(contains(r.output, "\n Suppor for multi method for compression/decompression\n\n")) << what;
}

TEST(Cli, UsageCases) {
    TempDir dir;
    expect_usage(run_taq({}, dir.path()), "no arguments");
    expect_usage(run_taq({"X", "arch"}, dir.path()), "X arch");
    expect_usage(run_taq({"q", "arch"}, dir.path()), "q arch");
    expect_usage(run_taq({"add"}, dir.path()), "add");
    expect_usage(run_taq({"a", "-r", "-m1"}, dir.path()), "a -r -m1");
    expect_usage(run_taq({"x", "-v"}, dir.path()), "x -v");
    expect_usage(run_taq({"l"}, dir.path()), "l");
}

TEST(Cli, HelpAndVersion) {
    TempDir dir;
    for (const std::string word : {"--help", "-h"}) {
        const RunResult r = run_taq({word}, dir.path());
        EXPECT_EQ(r.exit_code, 0) << word;
        EXPECT_TRUE(starts_with(r.output, kBanner + "Usage: TAQ ")) << word;
        EXPECT_TRUE(contains(r.output, "man taq")) << word;
    }
    const RunResult r = run_taq({"--version"}, dir.path());
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.output, kBanner);
    // Every other word that is no command still gets the usage and 1.
    expect_usage(run_taq({"--verbose"}, dir.path()), "--verbose");
    expect_usage(run_taq({"-help"}, dir.path()), "-help");
}

TEST(Cli, UnknownOptions) {
    TempDir dir;
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"a", "-m8", "arch", "f"}, {"a", "-m9", "arch", "f"}, {"a", "-q", "arch"}, {"a", "-rz", "arch"},
             {"x", "-m5", "arch"}, {"x", "-r", "arch"}}) {
        RunResult r = run_taq(args, dir.path());
        EXPECT_EQ(r.exit_code, 1) << args[1];
        EXPECT_EQ(r.output, kUnknown) << args[1];
    }
    EXPECT_FALSE(file_exists(dir.file("arch")));
}

// A switch after the archive is a mistake, not a name: refused before
// anything is read or written, without the banner (as an unknown option).
TEST(Cli, SwitchesAfterTheArchiveAreRefused) {
    TempDir dir;
    write_file(dir.file("f"), std::string("some data"));
    ASSERT_EQ(run_taq({"a", "-m0", "arch", "f"}, dir.path()).exit_code, 0);
    const std::string before = read_file(dir.file("arch"));
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"x", "arch", "out", "-v"}, {"x", "arch", "-T2"}, {"x", "-v", "arch", "out", "-p1"},
             {"t", "arch", "-v"}, {"t", "arch", "*", "-t2"}, {"a", "arch", "f", "-m0"}, {"a", "arch", "-rs"},
             {"a", "new", "f", "-N"}, {"x", "arch", "--help"}, {"t", "arch", "-h"}, {"a", "arch", "--version"}}) {
        std::string what;
        for (const auto& a : args) what += a + " ";
        const RunResult r = run_taq(args, dir.path());
        EXPECT_EQ(r.exit_code, 1) << what;
        EXPECT_EQ(r.output, "switches go before the archive: " + args.back() + "\n") << what;
    }
    EXPECT_EQ(read_file(dir.file("arch")), before);
    EXPECT_FALSE(file_exists(dir.file("new")));
    EXPECT_FALSE(file_exists(dir.file("out")));
    EXPECT_FALSE(file_exists(dir.file("-v")));

    // A file of such a name goes in as ./-v; a name that is no switch as it is.
    write_file(dir.file("-v"), std::string("named like a switch"));
    write_file(dir.file("-foo.txt"), std::string("dash first"));
    RunResult r = run_taq({"a", "-m0", "names", "./-v", "-foo.txt"}, dir.path());
    EXPECT_EQ(r.exit_code, 0) << r.output;
    r = run_taq({"l", "names"}, dir.path());
    EXPECT_TRUE(contains(r.output, "\n-v\n")) << r.output;
    EXPECT_TRUE(contains(r.output, "\n-foo.txt\n")) << r.output;
}

// `t` and `l` fail like `x` on a wildcard that selects nothing, and still
// test or list what the others select.
TEST(Cli, TestAndListReportAWildcardThatMatchesNothing) {
    TempDir dir;
    write_file(dir.file("a.txt"), std::string("first"));
    write_file(dir.file("b.txt"), std::string("second"));
    ASSERT_EQ(run_taq({"a", "-m0", "arch", "a.txt", "b.txt"}, dir.path()).exit_code, 0);
    const std::string a = dir.file("arch");
    const std::string none = "Error: nosuch*: not found in archive " + a + "\n";
    for (const char* tasks : {"-t1", "-t2"}) {
        RunResult r = run_taq({"t", tasks, "arch", "nosuch*"}, dir.path());
        EXPECT_EQ(r.exit_code, 1) << tasks << r.output;
        EXPECT_TRUE(contains(r.output, none)) << tasks << r.output;
        EXPECT_TRUE(contains(r.output, " Tested 0 entries: ")) << tasks << r.output;
        EXPECT_FALSE(contains(r.output, " OK! ")) << tasks << r.output;

        r = run_taq({"t", tasks, "arch", "A*", "nosuch*", "x*"}, dir.path());
        EXPECT_EQ(r.exit_code, 1) << tasks << r.output;
        EXPECT_TRUE(contains(r.output, none + "Error: x*: not found in archive " + a + "\n")) << tasks << r.output;
        EXPECT_FALSE(contains(r.output, "A*: not found")) << tasks << r.output;
        EXPECT_TRUE(contains(r.output, " Tested 1 entries: 1 verified, ")) << tasks << r.output;

        r = run_taq({"t", tasks, "arch", "*.TXT"}, dir.path());
        EXPECT_EQ(r.exit_code, 0) << tasks << r.output;
    }
    RunResult r = run_taq({"l", "arch", "nosuch*"}, dir.path());
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.output, "Archive List ... " + a + " \n" + none + " n.0 files in archive " + a + " \n");
    r = run_taq({"l", "arch", "nosuch*", "b*"}, dir.path());
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.output, "Archive List ... " + a + " \n" + none + "b.txt\n n.1 files in archive " + a + " \n");

    // An empty archive holds nothing to fail: it tests and lists clean as
    // before, unless a wildcard asks for something.
    write_file(dir.file("empty"), std::string());
    r = run_taq({"t", "empty"}, dir.path());
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(contains(r.output, " Tested 0 entries: 0 verified, 0 without check record, 0 damaged \n OK! \n"))
        << r.output;
    EXPECT_EQ(run_taq({"l", "empty"}, dir.path()).exit_code, 0);
    r = run_taq({"t", "empty", "*"}, dir.path());
    EXPECT_EQ(r.exit_code, 1) << r.output;
    EXPECT_TRUE(contains(r.output, "Error: *: not found in archive " + dir.file("empty") + "\n")) << r.output;
    EXPECT_EQ(run_taq({"l", "empty", "*"}, dir.path()).exit_code, 1);
}

TEST(Cli, ASelectionInASolidRunDecodesNothingAfterItsLastEntry) {
    TempDir dir;
    for (const char* name : {"a.txt", "b.txt", "c.txt"}) write_file(dir.file(name), std::string(3000, name[0]));
    ASSERT_EQ(run_taq({"a", "-s", "-m0", "arch", "*.txt"}, dir.path()).exit_code, 0);
    const RunResult r = run_taq({"t", "-v", "arch", "b.txt"}, dir.path());
    EXPECT_EQ(r.exit_code, 0) << r.output;
    // a.txt is decoded for the model; c.txt, after the selection, is not.
    EXPECT_TRUE(contains(r.output, "b.txt  range 0+3000")) << r.output;
    EXPECT_FALSE(contains(r.output, "c.txt")) << r.output;
    EXPECT_TRUE(contains(r.output, " Tested 2 entries: 2 verified, ")) << r.output;
    const RunResult x = run_taq({"x", "arch", dir.file("out") + "/b.txt"}, dir.path());
    EXPECT_EQ(x.exit_code, 0) << x.output;
    EXPECT_EQ(read_file(dir.file("out/b.txt")), std::string(3000, 'b'));
    EXPECT_FALSE(file_exists(dir.file("out/c.txt")));
}

TEST(Cli, ListHandMadeArchive) {
    TempDir dir;
    write_file(dir.file("arch"), make_entry("x.bin", "data/") + make_entry("a.txt", "") +
                                     make_entry("b.bin", "data/sub/", true) + make_entry("c.BIN", "", true, false));
    RunResult r = run_taq({"l", "arch"}, dir.path());
    EXPECT_EQ(r.exit_code, 0);
    const std::string a = dir.file("arch");
    EXPECT_EQ(r.output, "Archive List ... " + a + " \ndata/x.bin\na.txt\ndata/sub/b.bin - solid\nc.BIN - solid\n" +
                            " n.4 files in archive " + a + " \n");

    // Two wildcards list an entry twice; matching is on the name, as given
    // ("data" names a directory, no file: not found).
    r = run_taq({"l", a, "*.bin", "?.*", "data"}, "/");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.output, "Archive List ... " + a + " \ndata/x.bin\ndata/sub/b.bin - solid\n" +
                            "data/x.bin\na.txt\ndata/sub/b.bin - solid\nc.BIN - solid\n" +
                            "Error: data: not found in archive " + a + "\n n.6 files in archive " + a + " \n");
}

TEST(Cli, ListFailures) {
    TempDir dir;
    const std::string a = dir.file("arch");
    RunResult r = run_taq({"l", "arch"}, dir.path());
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.output, "Archive List ... " + a + " \nError: cannot open Archive file " + a + "\n");

    // The second entry's entry_size is 0: the walk could never move on.
    const std::string second = make_entry("bad", "");
    write_file(a, make_entry("ok", "") + std::string(8, '\0') + second.substr(8));
    r = run_taq({"l", "arch"}, dir.path());
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(starts_with(r.output, "Archive List ... " + a + " \nok\nError: damaged archive " + a + " at offset " +
                                          std::to_string(make_entry("ok", "").size()) + " ("))
        << r.output;
    EXPECT_FALSE(contains(r.output, " n."));

    r = run_taq({"l", std::string(5000, 'n')}, dir.path());
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(starts_with(r.output, "Error: path too long ")) << r.output.substr(0, 80);
}

TEST(Cli, ExtractFailures) {
    TempDir dir;
    RunResult r = run_taq({"x", "-t2", "nothere", "out"}, dir.path());
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(starts_with(r.output, kBanner + "multiprocess etraction use 2 task \nARGV=out\nArchive=" +
                                          dir.file("nothere") + " Wild=* DEST=" + dir.file("out/") + "\n"))
        << r.output;
    EXPECT_TRUE(contains(r.output, "Error: cannot open Archive file " + dir.file("nothere") + "\n"));
    EXPECT_FALSE(contains(r.output, " OK! "));
}

TEST(Cli, AddWithoutFiles) {
    TempDir dir;
    RunResult r = run_taq({"a", "-t4", "arch", "*.none"}, dir.path());
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.output, kBanner + "multiprocess compression use 4 task \nArchive is " + dir.file("arch") +
                            " \nError: no file matches *.none\nWARNING: No files\n close task's active \n"
                            " Compressed 0 bytes to 0 bytes \n");

    r = run_taq({"a", "arch", "$x"}, dir.path());
    EXPECT_EQ(r.exit_code, 1);
    // "*" matches only the archive this run has created, which never goes into itself.
    EXPECT_TRUE(contains(r.output, "argc=* \nWARNING: No files\n")) << r.output;
}

TEST(Cli, AddNamesArchiveAfterDirectory) {
    TempDir dir;
    make_dirs(dir.file("mydir"));
    RunResult r = run_taq({"a", "mydir"}, dir.path());
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.output, kBanner + "Archiver not defined: Activate File-Folder control..  \nArchive is " +
                            dir.file("mydir.taq") +
                            " \nError: no file matches mydir/*\nWARNING: No files\n Compressed 0 bytes to 0 bytes \n");
}

TEST(Cli, ChildModeWithoutBoardEndsSilently) {
    TempDir dir;
    RunResult r = run_taq({"a", "-p1", "arch", "x"}, dir.path());
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.output, "");
    r = run_taq({"x", "-p2", "arch", "out"}, dir.path());
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.output, "");
}

TEST(Cli, AddThatCannotWriteItsArchiveFails) {
    TempDir dir;
    write_file(dir.file("f"), std::string("data"));
    make_dirs(dir.file("adir"));
    RunResult r = run_taq({"a", "-m0", "adir", "f"}, dir.path());
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(contains(r.output, "Error: cannot open Output file " + dir.file("adir") + "\n")) << r.output;
    EXPECT_FALSE(contains(r.output, " Compressed "));
}

TEST(Cli, RoundTripExitCodes) {
    TempDir dir;
    const std::string text = random_bytes(3000, 5) + std::string(5000, 'z');
    write_file(dir.file("d/one.txt"), text);
    write_file(dir.file("d/two.bin"), std::string());
    RunResult r = run_taq({"a", "-m0", "-r", "arch", "d"}, dir.path());
    ASSERT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(contains(r.output, " Compressed 8000 bytes to ")) << r.output;

    r = run_taq({"l", "arch"}, dir.path());
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(contains(r.output, " n.2 files in archive ")) << r.output;

    r = run_taq({"x", "arch", "out"}, dir.path());
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(contains(r.output, "\n OK! \n"));
    EXPECT_EQ(read_file(dir.file("out/d/one.txt")), text);
    EXPECT_TRUE(file_exists(dir.file("out/d/two.bin")));
}

}  // namespace
