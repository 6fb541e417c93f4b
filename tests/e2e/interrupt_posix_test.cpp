// A single-task `a` that is asked to stop (SIGTERM, SIGINT) while it codes
// says so, puts the archive back as it was before the run and exits 1.
#include <gtest/gtest.h>

#include <string>

#include "e2e/round_trip.h"

namespace taq::test {
namespace {

// Starts `a -m0 ARCHIVE big` in `dir`, sends `signal` once the archive has
// grown past `before` bytes (the run is coding), and returns what the run
// printed and its exit code.
RunResult interrupted_add(const TempDir& dir, const std::string& archive, size_t before, const std::string& signal) {
    const std::string script = "'" + taq_binary() + "' a -m0 " + archive + " big & p=$!\n" +
                               "for i in $(seq 2000); do\n"
                               "  [ \"$(stat -c %s " + archive + " 2>/dev/null || echo 0)\" -gt " +
                               std::to_string(before) + " ] && break\n"
                               "  sleep 0.01\n"
                               "done\n"
                               "kill -" + signal + " $p\nwait $p\n";
    return run_program("/bin/bash", {"-c", script}, dir.path());
}

TEST(Interrupt, SingleTaskAddStopsAndPutsTheArchiveBack) {
    TempDir dir;
    const std::string before = archive_of(dir, "arch", "small.txt", "an entry from an earlier run");
    // Letters: coded for seconds (two segments), never stored raw.
    std::string text = random_bytes(9 << 20, 5);
    for (char& c : text) c = static_cast<char>('a' + static_cast<uint8_t>(c) % 26);
    write_file(dir.file("big"), text);

    RunResult r = interrupted_add(dir, "arch", before.size(), "TERM");
    EXPECT_EQ(r.exit_code, 1) << r.output;
    EXPECT_TRUE(contains(r.output, "Error: interrupted\n")) << r.output;
    EXPECT_FALSE(contains(r.output, " Compressed ")) << r.output;
    EXPECT_TRUE(same_bytes(read_file(dir.file("arch")), before));
    EXPECT_TRUE(taq_leftovers(dir.path()).empty());

    // An archive the run created goes with it.
    r = interrupted_add(dir, "fresh", 0, "INT");
    EXPECT_EQ(r.exit_code, 1) << r.output;
    EXPECT_TRUE(contains(r.output, "Error: interrupted\n")) << r.output;
    EXPECT_FALSE(file_exists(dir.file("fresh")));
}

}  // namespace
}  // namespace taq::test
