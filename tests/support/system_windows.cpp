// The parts of the test helpers that need the system: scratch directories,
// running programs, and looking at processes and memory (Windows).
#include "support/test_support.h"

#include <windows.h>
#include <winternl.h>

#include <psapi.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <utility>

#include "platform/platform.h"

namespace fs = std::filesystem;

namespace taq::test {

namespace {

std::wstring widen(const std::string& s) { return fs::path(reinterpret_cast<const char8_t*>(s.c_str())).wstring(); }

std::string narrow(const std::wstring& w) {
    const std::u8string u = fs::path(w).u8string();
    return std::string(u.begin(), u.end());
}

std::string forward_slashes(std::string s) {
    std::replace(s.begin(), s.end(), '\\', '/');
    return s;
}

// Only the pipes and files made for a program go to it. Were the test's
// own output inherited as well, a process that outlives the run (wine's
// console host of a killed child does) would keep the test runner waiting.
void keep_std_handles() {
    for (DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
        const HANDLE h = ::GetStdHandle(which);
        if (h && h != INVALID_HANDLE_VALUE) ::SetHandleInformation(h, HANDLE_FLAG_INHERIT, 0);
    }
}

std::string lower_ascii(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

}  // namespace

TempDir::TempDir() {
    wchar_t buf[MAX_PATH + 1];
    const DWORD n = ::GetTempPathW(MAX_PATH + 1, buf);
    if (n == 0 || n > MAX_PATH) throw std::runtime_error("no temporary folder");
    const std::string base = narrow(std::wstring(buf, n));
    static unsigned counter = 0;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const std::string name = base + "taqtest" + std::to_string(::GetCurrentProcessId()) + "x" +
                                 std::to_string(++counter) + "x" + std::to_string(::GetTickCount64() % 100000);
        if (::CreateDirectoryW(widen(name).c_str(), nullptr)) {
            path_ = name;
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary folder");
}

TempDir::~TempDir() {
    // The long form, so that trees deeper than the whole-path limit go too.
    std::wstring w = widen(path_);
    std::replace(w.begin(), w.end(), L'/', L'\\');
    const fs::path root(L"\\\\?\\" + w);
    std::error_code ec;
    // Make everything writable again first: a test may have set read-only.
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        std::error_code ignore;
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignore);
    }
    fs::remove_all(root, ec);
}

namespace {

// Under wine, with other test processes starting or ending at the same
// moment, a start now and then fails for no reason of the program's: it is
// tried again a few times before the test hears of it.
bool create_process(const std::wstring& exe, std::wstring& line, const std::wstring& dir, DWORD flags,
                    STARTUPINFOW& si, PROCESS_INFORMATION& pi, DWORD& error) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (attempt > 0) ::Sleep(100 * attempt);
        if (::CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, TRUE, flags, nullptr,
                             dir.empty() ? nullptr : dir.c_str(), &si, &pi))
            return true;
        error = ::GetLastError();
    }
    return false;
}

}  // namespace

