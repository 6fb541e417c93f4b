// Pipes through the real binary: `x -c` (the selected files' bytes alone
// on standard output, every message on standard error; a reader that
// closes early, a terminal, a failed check) and `a archive -`.
#include <gtest/gtest.h>

#include <string>

#include "e2e/round_trip.h"

namespace taq::test {
namespace {

// taq with `args` on a pseudo-terminal (standard input and output) says
// `why` and exits 1.
void expect_refused_on_terminal(const TempDir& dir, const std::string& args, const std::string& why) {
    const RunResult r =
        run_program("/usr/bin/script", {"-q", "-e", "-c", "'" + taq_binary() + "' " + args, "/dev/null"}, dir.path());
    EXPECT_EQ(r.exit_code, 1) << args << "\n" << r.output;
    EXPECT_TRUE(contains(r.output, why)) << args << "\n" << r.output;
}

// Runs a shell command in `dir`; "$T" is the taq binary.
RunResult sh(const TempDir& dir, const std::string& script) {
    return run_program("/bin/bash", {"-c", "T='" + taq_binary() + "'\n" + script}, dir.path());
}

TEST(Pipes, ExtractToStandardOutput) {
    TempDir dir;
    write_file(dir.file("a.txt"), std::string("alpha\n"));
    write_file(dir.file("b.txt"), random_bytes(50000, 3));
    write_file(dir.file("c.bin"), std::string("gamma"));
    add_m0(dir, {"a.txt", "b.txt", "c.bin"}, {"-s"});
    // One file: exactly its bytes, the messages on standard error.
    RunResult r = sh(dir, "\"$T\" x -c arch b.txt > out 2> err; echo \"rc=$?\"; cat err");
    EXPECT_TRUE(contains(r.output, "rc=0\n")) << r.output;
    EXPECT_TRUE(contains(r.output, " OK! ")) << r.output;
    EXPECT_TRUE(same_bytes(read_file(dir.file("out")), read_file(dir.file("b.txt"))));
    // A wildcard of several, and every file, in archive order (`a` sorts
    // by extension).
    r = sh(dir, "\"$T\" x -c arch '*.TXT' 2>/dev/null | cmp - <(cat a.txt b.txt) && echo same1\n"
                "\"$T\" x -c arch 2>/dev/null | cmp - <(cat c.bin a.txt b.txt) && echo same2\n");
    EXPECT_TRUE(contains(r.output, "same1\nsame2\n")) << r.output;
    // Nothing was written beside the archive, and a name that selects
    // nothing fails.
    EXPECT_EQ(files_below(dir.path()), (std::set<std::string>{"a.txt", "b.txt", "c.bin", "arch", "out", "err"}));
    r = sh(dir, "\"$T\" x -c arch none 2>&1 >/dev/null; echo \"rc=$?\"");
    EXPECT_TRUE(contains(r.output, "Error: none: not found in archive " + dir.file("arch") + "\nrc=1\n")) << r.output;
    // -c is only for x.
    r = sh(dir, "\"$T\" t -c arch; echo \"rc=$?\"");
    EXPECT_TRUE(contains(r.output, "Unknown option!")) << r.output;
}

TEST(Pipes, AFileInPiecesComesOutWholeAndAClosedPipeEndsTheRunQuietly) {
    TempDir dir;
    // Above 16 MiB: two tasks cut it into pieces.
    std::string big = random_bytes(1 << 20, 7);
    while (big.size() < (18u << 20)) big += big.substr(0, 1 << 20) + "x";
    write_file(dir.file("big"), big);
    write_file(dir.file("small"), std::string("after the big one"));
    add_m0(dir, {"big", "small"}, {"-t2"});
    ASSERT_GE(read_headers(dir.file("arch")).size(), 3u);
    RunResult r = sh(dir, "\"$T\" x -c -t2 arch 2>/dev/null | cmp - <(cat big small) && echo same");
    EXPECT_TRUE(contains(r.output, "same\n")) << r.output;
    r = sh(dir, "\"$T\" x -c arch 2>err | head -c 100 | wc -c; echo \"rc=${PIPESTATUS[0]}\"; cat err");
    EXPECT_TRUE(contains(r.output, "100\nrc=1\n")) << r.output;
    EXPECT_FALSE(contains(r.output, "Error")) << r.output;
    EXPECT_EQ(files_below(dir.path()), (std::set<std::string>{"big", "small", "arch", "err"}));
}

TEST(Pipes, ATerminalAndAFailedCheckAreRefused) {
    TempDir dir;
    write_file(dir.file("a.txt"), random_bytes(20000, 5));
    add_m0(dir, {"a.txt"});
    RunResult r;
    expect_refused_on_terminal(dir, "x -c arch", "refusing to write binary data to a terminal; redirect it or use x without -c");
    // A flipped byte in the coded data: the bytes that went out cannot be
    // taken back, but the run says so and fails.
    std::string bytes = read_file(dir.file("arch"));
    bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 0x10);
    write_file(dir.file("arch"), bytes);
    r = sh(dir, "\"$T\" x -c arch > out 2> err; echo \"rc=$?\"; cat err");
    EXPECT_TRUE(contains(r.output, "rc=1\n")) << r.output;
    EXPECT_TRUE(contains(r.output, "Error: ")) << r.output;
    EXPECT_FALSE(contains(r.output, " OK! ")) << r.output;
}

TEST(Pipes, AddFromStandardInput) {
    TempDir dir;
    std::string data = random_bytes(1 << 20, 9);
    while (data.size() < (20u << 20)) data += data.substr(0, 1 << 20);
    write_file(dir.file("data"), data);
    // 20 MiB through a pipe, -t2 or not: one entry named "stdin" that
    // restores to the same bytes.
    RunResult r = sh(dir, "cat data | \"$T\" a -m0 -t2 arch -; echo \"rc=$?\"");
    EXPECT_TRUE(contains(r.output, " Compressed 20971520 bytes to ")) << r.output;
    EXPECT_TRUE(contains(r.output, "rc=0\n")) << r.output;
    ASSERT_EQ(read_headers(dir.file("arch")).size(), 1u);
    EXPECT_EQ(read_headers(dir.file("arch"))[0].stored_path(), "stdin");
    r = sh(dir, "\"$T\" x arch out >/dev/null && cmp out/stdin data && echo same");
    EXPECT_TRUE(contains(r.output, "same\n")) << r.output;
    // A stored path of one's own, checked like any other.
    r = sh(dir, "printf 'two words' | \"$T\" a -m0 --name=dumps/db.sql arch -; \"$T\" l arch");
    EXPECT_TRUE(contains(r.output, "stdin\ndumps/db.sql\n n.2 files")) << r.output;
    for (const char* bad : {"../up", "/abs", "dir/"}) {
        r = sh(dir, std::string("echo x | \"$T\" a --name=") + bad + " arch -; echo \"rc=$?\"");
        EXPECT_TRUE(contains(r.output, "not a stored path that can be restored")) << r.output;
        EXPECT_TRUE(contains(r.output, "rc=1\n")) << r.output;
    }
    r = sh(dir, "echo x | \"$T\" a arch - data; echo \"rc=$?\"; \"$T\" a --name=x arch data; echo \"rc=$?\"");
    EXPECT_TRUE(contains(r.output, "Error: standard input (-) is added alone: taq a archive -\nrc=1\n")) << r.output;
    EXPECT_TRUE(contains(r.output, "Error: --name= names standard input (-), which this run does not add\nrc=1\n"))
        << r.output;
    expect_refused_on_terminal(dir, "a arch -", "refusing to read data from a terminal");
    // The input held for the run is gone, and the archive holds two entries.
    EXPECT_EQ(files_below(dir.path()), (std::set<std::string>{"data", "arch", "out/stdin"}));
    EXPECT_EQ(read_headers(dir.file("arch")).size(), 2u);
}

TEST(Pipes, AnArchiveToStandardOutputIsTheArchiveAWouldWrite) {
    TempDir dir;
    write_file(dir.file("a.txt"), random_bytes(30000, 11));
    write_file(dir.file("b.bin"), std::string(5000, 'b'));
    write_file(dir.file("c.txt"), std::string("the last one"));
    // (One process codes: the same bytes as a run of one task.)
    for (const std::string sw : {"-m0", "-m0 -s", "-m0 -n"}) {
        RunResult r = sh(dir, "rm -f file.taq; \"$T\" a " + sw + " - a.txt b.bin c.txt > piped.taq 2> err; echo \"rc=$?\"\n" +
                                  "\"$T\" a " + sw + " file.taq a.txt b.bin c.txt > /dev/null\n" +
                                  "cat err");
        EXPECT_TRUE(contains(r.output, "rc=0\n")) << sw << "\n" << r.output;
        // The same entries; only the file gets the marker of its version.
        EXPECT_TRUE(read_file(dir.file("piped.taq")) == without_markers(dir.file("file.taq"))) << sw;
        EXPECT_TRUE(contains(r.output, " Compressed 35012 bytes to ")) << r.output;
    }
    // A reader that goes away, a terminal, nothing to add.
    RunResult r = sh(dir, "\"$T\" a -m0 - a.txt b.bin 2>err | head -c 10 | wc -c; echo \"rc=${PIPESTATUS[0]}\"; cat err");
    EXPECT_TRUE(contains(r.output, "10\nrc=1\n")) << r.output;
    EXPECT_FALSE(contains(r.output, "Error")) << r.output;
    expect_refused_on_terminal(dir, "a - a.txt", "refusing to write binary data to a terminal");
    r = sh(dir, "\"$T\" a - > out; echo \"rc=$?\"");
    EXPECT_TRUE(contains(r.output, "needs the files to add")) << r.output;
    // The archive piped back in: listed, tested and restored in one pass.
    r = sh(dir, "\"$T\" a -m0 -s - a.txt b.bin c.txt 2>/dev/null | \"$T\" l - | tail -2\n"
                "\"$T\" a -m0 -s - a.txt b.bin c.txt 2>/dev/null | \"$T\" x - solid/ >/dev/null && cmp solid/b.bin b.bin && echo solid\n"
                "cat piped.taq | \"$T\" t - | tail -2\n"
                "cat piped.taq | \"$T\" x - back/ > /dev/null && cmp back/a.txt a.txt && cmp back/c.txt c.txt && echo restored\n");
    EXPECT_TRUE(contains(r.output, "c.txt - solid\n n.3 files in archive (standard input) \n")) << r.output;
    EXPECT_TRUE(contains(r.output, " Tested 3 entries: 0 verified, 3 without check record, 0 damaged \n OK! \n"))
        << r.output;
    EXPECT_TRUE(contains(r.output, "restored\n")) << r.output;
    EXPECT_TRUE(contains(r.output, "solid\n")) << r.output;
    EXPECT_FALSE(file_exists(dir.file("-")));
}

TEST(Pipes, AnArchiveThroughStandardInput) {
    TempDir dir;
    std::string big = random_bytes(1 << 20, 13);
    while (big.size() < (18u << 20)) big += big.substr(0, 1 << 20) + "y";
    write_file(dir.file("big"), big);
    write_file(dir.file("first"), std::string("the first file"));
    write_file(dir.file("last"), std::string("the last file"));
    add_m0(dir, {"first", "big", "last"}, {"-t2"});
    const std::vector<EntryHeader> headers = read_headers(dir.file("arch"));
    ASSERT_GE(headers.size(), 4u);
    // Pieces of a file written by tasks, restored from a pipe.
    RunResult r = sh(dir, "cat arch | \"$T\" x - out/ > /dev/null && cmp out/big big && cmp out/last last && echo same\n"
                          "cat arch | \"$T\" t - '*st' | tail -2\n"
                          "cat arch | \"$T\" l - nothing; echo \"rc=$?\"\n");
    EXPECT_TRUE(contains(r.output, "same\n")) << r.output;
    EXPECT_TRUE(contains(r.output, " Tested 2 entries: 2 verified, ")) << r.output;
    EXPECT_TRUE(contains(r.output, "Error: nothing: not found in archive (standard input)\n n.0 files")) << r.output;
    EXPECT_TRUE(contains(r.output, "rc=1\n")) << r.output;
    // Cut short after the entry of `first`: the damage at its offset, exit
    // 1, what came before restored.
    uint64_t first_end = 0;
    for (const EntryHeader& h : headers) {
        first_end += h.entry_size;
        if (h.stored_name == "first") break;
    }
    r = sh(dir, "head -c " + std::to_string(first_end + 100) + " arch | \"$T\" x - cut/; echo \"rc=$?\"");
    EXPECT_TRUE(contains(r.output, "Error: damaged archive (standard input) at offset " + std::to_string(first_end) +
                                       " (entry reaches past the end of the archive)\n"))
        << r.output;
    EXPECT_TRUE(contains(r.output, "rc=1\n")) << r.output;
    EXPECT_TRUE(file_holds(dir.file("cut/first"), "the first file"));
    // What cannot be done with one pass is refused in one line.
    r = sh(dir, "cat arch | \"$T\" x - a b; cat arch | \"$T\" x -c -");
    EXPECT_TRUE(contains(r.output, "x - takes one destination")) << r.output;
    EXPECT_TRUE(contains(r.output, "Error: x -c reads an archive file")) << r.output;
    for (const char* command : {"x -", "t -", "l -"})
        expect_refused_on_terminal(dir, command, "refusing to read an archive from a terminal");
}

}  // namespace
}  // namespace taq::test
