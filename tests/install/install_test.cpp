// What `cmake --install` puts in place: the program, a manual page that
// renders cleanly, and a bash completion that offers commands, switches
// and archives.
#include <gtest/gtest.h>

#include <string>

#include "support/test_support.h"

using namespace taq::test;

namespace {

const std::string kPage = std::string(TAQ_SOURCE_DIR) + "/doc/taq.1";

RunResult shell(const std::string& command, const std::string& cwd = "/") {
    return run_program("/bin/sh", {"-c", command}, cwd);
}

using taq::test::contains;

TEST(ManualPage, RendersWithoutWarnings) {
    RunResult r = shell("groff -ww -z -man '" + kPage + "' 2>&1");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.output, "");
    r = shell("MANWIDTH=80 man -l '" + kPage + "' 2>&1");
    EXPECT_EQ(r.exit_code, 0) << r.output;
    for (const char* section : {"SYNOPSIS", "COMMANDS", "SWITCHES", "ARCHIVE NAMES", "DESTINATIONS", "WILDCARDS",
                                "TASKS", "EXIT STATUS", "FILES", "EXAMPLES", "EXACTNESS AND SAFETY"})
        EXPECT_TRUE(contains(r.output, std::string("\n") + section + "\n")) << section;
    EXPECT_FALSE(contains(r.output, "warning")) << r.output;
}

TEST(Install, PrefixHonoured) {
    TempDir prefix;
    RunResult r = shell("'" + std::string(TAQ_CMAKE) + "' --install '" + TAQ_BUILD_DIR + "' --prefix '" +
                        prefix.path() + "' 2>&1");
    ASSERT_EQ(r.exit_code, 0) << r.output;
    r = run_program(prefix.file("bin/taq"), {"--version"}, prefix.path());
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.output, "TAQ Archiver v.0.60d Kelvo\n");
    EXPECT_EQ(read_file(prefix.file("share/man/man1/taq.1")), read_file(kPage));
    r = shell("MANWIDTH=80 man -M '" + prefix.file("share/man") + "' taq 2>&1");
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(contains(r.output, "taq - context-mixing file archiver")) << r.output;
    EXPECT_TRUE(file_exists(prefix.file("share/bash-completion/completions/taq")));
}

// The library as a C program finds it: header, static and shared library
// (its SONAME links), and a pkg-config file that holds for any prefix. The
// README's example is doc/example.c, and it builds and runs as the README
// says.
TEST(Install, LibraryForC) {
#ifndef TAQ_SHARED_LIBRARY
    GTEST_SKIP() << "this build makes no shared library (a fuzz build)";
#endif
    TempDir prefix;
    RunResult r = shell("'" + std::string(TAQ_CMAKE) + "' --install '" + TAQ_BUILD_DIR + "' --prefix '" +
                        prefix.path() + "' 2>&1");
    ASSERT_EQ(r.exit_code, 0) << r.output;
    const std::string lib = prefix.file("lib");
    EXPECT_TRUE(file_exists(prefix.file("include/taq.h")));
    EXPECT_TRUE(file_exists(lib + "/libtaq.a"));
    EXPECT_TRUE(file_exists(lib + "/libtaq.so.0"));
    EXPECT_TRUE(file_exists(lib + "/libtaq.so"));
    EXPECT_TRUE(file_exists(lib + "/pkgconfig/taq.pc"));
    r = shell("readelf -d '" + lib + "/libtaq.so' | grep SONAME");
    EXPECT_TRUE(contains(r.output, "[libtaq.so.0]")) << r.output;
    // Nothing but the interface is exported.
    r = shell("nm -D --defined-only '" + lib + "/libtaq.so' | awk '$2 == \"T\" && $3 !~ /^taq_/' | head -5");
    EXPECT_EQ(r.output, "");

    const std::string example = read_file(std::string(TAQ_SOURCE_DIR) + "/doc/example.c");
    EXPECT_TRUE(contains(read_file(std::string(TAQ_SOURCE_DIR) + "/README.md"), example))
        << "README.md does not hold doc/example.c as it stands";
    TempDir work;
    write_file(work.file("example.c"), example);
    const std::string env = "PKG_CONFIG_PATH='" + lib + "/pkgconfig' ";
    r = shell(env + "cc -std=c99 -Wall -Werror example.c $(" + env + "pkg-config --cflags --libs taq) 2>&1",
              work.path());
    ASSERT_EQ(r.exit_code, 0) << r.output;
    r = shell("LD_LIBRARY_PATH='" + lib + "' ./a.out 2>&1", work.path());
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_EQ(r.output, "notes/hello.txt (28 bytes):\nHello from the TAQ library.\n");
    // The archive is one that taq reads.
    r = run_program(prefix.file("bin/taq"), {"t", "example.taq"}, work.path());
    EXPECT_EQ(r.exit_code, 0) << r.output;
}

// The words the installed completion offers for `words` (the last one is
// being typed), one per line.
std::string complete(const std::string& dir, const std::string& words) {
    const std::string script = "source '" + std::string(TAQ_SOURCE_DIR) + "/doc/taq.bash-completion'\n" +
                               "COMP_WORDS=(" + words + ")\nCOMP_CWORD=$((${#COMP_WORDS[@]} - 1))\n" +
                               "_taq\nprintf '%s\\n' \"${COMPREPLY[@]}\"\n";
    return run_program("/bin/bash", {"-c", script}, dir).output;
}

TEST(Completion, CommandsSwitchesAndArchives) {
    TempDir dir;
    for (const char* name : {"b.taq", "a.txt", "z.taq", "notes"}) write_file(dir.file(name), "");
    make_dirs(dir.file("sub"));
    EXPECT_EQ(complete(dir.path(), "taq ''"), "a\nu\nx\nt\nl\nv\n--help\n--version\n");
    EXPECT_EQ(complete(dir.path(), "taq x -"),
              "-c\n-v\n-t0\n-t1\n-t2\n-t3\n-t4\n-t5\n-t6\n-t7\n-t8\n--until=\n--password\n--password-file=\n");
    EXPECT_EQ(complete(dir.path(), "taq t -"),
              "-v\n-t0\n-t1\n-t2\n-t3\n-t4\n-t5\n-t6\n-t7\n-t8\n--until=\n--password\n--password-file=\n");
    EXPECT_EQ(complete(dir.path(), "taq u -c"), "-c\n");
    EXPECT_EQ(complete(dir.path(), "taq v ''"), "b.taq\nz.taq\na.txt\nnotes\nsub\n");
    EXPECT_EQ(complete(dir.path(), "taq add -m5 -"),
              "-m0\n-m1\n-m2\n-m3\n-m4\n-m5\n-m6\n-m7\n-r\n-s\n-v\n-n\n-t0\n-t1\n-t2\n-t3\n-t4\n-t5\n-t6\n-t7\n-t8\n--password\n--"
              "password-file=\n");
    // Archives: names ending in .taq first.
    EXPECT_EQ(complete(dir.path(), "taq x -t2 ''"), "b.taq\nz.taq\na.txt\nnotes\nsub\n");
    EXPECT_EQ(complete(dir.path(), "taq l n"), "notes\n");
    EXPECT_EQ(complete(dir.path(), "taq l --pa"), "--password\n--password-file=\n");
    // After the archive, `a` takes files.
    EXPECT_EQ(complete(dir.path(), "taq a arch.taq s"), "sub\n");
}

}  // namespace
