// The tasks of an encrypted archive's run get its keys through a pipe that
// only they inherit: while `a`, `t` and `x` run with two tasks, nothing a
// user can look at (the tasks' command lines and environments, the task
// board) holds the password or the key.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>

#include "archive/sealed.h"
#include "e2e/round_trip.h"
#include "platform/crypto.h"
#include "support/test_support.h"

namespace taq::test {
namespace {

std::string read_whole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// What the tasks of the run started as `pid` show while it runs: their
// command lines, environments and board, all run together. `tasks`
// receives how many were seen; the run's exit code is returned.
int watch_tasks(int pid, const std::string& dir, std::string& shown, size_t& tasks) {
    std::set<int> seen;
    int status = 0;
    for (;;) {
        for (const int child : task_children(dir)) {
            const std::string proc = "/proc/" + std::to_string(child);
            const std::string cmdline = read_whole(proc + "/cmdline");
            shown += cmdline + read_whole(proc + "/environ");
            for (size_t at = 0; at < cmdline.size(); at = cmdline.find('\0', at) + 1) {
                const std::string arg = cmdline.c_str() + at;
                if (arg.rfind("-p", 0) == 0 && arg.size() > 3) shown += read_whole(arg.substr(4));
                if (cmdline.find('\0', at) == std::string::npos) break;
            }
            seen.insert(child);
        }
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) break;
        if (r < 0) return -1;
    }
    tasks = seen.size();
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(EncryptedTasks, KeysReachTheTasksThroughAPipeOnly) {
    if (!platform::crypto_available()) GTEST_SKIP() << "this build has no cryptography";
    const std::string password = "tasks never see this passphrase";
    TempDir dir;
    write_file(dir.file("pw"), password + "\n");
    Files files;
    for (int i = 0; i < 4; ++i)
        files.push_back({"in/f" + std::to_string(i), random_bytes(200000, 70 + i) + repeated("some text ", 30000)});
    for (const auto& [name, data] : files) write_file(dir.file(name), data);

    std::string shown;
    size_t tasks = 0;
    int pid = start_taq({"a", "-m0", "-t2", "--password-file=pw", "arch", "in/"}, dir.path());
    ASSERT_EQ(watch_tasks(pid, dir.path(), shown, tasks), 0);
    EXPECT_GE(tasks, 1u);
    ASSERT_TRUE(is_sealed_archive(dir.file("arch")));
    // No part archive is left, and nothing in the archive is readable.
    for (const auto& e : std::filesystem::directory_iterator(dir.path()))
        EXPECT_EQ(e.path().filename().string().rfind(".taq-", 0), std::string::npos) << e.path();
    EXPECT_FALSE(contains(read_file(dir.file("arch")), "some text"));

    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"t", "-t2", "--password-file=pw", "arch"},
          std::vector<std::string>{"x", "-t2", "--password-file=pw", "arch", "out/"}}) {
        SCOPED_TRACE(args[0]);
        // (Their tasks may be done before they are seen: these runs are short.)
        size_t decoders = 0;
        pid = start_taq(args, dir.path());
        ASSERT_EQ(watch_tasks(pid, dir.path(), shown, decoders), 0);
    }
    for (const auto& [name, data] : files) EXPECT_TRUE(file_holds(dir.file("out/" + name), data)) << name;

    // The key, as derived from the password and the archive's salt.
    const std::string header = read_file(dir.file("arch")).substr(0, kSealedHeaderBytes);
    uint32_t rounds = 0;
    for (int i = 0; i < 4; ++i) rounds |= static_cast<uint32_t>(static_cast<uint8_t>(header[12 + i])) << (8 * i);
    platform::SecretKey key;
    ASSERT_TRUE(platform::derive_key(password, reinterpret_cast<const uint8_t*>(header.data() + 16), kSaltBytes,
                                     rounds, key));
    const std::string key_bytes(reinterpret_cast<const char*>(key.data()), platform::kKeyBytes);
    ASSERT_FALSE(shown.empty());
    EXPECT_FALSE(contains(shown, password));
    EXPECT_FALSE(contains(shown, key_bytes));
    EXPECT_FALSE(contains(shown, key_bytes.substr(0, 8)));
}

}  // namespace
}  // namespace taq::test
