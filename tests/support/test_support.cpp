#include "support/test_support.h"

#include "archive/entry.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#ifndef TAQ_BINARY
#define TAQ_BINARY "taq"
#endif
#ifndef TAQ_TEST_DATA
#define TAQ_TEST_DATA "."
#endif

namespace fs = std::filesystem;

namespace taq::test {

TempDir::TempDir() {
    char tmpl[] = "/tmp/taqtestXXXXXX";
    if (!::mkdtemp(tmpl)) throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    // Make everything writable again first: a test may have taken rights away.
    for (auto it = fs::recursive_directory_iterator(path_, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        std::error_code ignore;
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignore);
    }
    fs::remove_all(path_, ec);
    // Trees deeper than the whole-path limit: rm walks them relative to
    // each directory.
    if (fs::exists(path_, ec)) run_program("/bin/rm", {"-rf", path_}, "/");
}

std::string TempDir::file(const std::string& name) const { return path_ + "/" + name; }

namespace {

uint64_t now_ms() {
    timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

}  // namespace

RunResult run_program(const std::string& program, const std::vector<std::string>& args, const std::string& cwd,
                      unsigned timeout_ms) {
    RunResult result;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        result.output = "pipe failed";
        return result;
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    pid_t pid = ::fork();
    if (pid < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        result.output = "fork failed";
        return result;
    }
    if (pid == 0) {
        ::dup2(fds[1], 1);
        ::dup2(fds[1], 2);
        int devnull = ::open("/dev/null", O_RDONLY);
        if (devnull >= 0) ::dup2(devnull, 0);
        if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) _exit(127);
        ::execv(program.c_str(), argv.data());
        _exit(127);
    }
    ::close(fds[1]);

    const uint64_t deadline = now_ms() + timeout_ms;
    bool timed_out = false;
    char buf[65536];
    for (;;) {
        const uint64_t now = now_ms();
        if (now >= deadline) {
            timed_out = true;
            break;
        }
        pollfd p{fds[0], POLLIN, 0};
        int r = ::poll(&p, 1, static_cast<int>(deadline - now));
        if (r < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (r == 0) continue;
        ssize_t n = ::read(fds[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        result.output.append(buf, static_cast<size_t>(n));
    }
    ::close(fds[0]);
    if (timed_out) ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!timed_out && WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
    if (timed_out) result.output += "\n[killed after timeout]\n";
    return result;
}

int start_taq(const std::vector<std::string>& args, const std::string& cwd) {
    const std::string program = taq_binary();
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setpgid(0, 0);
        const int devnull = ::open("/dev/null", O_RDWR);
        if (devnull >= 0) {
            ::dup2(devnull, 0);
            ::dup2(devnull, 1);
            ::dup2(devnull, 2);
        }
        if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) _exit(127);
        ::execv(program.c_str(), argv.data());
        _exit(127);
    }
    if (pid > 0) ::setpgid(pid, pid);
    return pid;
}

void kill_group(int pid) {
    if (pid <= 0) return;
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

RunResult run_taq(const std::vector<std::string>& args, const std::string& cwd, unsigned timeout_ms) {
    return run_program(taq_binary(), args, cwd, timeout_ms);
}

void make_dirs(const std::string& path) {
    std::error_code ec;
    fs::create_directories(path, ec);
}

void write_file(const std::string& path, const std::string& data) {
    const fs::path p(path);
    if (p.has_parent_path()) make_dirs(p.parent_path().string());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot write " + path);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

void write_file(const std::string& path, const std::vector<uint8_t>& data) {
    write_file(path, std::string(data.begin(), data.end()));
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool file_exists(const std::string& path) {
    std::error_code ec;
    return fs::exists(path, ec);
}

std::string random_bytes(size_t n, uint32_t seed) {
    std::string out(n, '\0');
    uint32_t x = seed ? seed : 1;
    for (size_t i = 0; i < n; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out[i] = static_cast<char>(x >> 24);
    }
    return out;
}

std::string make_entry(const std::string& name, const std::string& dir, bool solid, bool reset) {
    EntryHeader h;
    h.stored_name = name;
    h.stored_dir = dir;
    h.solid = solid ? 1 : 0;
    h.reset_flag = reset ? 1 : 0;
    h.entry_size = h.header_length() + 5;
    std::vector<uint8_t> bytes = serialize_header(h);
    bytes.resize(bytes.size() + 5, 0);
    return std::string(bytes.begin(), bytes.end());
}

std::string taq_binary() { return TAQ_BINARY; }
std::string test_data_dir() { return TAQ_TEST_DATA; }

}  // namespace taq::test
