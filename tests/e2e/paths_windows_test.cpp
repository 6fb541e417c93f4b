// What only Windows has: drive letters, the long "\\?\" form and paths
// beyond the old whole-path limit, names in any script through the UTF-16
// system calls, device names and streams, and command lines that children
// must read back argument by argument.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>

#include "e2e/round_trip.h"
#include "platform/platform.h"

namespace taq::test {
namespace {

std::string slashed(std::string s) {
    std::replace(s.begin(), s.end(), '\\', '/');
    return s;
}


TEST(WindowsPaths, DrivePathsStoreTheDirectoryBelowTheDrive) {
    TempDir dir;
    ASSERT_EQ(dir.path()[1], ':');
    write_file(dir.file("data/a.txt"), "from a drive path");
    const std::string below = slashed(dir.path().substr(3)) + "/data/";
    // The plain form, the long form and '/' separators store the same.
    const std::string plain = dir.path() + "\\data\\a.txt";
    for (const std::string& arg : {plain, "\\\\?\\" + plain, slashed(plain)}) {
        platform::delete_file(dir.file("arch"));
        const RunResult r = run_taq({"a", "-m0", "arch", arg}, dir.path());
        ASSERT_EQ(r.exit_code, 0) << arg << "\n" << r.output;
        const auto headers = read_headers(dir.file("arch"));
        ASSERT_EQ(headers.size(), 1u) << arg;
        EXPECT_EQ(headers[0].stored_dir, below) << arg;
        EXPECT_EQ(headers[0].stored_name, "a.txt") << arg;
    }
    // A drive path as destination is absolute, not below the current
    // directory.
    TempDir out;
    const RunResult r = run_taq({"x", dir.file("arch"), out.path() + "\\restored"}, dir.path());
    ASSERT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(file_holds(out.file("restored/" + below + "a.txt"), "from a drive path"));
}

TEST(WindowsPaths, PathsBeyondTheOldLimitRoundTrip) {
    TempDir dir;
    // Some 600 characters below the scratch directory, built relative to
    // directory handles.
    std::string rel;
    platform::Directory d = platform::Directory::open(dir.path());
    for (int i = 0; i < 6; ++i) {
        const std::string name = "level" + std::to_string(i) + std::string(90, 'd');
        d = d.subdirectory(name);
        ASSERT_TRUE(d) << d.error();
        rel += name + "/";
    }
    platform::File f = d.open_file("deep.txt", platform::File::Mode::create);
    ASSERT_TRUE(f);
    ASSERT_TRUE(f.write("deep down", 9));
    f.close();
    ASSERT_GT(dir.path().size() + rel.size(), size_t{MAX_PATH});

    RunResult r = run_taq({"a", "-m0", "-r", "arch", "level0*"}, dir.path());
    ASSERT_EQ(r.exit_code, 0) << r.output;
    const auto headers = read_headers(dir.file("arch"));
    ASSERT_EQ(headers.size(), 1u);
    EXPECT_EQ(headers[0].stored_dir, rel);
    r = run_taq({"x", "arch", "out"}, dir.path());
    ASSERT_EQ(r.exit_code, 0) << r.output;
    platform::File back = platform::File::open(dir.file("out/" + rel + "deep.txt"), platform::File::Mode::read_existing);
    char buf[16] = {};
    EXPECT_EQ(back.read(buf, sizeof buf), 9u) << back.error();
    EXPECT_EQ(std::string(buf, 9), "deep down");
}

TEST(WindowsPaths, UncPathOfAMissingServerEndsCleanly) {
    TempDir dir;
    const RunResult r = run_taq({"a", "-m0", "arch", "\\\\no-such-server-taq\\share\\a.txt"}, dir.path(), 60000);
    EXPECT_EQ(r.exit_code, 1) << r.output;
    EXPECT_TRUE(contains(r.output, "Error: cannot read \\\\no-such-server-taq\\share\\a.txt")) << r.output;
    EXPECT_EQ(platform::file_size(dir.file("arch")), 0u);
}

TEST(WindowsPaths, NamesInAnyScriptRoundTrip) {
    const std::vector<std::string> names = {
        "Gr\xC3\xBC\xC3\x9F" "e.txt",                         // Grüße.txt
        "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E",               // 日本語
        "\xCE\x95\xCE\xBB/\xCE\x91\xCE\x92\xCE\x93.txt",      // Ελ/ΑΒΓ.txt
        "smile \xF0\x9F\x98\x80.bin",                         // outside the basic plane
    };
    TempDir dir;
    for (size_t i = 0; i < names.size(); ++i) write_file(dir.file("in/" + names[i]), random_bytes(3000 + i, 9 + i));
    const std::string archive = "arch \xC3\xA9t\xC3\xA9";  // arch été
    for (const char* tasks : {"-t1", "-t2"}) {
        platform::delete_file(dir.file(archive));
        RunResult r = run_taq({"a", "-m0", "-r", tasks, archive, "in"}, dir.path());
        ASSERT_EQ(r.exit_code, 0) << tasks << "\n" << r.output;
        r = run_taq({"l", archive}, dir.path());
        for (const auto& n : names) EXPECT_TRUE(contains(r.output, "in/" + n)) << n << "\n" << r.output;
        TempDir out;
        r = run_taq({"x", tasks, dir.file(archive), out.file("\xC3\xBC" "ber")}, dir.path());
        ASSERT_EQ(r.exit_code, 0) << tasks << "\n" << r.output;
        for (size_t i = 0; i < names.size(); ++i)
            EXPECT_TRUE(file_holds(out.file("\xC3\xBC" "ber/in/" + names[i]), random_bytes(3000 + i, 9 + i)))
                << tasks << " " << names[i];
    }
}

// A name that the system would take for a device or a stream is never
// opened as the output file.
TEST(WindowsPaths, DeviceNamesAndStreamsAreNotWritten) {
    TempDir dir;
    archive_of(dir, "src", "abc", "not for a device");
    write_file(dir.file("out/a"), "keep");
    for (const char* name : {"NUL", "con", "a:b"}) {
        write_file(dir.file("arch"), edited_entry(dir.file("src"), [&](EntryHeader& h) { h.stored_name = name; }));
        const RunResult r = run_taq({"x", "arch", "out"}, dir.path(), 20000);
        EXPECT_EQ(r.exit_code, 1) << name << "\n" << r.output;
        EXPECT_TRUE(contains(r.output, "Error:")) << name << "\n" << r.output;
    }
    EXPECT_EQ(files_below(dir.file("out")), (std::set<std::string>{"a"}));
    EXPECT_TRUE(file_holds(dir.file("out/a"), "keep"));
}

TEST(WindowsCommandLine, ArgumentsComeBackAsTheyWere) {
    const std::vector<std::string> args = {
        "C:\\Program Files\\taq.exe", "plain", "with blank", "", "tab\there", "quote\"inside", "trail\\",
        "trail blank\\", "a\\\\\"b", "\\\\server\\share", "\xC3\xBC \xE6\x97\xA5",
    };
    const std::string line = platform::command_line(args);
    int n = 0;
    // The shell's splitter reads a UTF-16 line; convert the UTF-8 one.
    const int len = ::MultiByteToWideChar(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), nullptr, 0);
    std::wstring w(static_cast<size_t>(len), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), w.data(), len);
    wchar_t** argv = ::CommandLineToArgvW(w.c_str(), &n);
    ASSERT_NE(argv, nullptr);
    ASSERT_EQ(n, static_cast<int>(args.size())) << line;
    for (int i = 0; i < n; ++i) {
        const int m = ::WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, nullptr, 0, nullptr, nullptr);
        std::string back(static_cast<size_t>(m - 1), '\0');
        ::WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, back.data(), m, nullptr, nullptr);
        EXPECT_EQ(back, args[static_cast<size_t>(i)]) << line;
    }
    ::LocalFree(argv);
}

// Children get the archive, part and board paths on their command line:
// blanks and non-ASCII text must reach them unchanged.
TEST(WindowsCommandLine, ChildrenReadPathsWithBlanks) {
    TempDir dir;
    write_file(dir.file("two  blanks \xC3\xA4/a file.txt"), random_bytes(3 << 20, 5));
    write_file(dir.file("two  blanks \xC3\xA4/b"), random_bytes(3 << 20, 6));
    RunResult r = run_taq({"a", "-m0", "-t2", "-r", dir.file("my arch \xC3\xA4"), "two  blanks \xC3\xA4"}, dir.path());
    ASSERT_EQ(r.exit_code, 0) << r.output;
    r = run_taq({"x", "-t2", dir.file("my arch \xC3\xA4"), dir.file("o u t")}, dir.path());
    ASSERT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(file_holds(dir.file("o u t/two  blanks \xC3\xA4/a file.txt"), random_bytes(3 << 20, 5)));
    EXPECT_TRUE(file_holds(dir.file("o u t/two  blanks \xC3\xA4/b"), random_bytes(3 << 20, 6)));
}

}  // namespace
}  // namespace taq::test
