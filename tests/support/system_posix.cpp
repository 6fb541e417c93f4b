// The parts of the test helpers that need the system: scratch directories,
// running programs, and looking at processes and memory (POSIX).
#include "support/test_support.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

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

    // Under an emulator programs run some ten times slower (32-bit x86 the
    // slowest): the limits, meant for hangs, grow with them.
    const uint64_t deadline = now_ms() + uint64_t{timeout_ms} * (under_emulator() ? 6 : 1);
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

std::vector<bool> resident_pages(const void* p, size_t bytes) {
    constexpr size_t kPage = 4096;
    std::vector<unsigned char> v((bytes + kPage - 1) / kPage);
    std::vector<bool> out;
    if (::mincore(const_cast<void*>(p), bytes, v.data()) != 0) return out;
    for (unsigned char c : v) out.push_back((c & 1) != 0);
    return out;
}

bool make_symlink(const std::string& target, const std::string& link) {
    return ::symlink(target.c_str(), link.c_str()) == 0;
}

std::vector<int> task_children(const std::string& dir) {
    std::vector<int> out;
    for (const auto& e : fs::directory_iterator("/proc")) {
        const std::string name = e.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream in(e.path() / "cmdline", std::ios::binary);
        std::string arg;
        while (std::getline(in, arg, '\0'))
            if (arg.rfind("-p", 0) == 0 && arg.find(dir + "/.taq-board-") != std::string::npos) {
                out.push_back(std::stoi(name));
                break;
            }
    }
    return out;
}

void kill_process(int pid) { ::kill(pid, SIGKILL); }

int parent_of(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    std::getline(in, stat);
    // "pid (name) state ppid ...": the name may hold blanks and parentheses.
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) return 0;
    char state = 0;
    int ppid = 0;
    return std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) == 2 ? ppid : 0;
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

uint32_t kept_permissions(uint32_t bits) { return bits & 0777; }

size_t deep_path_bytes() { return 3900; }

bool file_limit_supported() { return true; }

// The shell's ulimit, with SIGXFSZ ignored so that the write fails with
// EFBIG instead of ending the process.
RunResult run_taq_with_file_limit(const std::vector<std::string>& args, const std::string& cwd, uint64_t limit_kib) {
    std::string script = "trap '' XFSZ; ulimit -f " + std::to_string(limit_kib) + "; exec '" + taq_binary() + "'";
    for (const auto& a : args) script += " '" + a + "'";
    return run_program("/bin/bash", {"-c", script}, cwd);
}

}  // namespace taq::test
