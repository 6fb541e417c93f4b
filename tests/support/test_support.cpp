#include "support/test_support.h"

#include "archive/entry.h"

#include <filesystem>
#include <fstream>
#include <stdexcept>

#ifndef TAQ_BINARY
#define TAQ_BINARY "taq"
#endif
#ifndef TAQ_TEST_DATA
#define TAQ_TEST_DATA "."
#endif

namespace fs = std::filesystem;

namespace taq::test {

namespace {

// Paths are UTF-8 text (the system's own encoding may be another).
fs::path utf8_path(const std::string& path) { return fs::path(reinterpret_cast<const char8_t*>(path.c_str())); }

}  // namespace

std::string TempDir::file(const std::string& name) const { return path_ + "/" + name; }

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
    fs::create_directories(utf8_path(path), ec);
}

void write_file(const std::string& path, const std::string& data) {
    const fs::path p = utf8_path(path);
    std::error_code ec;
    if (p.has_parent_path()) fs::create_directories(p.parent_path(), ec);
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot write " + path);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

void write_file(const std::string& path, const std::vector<uint8_t>& data) {
    write_file(path, std::string(data.begin(), data.end()));
}

std::string read_file(const std::string& path) {
    std::ifstream in(utf8_path(path), std::ios::binary);
    if (!in) return {};
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool file_exists(const std::string& path) {
    std::error_code ec;
    return fs::exists(utf8_path(path), ec);
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
