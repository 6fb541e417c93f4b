// Inputs that only POSIX systems have or refuse: FIFOs, sockets, devices,
// directories closed by their permission bits, and trees deeper than the
// whole-path limit.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "e2e/round_trip.h"

namespace taq::test {
namespace {

namespace fs = std::filesystem;


std::vector<std::string> stored_paths(const std::string& archive) {
    std::vector<std::string> out;
    for (const EntryHeader& h : read_headers(archive)) out.push_back(h.stored_dir + h.stored_name);
    return out;
}

// Runs taq as an unprivileged user when the tests run as root, who may
// read and write everything, so that permissions take effect. The
// directory is opened to everyone first.
RunResult run_unprivileged(const TempDir& dir, const std::vector<std::string>& args, const std::string& cwd) {
    ::chmod(dir.path().c_str(), 0777);
    if (::geteuid() != 0) return run_taq(args, cwd);
    std::vector<std::string> a{"--reuid=65534", "--regid=65534", "--clear-groups", taq_binary()};
    a.insert(a.end(), args.begin(), args.end());
    return run_program("/usr/bin/setpriv", a, cwd);
}

TEST(Accounted, InputsLeftOutAreNamedAndFailTheRun) {
    TempDir dir;
    write_file(dir.file("keep.txt"), "kept");
    write_file(dir.file("d/in.txt"), "in d");
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0644), 0);
    fs::create_symlink("nowhere", dir.file("dangling"));
    const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string sock_path = dir.file("sock");
    ASSERT_LT(sock_path.size(), sizeof addr.sun_path);
    sock_path.copy(addr.sun_path, sock_path.size());
    ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);

    // A FIFO that were opened would block the run until the time-out.
    RunResult r = run_taq({"a", "-m0", "arch", "keep.txt", "missing.txt", "d", "*.none", "fifo", "sock", "dangling",
                           "/dev/null"},
                          dir.path(), 20000);
    ::close(sock);
    EXPECT_EQ(r.exit_code, 1) << r.output;
    for (const char* line : {"Error: cannot find Input file missing.txt (No such file or directory)\n",
                             "Error: d is a directory (its files are added with -r)\n",
                             "Error: no file matches *.none\n", "Error: skipped fifo: a FIFO, not a regular file\n",
                             "Error: skipped sock: a socket, not a regular file\n",
                             "Error: skipped dangling: a dangling symbolic link, not a regular file\n",
                             "Error: skipped /dev/null: a device, not a regular file\n"})
        EXPECT_TRUE(contains(r.output, line)) << line << r.output;
    EXPECT_EQ(stored_paths(dir.file("arch")), std::vector<std::string>{"keep.txt"});

    // Met below a directory, they are named but the run goes on.
    r = run_taq({"a", "-m0", "-r", "tree", "."}, dir.path(), 20000);
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(contains(r.output, "Skipped ./fifo: a FIFO, not a regular file\n")) << r.output;
    EXPECT_TRUE(contains(r.output, "Skipped ./dangling: a dangling symbolic link, not a regular file\n")) << r.output;

    r = run_taq({"a", "-m0", "-t2", "none", "missing.txt"}, dir.path());
    EXPECT_EQ(r.exit_code, 1) << r.output;
    EXPECT_TRUE(contains(r.output, "Error: cannot find Input file missing.txt (No such file or directory)\nWARNING: No files\n"))
        << r.output;
}

TEST(Accounted, UnreadableDirectoryFailsTheRun) {
    TempDir dir;
    write_file(dir.file("tree/ok.txt"), "readable");
    write_file(dir.file("tree/locked/hidden.txt"), "behind a closed door");
    ::chmod(dir.file("tree/locked").c_str(), 0);
    const RunResult r = run_unprivileged(dir, {"a", "-m0", "-r", "arch", "tree"}, dir.path());
    EXPECT_EQ(r.exit_code, 1) << r.output;
    EXPECT_TRUE(contains(r.output, "Error: cannot read directory tree/locked (Permission denied)\n")) << r.output;
    EXPECT_EQ(stored_paths(dir.file("arch")), std::vector<std::string>{"tree/ok.txt"});
}

TEST(Accounted, DirectoryBeyondThePathLimitFailsTheRun) {
    TempDir dir;
    write_file(dir.file("deep/top.txt"), "near the top");
    // 25 levels of 200-byte names: about 5,000 bytes, more than a path may hold.
    const std::string name(200, 'd');
    int fd = ::open(dir.file("deep").c_str(), O_RDONLY | O_DIRECTORY);
    for (int level = 0; level < 25 && fd >= 0; ++level) {
        ASSERT_EQ(::mkdirat(fd, name.c_str(), 0755), 0);
        const int next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
        ::close(fd);
        fd = next;
    }
    ASSERT_GE(fd, 0);
    ::close(fd);
    const RunResult r = run_taq({"a", "-m0", "-r", "arch", "deep"}, dir.path());
    run_program("/bin/rm", {"-rf", dir.file("deep")}, "/");
    EXPECT_EQ(r.exit_code, 1) << r.output.substr(0, 2000);
    EXPECT_TRUE(contains(r.output, "Error: cannot read ")) << r.output.substr(0, 2000);
    EXPECT_TRUE(contains(r.output, " (File name too long)\n")) << r.output.substr(0, 2000);
    EXPECT_EQ(stored_paths(dir.file("arch")), std::vector<std::string>{"deep/top.txt"});
}

TEST(Accounted, TasksInAReadOnlyDirectoryPutTheirBoardBesideTheArchive) {
    TempDir dir;
    write_file(dir.file("work/in.txt"), "from a directory nobody may write");
    write_file(dir.file("work/more.txt"), random_bytes(3 << 20, 5));
    ::chmod(dir.file("work").c_str(), 0555);
    RunResult r = run_unprivileged(dir, {"a", "-m0", "-t2", "../arch", "in.txt", "more.txt"}, dir.file("work"));
    EXPECT_EQ(r.exit_code, 0) << r.output;
    r = run_unprivileged(dir, {"x", "-t2", "../arch", "../out"}, dir.file("work"));
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(file_holds(dir.file("out/in.txt"), "from a directory nobody may write"));
    EXPECT_TRUE(file_holds(dir.file("out/more.txt"), random_bytes(3 << 20, 5)));
    for (const auto& e : fs::directory_iterator(dir.path()))
        EXPECT_NE(e.path().filename().string().rfind(".taq-", 0), 0u) << e.path();
}

}  // namespace
}  // namespace taq::test