RunResult run_program(const std::string& program, const std::vector<std::string>& args, const std::string& cwd,
                      unsigned timeout_ms) {
    RunResult result;
    keep_std_handles();
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE read_end = nullptr, write_end = nullptr;
    if (!::CreatePipe(&read_end, &write_end, &inherit, 0)) {
        result.output = "pipe failed";
        return result;
    }
    ::SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    HANDLE null_in = ::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING,
                                   0, nullptr);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = null_in;
    si.hStdOutput = write_end;
    si.hStdError = write_end;
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    std::wstring line = widen(platform::command_line(argv));
    std::wstring exe = widen(program);
    std::replace(exe.begin(), exe.end(), L'/', L'\\');
    const std::wstring dir = widen(cwd);
    PROCESS_INFORMATION pi{};
    // A console of its own: the program and its children are never attached
    // to the test's console (whose host would otherwise live as long as
    // the longest of them, holding the test runner's output open).
    DWORD start_error = 0;
    const bool started = create_process(exe, line, dir, CREATE_NO_WINDOW, si, pi, start_error);
    ::CloseHandle(write_end);
    if (null_in != INVALID_HANDLE_VALUE) ::CloseHandle(null_in);
    if (!started) {
        ::CloseHandle(read_end);
        result.output = "cannot start " + program + " (error " + std::to_string(start_error) + ")";
        return result;
    }
    ::CloseHandle(pi.hThread);

    // Read until every writer (children included) has closed the pipe, or
    // the program has ended and nothing came for a while: wine's console
    // host of a killed child may keep the pipe open for good.
    const uint64_t deadline = ::GetTickCount64() + timeout_ms;
    constexpr uint64_t kQuietAfterExitMs = 500;
    uint64_t quiet_since = 0;
    bool timed_out = false;
    std::string raw;
    char buf[65536];
    for (;;) {
        DWORD avail = 0;
        if (!::PeekNamedPipe(read_end, nullptr, 0, nullptr, &avail, nullptr)) break;
        if (avail == 0) {
            const uint64_t now = ::GetTickCount64();
            if (now >= deadline) {
                timed_out = true;
                break;
            }
            if (::WaitForSingleObject(pi.hProcess, 0) == WAIT_OBJECT_0) {
                if (quiet_since == 0) quiet_since = now;
                if (now - quiet_since >= kQuietAfterExitMs) break;
            }
            ::Sleep(5);
            continue;
        }
        quiet_since = 0;
        DWORD got = 0;
        if (!::ReadFile(read_end, buf, std::min<DWORD>(avail, sizeof buf), &got, nullptr) || got == 0) break;
        raw.append(buf, got);
    }
    ::CloseHandle(read_end);
    if (timed_out) ::TerminateProcess(pi.hProcess, 0xC000013A);
    ::WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 0;
    if (!timed_out && ::GetExitCodeProcess(pi.hProcess, &code) && code < 0xC0000000u)
        result.exit_code = static_cast<int>(code);
    ::CloseHandle(pi.hProcess);
    // Console text mode writes "\r\n"; the tests read lines as "\n".
    for (size_t i = 0; i < raw.size(); ++i)
        if (!(raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n')) result.output.push_back(raw[i]);
    if (timed_out) result.output += "\n[killed after timeout]\n";
    return result;
}

std::vector<bool> resident_pages(const void* p, size_t bytes) {
    constexpr size_t kPage = 4096;
    const uintptr_t start = reinterpret_cast<uintptr_t>(p) & ~uintptr_t{kPage - 1};
    std::vector<PSAPI_WORKING_SET_EX_INFORMATION> info((reinterpret_cast<uintptr_t>(p) + bytes - start + kPage - 1) /
                                                       kPage);
    for (size_t i = 0; i < info.size(); ++i) info[i].VirtualAddress = reinterpret_cast<void*>(start + i * kPage);
    std::vector<bool> out;
    if (!::QueryWorkingSetEx(::GetCurrentProcess(), info.data(),
                             static_cast<DWORD>(info.size() * sizeof(PSAPI_WORKING_SET_EX_INFORMATION))))
        return out;
    for (const auto& i : info) out.push_back(i.VirtualAttributes.Valid != 0);
    return out;
}

bool make_symlink(const std::string& target, const std::string& link) {
    const std::wstring t = widen(target);
    const DWORD attributes = ::GetFileAttributesW(t.c_str());
    DWORD flags = SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE;
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        flags |= SYMBOLIC_LINK_FLAG_DIRECTORY;
    if (!::CreateSymbolicLinkW(widen(link).c_str(), t.c_str(), flags)) return false;
    // Some systems answer yes and make nothing that reads as a link.
    const DWORD made = ::GetFileAttributesW(widen(link).c_str());
    return made != INVALID_FILE_ATTRIBUTES && (made & FILE_ATTRIBUTE_REPARSE_POINT);
}

namespace {

// The command line of another process, read from its process parameters;
// empty when it cannot be read.
std::wstring command_line_of(DWORD pid) {
    const HANDLE h = ::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    if (!h) return {};
    std::wstring line;
    PROCESS_BASIC_INFORMATION basic{};
    PEB peb{};
    RTL_USER_PROCESS_PARAMETERS params{};
    if (NT_SUCCESS(::NtQueryInformationProcess(h, ProcessBasicInformation, &basic, sizeof basic, nullptr)) &&
        ::ReadProcessMemory(h, basic.PebBaseAddress, &peb, sizeof peb, nullptr) &&
        ::ReadProcessMemory(h, peb.ProcessParameters, &params, sizeof params, nullptr)) {
        line.resize(params.CommandLine.Length / sizeof(wchar_t));
        if (!::ReadProcessMemory(h, params.CommandLine.Buffer, line.data(), params.CommandLine.Length, nullptr))
            line.clear();
    }
    ::CloseHandle(h);
    return line;
}

}  // namespace

std::vector<int> task_children(const std::string& dir) {
    std::vector<int> out;
    const std::string board = lower_ascii(forward_slashes(dir)) + "/.taq-board-";
    const HANDLE snap = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE) return out;
    PROCESSENTRY32W e;
    e.dwSize = sizeof e;
    for (BOOL more = ::Process32FirstW(snap, &e); more; more = ::Process32NextW(snap, &e)) {
        if (lower_ascii(narrow(e.szExeFile)) != "taq.exe") continue;
        const std::wstring line = command_line_of(e.th32ProcessID);
        if (line.empty()) continue;
        int n = 0;
        wchar_t** argv = ::CommandLineToArgvW(line.c_str(), &n);
        if (!argv) continue;
        for (int i = 1; i < n; ++i) {
            const std::string arg = lower_ascii(forward_slashes(narrow(argv[i])));
            if (arg.rfind("-p", 0) == 0 && arg.find(board) != std::string::npos) {
                out.push_back(static_cast<int>(e.th32ProcessID));
                break;
            }
        }
        ::LocalFree(argv);
    }
    ::CloseHandle(snap);
    return out;
}

