// `a` killed at any moment of its run (as a power cut or kill -9 would stop
// it, children included) leaves an archive that the next `a` appends to
// safely: every entry complete before the kill, and everything of the
// next run, restores exactly; nothing half-written restores as good.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "e2e/round_trip.h"
#include "support/test_support.h"

namespace taq::test {
namespace {

uint64_t now_ms() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

TEST(Kill, AddKilledAnywhereLeavesOnlyCompleteEntries) {
    constexpr int kPoints = 12;  // per task mode
    for (const char* tasks : {"-t1", "-t2"}) {
        SCOPED_TRACE(tasks);
        TempDir dir;
        Files files;
        for (int i = 0; i < 12; ++i)
            files.push_back({"f" + std::to_string(i), random_bytes(30000, 50 + i) + std::string(30000, 'a' + i)});
        for (const auto& [name, data] : files) write_file(dir.file(name), data);
        const std::string base = "the base entry " + random_bytes(2000, 9);
        const std::string later = "added after the kill " + random_bytes(2000, 10);
        write_file(dir.file("base"), base);
        write_file(dir.file("later"), later);
        add_m0(dir, {"base"});
        const std::string base_archive = read_file(dir.file("arch"));

        // How long an uninterrupted run takes.
        uint64_t start = now_ms();
        RunResult r = run_taq({"a", "-m0", tasks, "arch", "f*"}, dir.path());
        ASSERT_EQ(r.exit_code, 0) << r.output;
        const uint64_t run_ms = std::max<uint64_t>(now_ms() - start, 20);

        int survivors = 0;
        for (int k = 1; k <= kPoints; ++k) {
            SCOPED_TRACE(k);
            write_file(dir.file("arch"), base_archive);
            const int pid = start_taq({"a", "-m0", tasks, "arch", "f*"}, dir.path());
            std::this_thread::sleep_for(std::chrono::milliseconds(run_ms * k / (kPoints + 1)));
            kill_group(pid);

            r = run_taq({"a", "-m0", "arch", "later"}, dir.path());
            ASSERT_EQ(r.exit_code, 0) << r.output;
            r = run_taq({"t", "arch"}, dir.path());
            EXPECT_EQ(r.exit_code, 0) << r.output;
            const std::string out = "out" + std::to_string(k);
            r = run_taq({"x", "arch", out}, dir.path());
            EXPECT_EQ(r.exit_code, 0) << r.output;
            EXPECT_TRUE(file_holds(dir.file(out + "/base"), base));
            EXPECT_TRUE(file_holds(dir.file(out + "/later"), later));
            bool kept = false;
            for (const auto& [name, data] : files) {
                if (!file_exists(dir.file(out + "/" + name))) continue;
                kept = true;
                EXPECT_TRUE(file_holds(dir.file(out + "/" + name), data));
            }
            survivors += kept ? 1 : 0;
        }
        // Some kills came after entries of the run were complete.
        std::printf("%s: %d of %d kills kept entries of the killed run\n", tasks, survivors, kPoints);
    }
}

}  // namespace
}  // namespace taq::test