int parent_of(int pid) {
    int parent = 0;
    const HANDLE snap = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE) return 0;
    PROCESSENTRY32W e;
    e.dwSize = sizeof e;
    for (BOOL more = ::Process32FirstW(snap, &e); more; more = ::Process32NextW(snap, &e))
        if (static_cast<int>(e.th32ProcessID) == pid) parent = static_cast<int>(e.th32ParentProcessID);
    ::CloseHandle(snap);
    return parent;
}

void kill_process(int pid) {
    const HANDLE h = ::OpenProcess(PROCESS_TERMINATE, FALSE, static_cast<DWORD>(pid));
    if (!h) return;
    ::TerminateProcess(h, 0xC000013A);
    ::CloseHandle(h);
}

namespace {

// The job object of each process that start_taq started: its children
// join it, so that the whole tree can be ended at once.
std::map<int, std::pair<HANDLE, HANDLE>> started;  // pid -> job, process

}  // namespace

int start_taq(const std::vector<std::string>& args, const std::string& cwd) {
    keep_std_handles();
    const HANDLE job = ::CreateJobObjectW(nullptr, nullptr);
    if (!job) return -1;
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    const HANDLE null = ::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      &inherit, OPEN_EXISTING, 0, nullptr);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = si.hStdOutput = si.hStdError = null;
    std::vector<std::string> argv{taq_binary()};
    argv.insert(argv.end(), args.begin(), args.end());
    std::wstring line = widen(platform::command_line(argv));
    std::wstring exe = widen(taq_binary());
    std::replace(exe.begin(), exe.end(), L'/', L'\\');
    const std::wstring dir = widen(cwd);
    PROCESS_INFORMATION pi{};
    DWORD start_error = 0;
    const bool ok = create_process(exe, line, dir, CREATE_SUSPENDED | CREATE_NO_WINDOW, si, pi, start_error);
    if (null != INVALID_HANDLE_VALUE) ::CloseHandle(null);
    if (!ok) {
        ::CloseHandle(job);
        return -1;
    }
    ::AssignProcessToJobObject(job, pi.hProcess);
    ::ResumeThread(pi.hThread);
    ::CloseHandle(pi.hThread);
    const int pid = static_cast<int>(pi.dwProcessId);
    started[pid] = {job, pi.hProcess};
    return pid;
}

void kill_group(int pid) {
    const auto it = started.find(pid);
    if (it == started.end()) return;
    ::TerminateJobObject(it->second.first, 0xC000013A);
    ::WaitForSingleObject(it->second.second, INFINITE);
    ::CloseHandle(it->second.first);
    ::CloseHandle(it->second.second);
    started.erase(it);
}

uint32_t kept_permissions(uint32_t bits) { return (bits & 0200) ? 0644 : 0444; }

size_t deep_path_bytes() { return 1000; }

// Job objects limit memory and time, not the size of files.
bool file_limit_supported() { return false; }

RunResult run_taq_with_file_limit(const std::vector<std::string>&, const std::string&, uint64_t) {
    RunResult r;
    r.output = "no file size limit on this system";
    return r;
}

}  // namespace taq::test
