// The platform layer on Windows. Paths are UTF-8 inside TAQ and UTF-16 at
// every call into the system; long paths go through the "\\?\" form, and
// what is created below a Directory is opened relative to its handle with
// the native API, never through a reparse point (symbolic link, junction).
#include "platform/platform.h"
#include "platform/calendar.h"

#include <windows.h>
#include <winternl.h>

#include <shellapi.h>
#include <tlhelp32.h>

#include <io.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace taq::platform {

namespace {

// UTF-16 of a UTF-8 text. Text that is not UTF-8 (a name from an archive
// written under an old code page) is read in the system's code page.
std::wstring widen(const std::string& text) {
    if (text.empty()) return {};
    const int n = static_cast<int>(text.size());
    UINT page = CP_UTF8;
    int len = ::MultiByteToWideChar(page, MB_ERR_INVALID_CHARS, text.data(), n, nullptr, 0);
    if (len <= 0) {
        page = CP_ACP;
        len = ::MultiByteToWideChar(page, 0, text.data(), n, nullptr, 0);
    }
    std::wstring out(static_cast<size_t>(std::max(len, 0)), L'\0');
    if (len > 0) ::MultiByteToWideChar(page, page == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0, text.data(), n, out.data(), len);
    return out;
}

std::string narrow(const wchar_t* text, size_t n) {
    if (n == 0) return {};
    const int len = ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(std::max(len, 0)), '\0');
    if (len > 0) ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(n), out.data(), len, nullptr, nullptr);
    return out;
}

std::string narrow(const std::wstring& text) { return narrow(text.data(), text.size()); }

std::string error_text(DWORD code) {
    wchar_t* buf = nullptr;
    const DWORD n = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
        MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<wchar_t*>(&buf), 0, nullptr);
    std::string text = n ? narrow(buf, n) : "error " + std::to_string(code);
    if (buf) ::LocalFree(buf);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.'))
        text.pop_back();
    return text;
}

std::string last_error_text() { return error_text(::GetLastError()); }

std::string status_text(NTSTATUS status) { return error_text(::RtlNtStatusToDosError(status)); }

// Longest path handed to the system as it is; longer ones take the "\\?\"
// form, which lifts the limit to about 32767 characters.
constexpr size_t kShortPathLimit = MAX_PATH - 12;
constexpr size_t kLongPathLimit = 32000;
constexpr size_t kComponentLimit = 255;

// The path as the system takes it: UTF-16, '\' separators, and long paths
// made absolute in the "\\?\" form (which the system takes literally, so
// "." and ".." are resolved first).
std::wstring wide_path(const std::string& path) {
    std::wstring w = widen(path);
    std::replace(w.begin(), w.end(), L'/', L'\\');
    if (w.size() < kShortPathLimit || w.rfind(L"\\\\?\\", 0) == 0) return w;
    const DWORD n = ::GetFullPathNameW(w.c_str(), 0, nullptr, nullptr);
    if (n == 0) return w;
    std::wstring full(n, L'\0');
    const DWORD got = ::GetFullPathNameW(w.c_str(), n, full.data(), nullptr);
    if (got == 0 || got >= n) return w;
    full.resize(got);
    if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

bool is_device_name(const std::string& component) {
    // The part before the first dot, trailing blanks dropped, decides:
    // "nul.txt" and "CON " are the devices too.
    std::string base = component.substr(0, component.find('.'));
    while (!base.empty() && base.back() == ' ') base.pop_back();
    for (char& c : base)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL" || base == "CONIN$" || base == "CONOUT$")
        return true;
    return base.size() == 4 && (base.rfind("COM", 0) == 0 || base.rfind("LPT", 0) == 0) && base[3] >= '1' &&
           base[3] <= '9';
}

// Why the system would take `path` for something other than a file of
// that name: a ':' past the drive names a stream of another file, and a
// device name (CON, NUL, COM1, ...) opens the device. Empty when neither.
std::string name_problem(const std::string& path, bool creating) {
    size_t from = 0;
    if (path.rfind("\\\\?\\", 0) == 0 || path.rfind("//?/", 0) == 0) from = 4;
    if (path.size() >= from + 2 && path[from + 1] == ':') from += 2;
    if (path.find(':', from) != std::string::npos) return "':' in a file name";
    if (!creating) return {};
    size_t start = from;
    for (size_t i = from; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != '/' && path[i] != '\\') continue;
        if (is_device_name(path.substr(start, i - start))) return "reserved device name";
        start = i + 1;
    }
    return {};
}

HANDLE as_handle(intptr_t h) { return reinterpret_cast<HANDLE>(h); }
intptr_t from_handle(HANDLE h) { return h == INVALID_HANDLE_VALUE ? -1 : reinterpret_cast<intptr_t>(h); }

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

bool info_of(HANDLE h, BY_HANDLE_FILE_INFORMATION& info) { return ::GetFileInformationByHandle(h, &info) != 0; }

FileIdentity identity_of(const BY_HANDLE_FILE_INFORMATION& info) {
    FileIdentity id;
    id.device = info.dwVolumeSerialNumber;
    id.inode = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return id;
}

// The identity of an opened handle, which is closed.
bool take_identity(HANDLE h, FileIdentity& out) {
    if (h == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info;
    const bool ok = info_of(h, info);
    ::CloseHandle(h);
    if (ok) out = identity_of(info);
    return ok;
}

// 100 ns ticks from 1601 to 1970.
constexpr int64_t kEpochTicks = 116444736000000000;

int64_t filetime_to_ns(const FILETIME& ft) {
    const int64_t ticks = static_cast<int64_t>((static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
    return (ticks - kEpochTicks) * 100;
}

FILETIME ns_to_filetime(int64_t ns) {
    // Floor division, so that times before 1970 keep their tick.
    int64_t ticks = ns / 100;
    if (ns % 100 < 0) --ticks;
    const uint64_t t = static_cast<uint64_t>(ticks + kEpochTicks);
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(t);
    ft.dwHighDateTime = static_cast<DWORD>(t >> 32);
    return ft;
}

// A path opened with links followed, for queries only.
HANDLE open_for_query(const std::string& path) {
    return ::CreateFileW(wide_path(path.empty() ? std::string(".") : path).c_str(), FILE_READ_ATTRIBUTES, kShareAll,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// Attributes and size of what the path leads to, links followed.
bool query_followed(const std::string& path, DWORD& attributes, uint64_t& size) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExW(wide_path(path).c_str(), GetFileExInfoStandard, &data)) return false;
    attributes = data.dwFileAttributes;
    size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return true;
    // The attributes above are the link's own.
    const HANDLE h = open_for_query(path);
    if (h == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info;
    const bool ok = info_of(h, info);
    ::CloseHandle(h);
    if (!ok) return false;
    attributes = info.dwFileAttributes;
    size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    return true;
}

bool set_end_of_file(HANDLE h, uint64_t length) {
    FILE_END_OF_FILE_INFO eof;
    eof.EndOfFile.QuadPart = static_cast<LONGLONG>(length);
    return ::SetFileInformationByHandle(h, FileEndOfFileInfo, &eof, sizeof eof) != 0;
}

// Transfers are cut into pieces that a DWORD counts.
constexpr size_t kMaxTransfer = size_t{1} << 30;

OVERLAPPED at_offset(uint64_t offset) {
    OVERLAPPED o{};
    o.Offset = static_cast<DWORD>(offset);
    o.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return o;
}

}  // namespace

std::string os_path(const std::string& path) {
    std::string p = path;
    std::replace(p.begin(), p.end(), '/', '\\');
    return p;
}

bool is_absolute_path(const std::string& path) {
    return (!path.empty() && (path[0] == '/' || path[0] == '\\')) || (path.size() >= 2 && path[1] == ':');
}

namespace {

UINT console_output_page = 0;

void restore_console_page() {
    if (console_output_page) ::SetConsoleOutputCP(console_output_page);
}

}  // namespace

std::vector<std::string> process_arguments(int argc, char** argv) {
    // Names go to the console as they are, in UTF-8.
    if (const UINT page = ::GetConsoleOutputCP(); page != 0 && page != CP_UTF8 && ::SetConsoleOutputCP(CP_UTF8)) {
        console_output_page = page;
        std::atexit(restore_console_page);
    }
    int n = 0;
    wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &n);
    if (!wide) return {argv, argv + argc};
    std::vector<std::string> args;
    for (int i = 0; i < n; ++i) args.push_back(narrow(wide[i], wcslen(wide[i])));
    ::LocalFree(wide);
    return args;
}

File::File(File&& other) noexcept : fd_(other.fd_), pos_(other.pos_), error_(std::move(other.error_)) {
    other.fd_ = -1;
}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = other.fd_;
        pos_ = other.pos_;
        error_ = std::move(other.error_);
        other.fd_ = -1;
    }
    return *this;
}

File::~File() { close(); }

void File::close() {
    if (fd_ >= 0) ::CloseHandle(as_handle(fd_));
    fd_ = -1;
}

File File::open(const std::string& path, Mode mode) {
    File f;
    DWORD access = GENERIC_READ | GENERIC_WRITE;
    DWORD disposition = OPEN_EXISTING;
    switch (mode) {
        case Mode::read_existing: access = GENERIC_READ; break;
        case Mode::write_existing: break;
        // Opened, then truncated: replacing a hidden file outright fails.
        case Mode::create: disposition = OPEN_ALWAYS; break;
        case Mode::create_new: disposition = CREATE_NEW; break;
        case Mode::open_or_create: disposition = OPEN_ALWAYS; break;
    }
    if (const std::string problem = name_problem(path, access != GENERIC_READ); !problem.empty()) {
        f.error_ = problem;
        return f;
    }
    const HANDLE h = ::CreateFileW(wide_path(path).c_str(), access, kShareAll, nullptr, disposition,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        f.error_ = last_error_text();
        return f;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (info_of(h, info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        ::CloseHandle(h);
        f.error_ = "is a directory";
        return f;
    }
    if (mode == Mode::create && !set_end_of_file(h, 0)) {
        f.error_ = last_error_text();
        ::CloseHandle(h);
        return f;
    }
    f.fd_ = from_handle(h);
    return f;
}

size_t File::read(void* data, size_t n) {
    size_t done = 0;
    auto* out = static_cast<char*>(data);
    while (done < n && fd_ >= 0) {
        OVERLAPPED o = at_offset(pos_);
        DWORD got = 0;
        const DWORD want = static_cast<DWORD>(std::min(n - done, kMaxTransfer));
        if (!::ReadFile(as_handle(fd_), out + done, want, &got, &o)) {
            if (::GetLastError() != ERROR_HANDLE_EOF) error_ = last_error_text();
            break;
        }
        if (got == 0) break;
        done += got;
        pos_ += got;
    }
    return done;
}

bool File::write(const void* data, size_t n) {
    size_t done = 0;
    const auto* in = static_cast<const char*>(data);
    while (done < n) {
        if (fd_ < 0) return false;
        OVERLAPPED o = at_offset(pos_);
        DWORD put = 0;
        const DWORD want = static_cast<DWORD>(std::min(n - done, kMaxTransfer));
        if (!::WriteFile(as_handle(fd_), in + done, want, &put, &o)) {
            error_ = last_error_text();
            return false;
        }
        if (put == 0) {
            error_ = "no space left";
            return false;
        }
        done += put;
        pos_ += put;
    }
    return true;
}

bool File::seek(uint64_t offset) {
    if (offset > static_cast<uint64_t>(INT64_MAX)) return false;
    pos_ = offset;
    return fd_ >= 0;
}

int64_t File::size() const {
    LARGE_INTEGER s;
    if (fd_ < 0 || !::GetFileSizeEx(as_handle(fd_), &s)) return -1;
    return s.QuadPart;
}

bool File::truncate(uint64_t length) {
    if (fd_ < 0) return false;
    if (!set_end_of_file(as_handle(fd_), length)) {
        error_ = last_error_text();
        return false;
    }
    return true;
}

bool File::sync() {
    if (fd_ < 0) return false;
    if (!::FlushFileBuffers(as_handle(fd_))) {
        error_ = last_error_text();
        return false;
    }
    return true;
}

namespace {

// Windows locks byte ranges, and a locked range cannot be read or written
// through other handles. The advisory whole-file lock is therefore one
// byte far beyond any real file's end.
constexpr uint64_t kLockOffset = uint64_t{1} << 62;

}  // namespace

bool File::lock(LockKind kind, bool wait) {
    if (fd_ < 0) return false;
    DWORD flags = (kind == LockKind::exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0) | (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY);
    OVERLAPPED o = at_offset(kLockOffset);
    if (!::LockFileEx(as_handle(fd_), flags, 0, 1, 0, &o)) {
        error_ = last_error_text();
        return false;
    }
    return true;
}

bool File::identity(FileIdentity& out) const {
    BY_HANDLE_FILE_INFORMATION info;
    if (fd_ < 0 || !info_of(as_handle(fd_), info)) return false;
    out = identity_of(info);
    return true;
}

// Windows keeps no permission bits: the read-only attribute stands for a
// missing owner-write bit, and the other bits read as a plain file's.
bool File::metadata(FileMeta& out) const {
    BY_HANDLE_FILE_INFORMATION info;
    if (fd_ < 0 || !info_of(as_handle(fd_), info)) return false;
    out.mtime_ns = filetime_to_ns(info.ftLastWriteTime);
    out.permissions = (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0644;
    return true;
}

bool File::set_metadata(const FileMeta& meta) {
    if (fd_ < 0) return false;
    const HANDLE h = as_handle(fd_);
    const FILETIME ft = ns_to_filetime(meta.mtime_ns);
    bool ok = ::SetFileTime(h, nullptr, nullptr, &ft) != 0;
    DWORD err = ok ? 0 : ::GetLastError();
    FILE_BASIC_INFO basic;
    if (::GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic)) {
        DWORD attributes = basic.FileAttributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
        if (!(meta.permissions & 0200)) attributes |= FILE_ATTRIBUTE_READONLY;
        if (attributes != basic.FileAttributes) {
            FILE_BASIC_INFO change{};
            change.FileAttributes = attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
            if (!::SetFileInformationByHandle(h, FileBasicInfo, &change, sizeof change)) {
                ok = false;
                err = ::GetLastError();
            }
        }
    } else {
        ok = false;
        err = ::GetLastError();
    }
    if (!ok) error_ = error_text(err);
    return ok;
}

namespace {

// Opens `name`, one component, relative to the directory handle `dir`
// (NtCreateFile's disposition and options). Names that are not one plain
// component (separators, a stream's ':', "." and "..") are refused, and so
// are device names: the native API would make files of them that other
// programs cannot open.
HANDLE open_below(HANDLE dir, const std::string& name, ACCESS_MASK access, ULONG disposition, ULONG options,
                  NTSTATUS& status) {
    if (name.empty() || name == "." || name == ".." || name.find_first_of("/\\:") != std::string::npos ||
        is_device_name(name)) {
        status = static_cast<NTSTATUS>(0xC0000033L);  // STATUS_OBJECT_NAME_INVALID
        return INVALID_HANDLE_VALUE;
    }
    std::wstring w = widen(name);
    UNICODE_STRING us;
    us.Buffer = w.data();
    us.Length = static_cast<USHORT>(w.size() * sizeof(wchar_t));
    us.MaximumLength = us.Length;
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &us, OBJ_CASE_INSENSITIVE, dir, nullptr);
    IO_STATUS_BLOCK io{};
    HANDLE h = INVALID_HANDLE_VALUE;
    status = ::NtCreateFile(&h, access | SYNCHRONIZE, &oa, &io, nullptr, FILE_ATTRIBUTE_NORMAL, kShareAll,
                            disposition, options | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    return NT_SUCCESS(status) ? h : INVALID_HANDLE_VALUE;
}

constexpr NTSTATUS kNotFound = static_cast<NTSTATUS>(0xC0000034L);  // STATUS_OBJECT_NAME_NOT_FOUND

bool is_link(const BY_HANDLE_FILE_INFORMATION& info) {
    return (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// Marks the open handle's file for deletion; clears a read-only attribute
// that stands in the way.
bool delete_open(HANDLE h) {
    FILE_DISPOSITION_INFO del{TRUE};
    if (::SetFileInformationByHandle(h, FileDispositionInfo, &del, sizeof del)) return true;
    FILE_BASIC_INFO basic;
    if (!::GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic) ||
        !(basic.FileAttributes & FILE_ATTRIBUTE_READONLY))
        return false;
    FILE_BASIC_INFO change{};
    change.FileAttributes = (basic.FileAttributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    if (change.FileAttributes == 0) change.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    return ::SetFileInformationByHandle(h, FileBasicInfo, &change, sizeof change) &&
           ::SetFileInformationByHandle(h, FileDispositionInfo, &del, sizeof del);
}

constexpr ACCESS_MASK kDirectoryAccess =
    FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_READ_ATTRIBUTES;

}  // namespace

Directory::Directory(Directory&& other) noexcept : fd_(other.fd_), error_(std::move(other.error_)) { other.fd_ = -1; }

Directory& Directory::operator=(Directory&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::CloseHandle(as_handle(fd_));
        fd_ = other.fd_;
        error_ = std::move(other.error_);
        other.fd_ = -1;
    }
    return *this;
}

Directory::~Directory() {
    if (fd_ >= 0) ::CloseHandle(as_handle(fd_));
}

Directory Directory::open(const std::string& path) {
    Directory d;
    const std::wstring w = wide_path(path.empty() ? std::string(".") : path);
    HANDLE h = ::CreateFileW(w.c_str(), kDirectoryAccess | SYNCHRONIZE, kShareAll, nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        d.error_ = last_error_text();
        return d;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!info_of(h, info) || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        ::CloseHandle(h);
        d.error_ = "not a directory";
        return d;
    }
    d.fd_ = from_handle(h);
    return d;
}

Directory Directory::subdirectory(const std::string& name) const {
    Directory d;
    if (fd_ < 0) {
        d.error_ = error_text(ERROR_INVALID_HANDLE);
        return d;
    }
    NTSTATUS status = 0;
    const HANDLE h = open_below(as_handle(fd_), name, kDirectoryAccess, FILE_OPEN_IF, FILE_DIRECTORY_FILE, status);
    if (h == INVALID_HANDLE_VALUE) {
        d.error_ = status_text(status);
        return d;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!info_of(h, info) || is_link(info)) {
        d.error_ = is_link(info) ? std::string("is a symbolic link") : last_error_text();
        ::CloseHandle(h);
        return d;
    }
    d.fd_ = from_handle(h);
    return d;
}

File Directory::open_file(const std::string& name, File::Mode mode) const {
    File f;
    if (fd_ < 0) {
        f.error_ = error_text(ERROR_INVALID_HANDLE);
        return f;
    }
    const HANDLE dir = as_handle(fd_);
    ACCESS_MASK access = GENERIC_READ | GENERIC_WRITE;
    ULONG disposition = FILE_OPEN;
    bool replaces = false;
    switch (mode) {
        case File::Mode::read_existing: access = GENERIC_READ; break;
        case File::Mode::write_existing: break;
        case File::Mode::create: disposition = FILE_OPEN_IF; replaces = true; break;
        case File::Mode::create_new: disposition = FILE_CREATE; break;
        case File::Mode::open_or_create: disposition = FILE_OPEN_IF; replaces = true; break;
    }
    NTSTATUS status = 0;
    if (replaces) {
        // A link is taken away, never written through: what stood there is
        // replaced by the restored file.
        const HANDLE old = open_below(dir, name, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, FILE_OPEN, 0,
                                      status);
        if (old != INVALID_HANDLE_VALUE) {
            BY_HANDLE_FILE_INFORMATION info;
            if (info_of(old, info) && is_link(info)) delete_open(old);
            ::CloseHandle(old);
        }
    }
    const HANDLE h = open_below(dir, name, access, disposition, FILE_NON_DIRECTORY_FILE, status);
    if (h == INVALID_HANDLE_VALUE) {
        f.error_ = status_text(status);
        return f;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!info_of(h, info) || is_link(info) || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        f.error_ = !info_of(h, info) ? last_error_text() : is_link(info) ? "is a symbolic link" : "is a directory";
        ::CloseHandle(h);
        return f;
    }
    if (mode == File::Mode::create && !set_end_of_file(h, 0)) {
        f.error_ = last_error_text();
        ::CloseHandle(h);
        return f;
    }
    f.fd_ = from_handle(h);
    return f;
}

bool Directory::identity(const std::string& name, FileIdentity& out) const {
    if (fd_ < 0) return false;
    NTSTATUS status = 0;
    return take_identity(open_below(as_handle(fd_), name, FILE_READ_ATTRIBUTES, FILE_OPEN, 0, status), out);
}

bool Directory::remove(const std::string& name) const {
    if (fd_ < 0) return false;
    NTSTATUS status = 0;
    const HANDLE h =
        open_below(as_handle(fd_), name, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, FILE_OPEN, 0, status);
    if (h == INVALID_HANDLE_VALUE) return status == kNotFound;
    BY_HANDLE_FILE_INFORMATION info;
    // A real directory is not a file to remove; a link to one is.
    const bool ok = info_of(h, info) && (is_link(info) || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) &&
                    delete_open(h);
    ::CloseHandle(h);
    return ok;
}

namespace {

// Clears a read-only attribute of the file at `name`, so that it can be
// replaced as it can elsewhere, where only the directory's rights count.
void clear_read_only(HANDLE dir, const std::string& name) {
    NTSTATUS status = 0;
    const HANDLE h = open_below(dir, name, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, FILE_OPEN, 0, status);
    if (h == INVALID_HANDLE_VALUE) return;
    FILE_BASIC_INFO basic;
    if (::GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic) &&
        (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) && !(basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        FILE_BASIC_INFO change{};
        change.FileAttributes = basic.FileAttributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
        if (change.FileAttributes == 0) change.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        ::SetFileInformationByHandle(h, FileBasicInfo, &change, sizeof change);
    }
    ::CloseHandle(h);
}

// The native call's own rename record: the new name relative to a
// directory handle, which the documented one does not take.
struct RenameRecord {
    BOOLEAN replace_if_exists;
    HANDLE root_directory;
    ULONG file_name_length;
    WCHAR file_name[1];
};
constexpr int kFileRenameInformation = 10;

extern "C" NTSTATUS NTAPI NtSetInformationFile(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, int);

}  // namespace

bool names_fold_case() { return true; }

bool Directory::rename(const std::string& from, const std::string& to) {
    if (fd_ < 0) return false;
    const HANDLE dir = as_handle(fd_);
    NTSTATUS status = 0;
    if (to.empty() || to.find_first_of("/\\:") != std::string::npos || is_device_name(to)) {
        error_ = status_text(static_cast<NTSTATUS>(0xC0000033L));
        return false;
    }
    const HANDLE h = open_below(dir, from, DELETE | FILE_READ_ATTRIBUTES, FILE_OPEN, FILE_NON_DIRECTORY_FILE, status);
    if (h == INVALID_HANDLE_VALUE) {
        error_ = status_text(status);
        return false;
    }
    clear_read_only(dir, to);
    const std::wstring w = widen(to);
    std::vector<unsigned char> buf(sizeof(RenameRecord) + w.size() * sizeof(wchar_t));
    auto* r = reinterpret_cast<RenameRecord*>(buf.data());
    r->replace_if_exists = TRUE;
    r->root_directory = dir;
    r->file_name_length = static_cast<ULONG>(w.size() * sizeof(wchar_t));
    std::copy(w.begin(), w.end(), r->file_name);
    IO_STATUS_BLOCK io{};
    status = NtSetInformationFile(h, &io, r, static_cast<ULONG>(buf.size()), kFileRenameInformation);
    ::CloseHandle(h);
    if (NT_SUCCESS(status)) return true;
    error_ = status_text(status);
    return false;
}

bool Directory::names(std::vector<std::string>& out) {
    out.clear();
    if (fd_ < 0) return false;
    std::vector<unsigned char> buf(64 * 1024);
    FILE_INFO_BY_HANDLE_CLASS kind = FileIdBothDirectoryRestartInfo;
    for (;;) {
        if (!::GetFileInformationByHandleEx(as_handle(fd_), kind, buf.data(), static_cast<DWORD>(buf.size()))) {
            if (::GetLastError() == ERROR_NO_MORE_FILES) return true;
            error_ = last_error_text();
            return false;
        }
        kind = FileIdBothDirectoryInfo;
        for (size_t at = 0;;) {
            const auto* e = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buf.data() + at);
            const std::string name = narrow(e->FileName, e->FileNameLength / sizeof(wchar_t));
            if (name != "." && name != "..") out.push_back(name);
            if (e->NextEntryOffset == 0) break;
            at += e->NextEntryOffset;
        }
    }
}

uint64_t file_size(const std::string& path) {
    DWORD attributes = 0;
    uint64_t size = 0;
    if (!query_followed(path, attributes, size) || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return 0;
    return size;
}

// A file's size and offsets are signed 64-bit numbers (LARGE_INTEGER).
// The file systems' own limits lie far above anything an entry can claim
// in earnest, and are not asked.
uint64_t largest_file_size(const std::string&) { return 0x7fffffffffffffffull; }

bool exists(const std::string& path) { return ::GetFileAttributesW(wide_path(path).c_str()) != INVALID_FILE_ATTRIBUTES; }

bool is_directory(const std::string& path) {
    DWORD attributes = 0;
    uint64_t size = 0;
    return query_followed(path, attributes, size) && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool delete_file(const std::string& path) {
    const std::wstring w = wide_path(path);
    if (::DeleteFileW(w.c_str())) return true;
    DWORD err = ::GetLastError();
    if (err == ERROR_ACCESS_DENIED) {
        // A read-only file goes as it does elsewhere, where only the
        // directory's rights count.
        const DWORD attributes = ::GetFileAttributesW(w.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) &&
            !(attributes & FILE_ATTRIBUTE_DIRECTORY) &&
            ::SetFileAttributesW(w.c_str(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY))) {
            if (::DeleteFileW(w.c_str())) return true;
            err = ::GetLastError();
        }
    }
    return err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND;
}

bool create_directory(const std::string& path, std::string* error) {
    if (const std::string problem = name_problem(path, true); !problem.empty()) {
        if (error) *error = problem;
        return false;
    }
    if (::CreateDirectoryW(wide_path(path).c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS) return true;
    if (error) *error = last_error_text();
    return false;
}

void set_hidden(const std::string& path, bool hidden) {
    const std::wstring w = wide_path(path);
    const DWORD attributes = ::GetFileAttributesW(w.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    DWORD want = hidden ? (attributes | FILE_ATTRIBUTE_HIDDEN) : (attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN));
    if (want == attributes) return;
    if (want == 0) want = FILE_ATTRIBUTE_NORMAL;
    ::SetFileAttributesW(w.c_str(), want);
}

namespace {

// What File::metadata gives of a file with these attributes and time.
FileMeta meta_of(DWORD attributes, const FILETIME& written) {
    FileMeta m;
    m.mtime_ns = filetime_to_ns(written);
    m.permissions = (attributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0644;
    return m;
}

// The kind of what `path` leads to, links followed, and for a regular file
// its size and metadata.
FileKind kind_at(const std::string& path, int64_t* size, std::string* error, FileMeta* meta = nullptr) {
    const std::wstring w = wide_path(path);
    const size_t last = path.find_last_of("/\\");
    if (is_device_name(last == std::string::npos ? path : path.substr(last + 1))) return FileKind::device;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExW(w.c_str(), GetFileExInfoStandard, &data)) {
        const DWORD err = ::GetLastError();
        if (error) *error = error_text(err);
        return err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND ? FileKind::missing : FileKind::unreachable;
    }
    DWORD attributes = data.dwFileAttributes;
    FILETIME written = data.ftLastWriteTime;
    uint64_t bytes = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        // The attributes above are the link's own.
        const HANDLE h = open_for_query(path);
        if (h == INVALID_HANDLE_VALUE) {
            const DWORD err = ::GetLastError();
            if (error) *error = error_text(err);
            return err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND ? FileKind::dangling_link
                                                                               : FileKind::unreachable;
        }
        BY_HANDLE_FILE_INFORMATION info;
        const bool ok = info_of(h, info);
        ::CloseHandle(h);
        if (!ok) return FileKind::unreachable;
        attributes = info.dwFileAttributes;
        written = info.ftLastWriteTime;
        bytes = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return FileKind::directory;
    if (attributes & FILE_ATTRIBUTE_DEVICE) return FileKind::device;
    if (size) *size = static_cast<int64_t>(bytes);
    if (meta) *meta = meta_of(attributes, written);
    return FileKind::regular;
}

}  // namespace

FileKind file_kind(const std::string& path, std::string* error) { return kind_at(path, nullptr, error); }

FileKind file_status(const std::string& path, int64_t& size, FileMeta& meta, std::string* error) {
    return kind_at(path, &size, error, &meta);
}

bool list_directory(const std::string& path, std::vector<DirEntry>& out, std::string* error) {
    std::string dir = path.empty() ? std::string(".") : path;
    if (dir.back() != '/' && dir.back() != '\\') dir += '\\';
    WIN32_FIND_DATAW data;
    const HANDLE find = ::FindFirstFileExW(wide_path(dir + "*").c_str(), FindExInfoBasic, &data,
                                           FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (find == INVALID_HANDLE_VALUE) {
        const DWORD err = ::GetLastError();
        // An empty drive root lists nothing, and is no failure.
        if (err == ERROR_FILE_NOT_FOUND && is_directory(path)) return true;
        if (error) *error = error_text(err);
        return false;
    }
    do {
        DirEntry entry;
        entry.name = narrow(data.cFileName, wcslen(data.cFileName));
        const DWORD attributes = data.dwFileAttributes;
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            // A link counts as what it leads to, as everywhere else.
            entry.kind = kind_at(dir + entry.name, &entry.size, &entry.error, &entry.meta);
        } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
            entry.kind = FileKind::directory;
        } else {
            entry.kind = FileKind::regular;
            entry.size = static_cast<int64_t>((static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
            entry.meta = meta_of(attributes, data.ftLastWriteTime);
        }
        entry.is_file = entry.kind == FileKind::regular;
        entry.is_dir = entry.kind == FileKind::directory;
        out.push_back(std::move(entry));
    } while (::FindNextFileW(find, &data));
    ::FindClose(find);
    return true;
}

std::string temp_directory() {
    wchar_t buf[MAX_PATH + 1];
    const DWORD n = ::GetTempPathW(MAX_PATH + 1, buf);
    if (n == 0 || n > MAX_PATH) return ".";
    std::wstring w(buf, n);
    while (w.size() > 3 && (w.back() == L'\\' || w.back() == L'/')) w.pop_back();
    return narrow(w);
}

std::string own_executable_path() {
    std::wstring buf(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = ::GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
        if (n == 0) return {};
        if (n < buf.size()) return narrow(buf.data(), n);
        if (buf.size() >= kLongPathLimit) return {};
        buf.resize(buf.size() * 2);
    }
}

std::string current_directory() {
    const DWORD n = ::GetCurrentDirectoryW(0, nullptr);
    if (n == 0) return ".";
    std::wstring buf(n, L'\0');
    const DWORD got = ::GetCurrentDirectoryW(n, buf.data());
    if (got == 0 || got >= n) return ".";
    buf.resize(got);
    // A drive's root without its separator: callers append "/" and a name.
    if (buf.size() == 3 && buf[1] == L':') buf.resize(2);
    return narrow(buf);
}

unsigned processor_count() {
    unsigned total = 0;
    const WORD groups = ::GetActiveProcessorGroupCount();
    for (WORD g = 0; g < groups; ++g) total += ::GetActiveProcessorCount(g);
    if (total == 0) {
        SYSTEM_INFO info;
        ::GetSystemInfo(&info);
        total = info.dwNumberOfProcessors;
    }
    return std::max(total, 1u);
}

namespace {

// One argument as the runtime's command-line splitter reads it back:
// quoted when it holds blanks or quotes (or nothing), backslashes doubled
// where a quote follows them.
void append_argument(std::wstring& line, const std::wstring& arg) {
    if (!line.empty()) line += L' ';
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        line += arg;
        return;
    }
    line += L'"';
    for (size_t i = 0;; ++i) {
        size_t slashes = 0;
        while (i < arg.size() && arg[i] == L'\\') {
            ++slashes;
            ++i;
        }
        if (i == arg.size()) {
            line.append(slashes * 2, L'\\');
            break;
        }
        if (arg[i] == L'"') {
            line.append(slashes * 2 + 1, L'\\');
        } else {
            line.append(slashes, L'\\');
        }
        line += arg[i];
    }
    line += L'"';
}

// Handles of the children this process started, by process id.
std::mutex children_mutex;
std::map<ProcessId, HANDLE> children;

HANDLE child_handle(ProcessId pid) {
    std::lock_guard<std::mutex> hold(children_mutex);
    const auto it = children.find(pid);
    return it == children.end() ? nullptr : it->second;
}

void forget_child(ProcessId pid) {
    std::lock_guard<std::mutex> hold(children_mutex);
    const auto it = children.find(pid);
    if (it == children.end()) return;
    ::CloseHandle(it->second);
    children.erase(it);
}

// Exit codes from 0xC0000000 on are the system's: a crash, or an end
// forced from outside (kill_child uses one of them).
constexpr DWORD kKilledCode = 0xC000013A;  // STATUS_CONTROL_C_EXIT
bool ended_by_system(DWORD code) { return code >= 0xC0000000u; }

}  // namespace

std::string command_line(const std::vector<std::string>& args) {
    std::wstring line;
    for (const auto& a : args) append_argument(line, widen(a));
    return narrow(line);
}

namespace {

ProcessId spawn_with(const std::vector<std::string>& args) {
    const std::string exe = own_executable_path();
    if (exe.empty()) return -1;
    std::vector<std::string> argv{exe};
    argv.insert(argv.end(), args.begin(), args.end());
    std::wstring line = widen(command_line(argv));
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = ::GetStdHandle(STD_OUTPUT_HANDLE);
    si.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    // The child writes to the same output as its parent.
    for (HANDLE h : {si.hStdInput, si.hStdOutput, si.hStdError})
        if (h && h != INVALID_HANDLE_VALUE) ::SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    PROCESS_INFORMATION pi{};
    if (!::CreateProcessW(widen(exe).c_str(), line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                          &si, &pi))
        return -1;
    ::CloseHandle(pi.hThread);
    const auto pid = static_cast<ProcessId>(pi.dwProcessId);
    std::lock_guard<std::mutex> hold(children_mutex);
    children[pid] = pi.hProcess;
    return pid;
}

}  // namespace

ProcessId spawn_self(const std::vector<std::string>& args) { return spawn_with(args); }

// The read end of a pipe is inherited by the one child started while it is
// inheritable (children are started one at a time); its value is the channel.
ProcessId spawn_self(const std::vector<std::string>& args, const Handover& handover) {
    if (handover.size > kMaxHandedBytes) return -1;
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE read_end = nullptr, write_end = nullptr;
    if (!::CreatePipe(&read_end, &write_end, &inherit, 0)) return -1;
    ::SetHandleInformation(write_end, HANDLE_FLAG_INHERIT, 0);
    DWORD written = 0;
    const bool ok = handover.size == 0 || (::WriteFile(write_end, handover.data, static_cast<DWORD>(handover.size),
                                                       &written, nullptr) &&
                                           written == handover.size);
    ::CloseHandle(write_end);
    ProcessId pid = -1;
    if (ok) {
        std::vector<std::string> with_channel(args);
        with_channel.insert(with_channel.begin() + (with_channel.empty() ? 0 : 1),
                            handover.channel_switch + std::to_string(reinterpret_cast<uintptr_t>(read_end)));
        pid = spawn_with(with_channel);
    }
    ::CloseHandle(read_end);
    return pid;
}

bool read_handed(const std::string& channel, uint8_t* data, size_t capacity, size_t& got) {
    got = 0;
    if (channel.empty() || channel.size() > 20 ||
        channel.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const HANDLE h = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(std::stoull(channel)));
    if (::GetFileType(h) != FILE_TYPE_PIPE) return false;
    bool ok = true;
    for (;;) {
        uint8_t extra;
        const bool full = got == capacity;
        DWORD n = 0;
        if (!::ReadFile(h, full ? &extra : data + got, full ? 1 : static_cast<DWORD>(capacity - got), &n, nullptr)) {
            ok = ::GetLastError() == ERROR_BROKEN_PIPE;
            break;
        }
        if (n == 0) break;
        if (full) {
            ok = false;
            break;
        }
        got += n;
    }
    ::CloseHandle(h);
    return ok;
}

ChildState poll_child(ProcessId pid, int* code) {
    const HANDLE h = child_handle(pid);
    if (!h) {
        if (code) *code = -1;
        return ChildState::failed;
    }
    if (::WaitForSingleObject(h, 0) == WAIT_TIMEOUT) return ChildState::running;
    DWORD exit_code = 0;
    const bool got = ::GetExitCodeProcess(h, &exit_code) != 0;
    forget_child(pid);
    if (!got || ended_by_system(exit_code)) {
        if (code) *code = -1;
        return ChildState::failed;
    }
    if (code) *code = static_cast<int>(exit_code);
    return ChildState::exited;
}

void kill_child(ProcessId pid) {
    if (const HANDLE h = child_handle(pid)) ::TerminateProcess(h, kKilledCode);
}

int wait_child(ProcessId pid) {
    const HANDLE h = child_handle(pid);
    if (!h) return -1;
    ::WaitForSingleObject(h, INFINITE);
    DWORD exit_code = 0;
    const bool got = ::GetExitCodeProcess(h, &exit_code) != 0;
    forget_child(pid);
    return got && !ended_by_system(exit_code) ? static_cast<int>(exit_code) : -1;
}

namespace {

uint64_t creation_time(HANDLE process) {
    FILETIME created, ended, kernel, user;
    if (!::GetProcessTimes(process, &created, &ended, &kernel, &user)) return 0;
    return (static_cast<uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

// The process that started this one, held open so that its id cannot pass
// to another process; null when it had already gone.
HANDLE parent_handle(ProcessId& parent_id) {
    static std::once_flag once;
    static HANDLE parent = nullptr;
    static ProcessId id = 0;
    std::call_once(once, [] {
        const DWORD self = ::GetCurrentProcessId();
        const HANDLE snap = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        if (snap == INVALID_HANDLE_VALUE) return;
        PROCESSENTRY32W e;
        e.dwSize = sizeof e;
        DWORD found = 0;
        for (BOOL more = ::Process32FirstW(snap, &e); more; more = ::Process32NextW(snap, &e))
            if (e.th32ProcessID == self) found = e.th32ParentProcessID;
        ::CloseHandle(snap);
        if (found == 0) return;
        const HANDLE h = ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, found);
        if (!h) return;
        // An id taken over after the parent ended belongs to a younger process.
        const uint64_t born = creation_time(h);
        if (born == 0 || born > creation_time(::GetCurrentProcess())) {
            ::CloseHandle(h);
            return;
        }
        parent = h;
        id = static_cast<ProcessId>(found);
    });
    parent_id = id;
    return parent;
}

}  // namespace

// Windows does not hand orphans to another parent; the id of a parent
// that has ended is reported as 0, as a reaper's id is elsewhere.
ProcessId parent_process() {
    ProcessId id = 0;
    const HANDLE parent = parent_handle(id);
    if (!parent || ::WaitForSingleObject(parent, 0) != WAIT_TIMEOUT) return 0;
    return id;
}

// The handle taken here keeps the parent's end visible to parent_process().
void end_with_parent() {
    ProcessId id = 0;
    parent_handle(id);
}

ProcessId own_process() { return static_cast<ProcessId>(::GetCurrentProcessId()); }

bool process_alive(ProcessId pid) {
    if (pid <= 0) return false;
    const HANDLE h = ::OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
    if (!h) return ::GetLastError() == ERROR_ACCESS_DENIED;
    const bool alive = ::WaitForSingleObject(h, 0) == WAIT_TIMEOUT;
    ::CloseHandle(h);
    return alive;
}

void sleep_ms(unsigned ms) { ::Sleep(ms); }

// The system's sleeps count milliseconds: shorter waits round up to one.
void sleep_us(unsigned us) { ::Sleep(std::max(1u, (us + 999) / 1000)); }

uint64_t monotonic_ms() { return ::GetTickCount64(); }

int64_t wall_clock_ns() {
    FILETIME ft;
    ::GetSystemTimePreciseAsFileTime(&ft);
    return filetime_to_ns(ft);
}

bool to_local_time(int64_t seconds, CalendarTime& out) {
    const auto t = static_cast<time_t>(seconds);
    struct tm tm {};
    if (!(::localtime_s(&tm, &t) == 0)) return false;
    out = detail::calendar_of(tm);
    return true;
}

bool from_local_time(const CalendarTime& t, int64_t& seconds) { return detail::seconds_of(t, seconds); }

namespace {

HANDLE stderr_handle() { return ::GetStdHandle(STD_ERROR_HANDLE); }

}  // namespace

bool stderr_is_terminal() {
    DWORD mode = 0;
    return ::GetConsoleMode(stderr_handle(), &mode) != 0;
}

unsigned terminal_columns() {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!::GetConsoleScreenBufferInfo(stderr_handle(), &info)) return 80;
    const int columns = info.srWindow.Right - info.srWindow.Left + 1;
    return columns > 0 ? static_cast<unsigned>(columns) : 80u;
}

bool stdout_is_terminal() {
    DWORD mode = 0;
    return ::GetConsoleMode(::GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

bool stdin_is_terminal() {
    DWORD mode = 0;
    return ::GetConsoleMode(::GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

int64_t read_stdin(void* data, size_t n, std::string& error) {
    DWORD got = 0;
    if (::ReadFile(::GetStdHandle(STD_INPUT_HANDLE), data, static_cast<DWORD>(std::min(n, kMaxTransfer)), &got,
                   nullptr))
        return got;
    const DWORD e = ::GetLastError();
    // The writer of a pipe has closed it: the end of the input.
    if (e == ERROR_BROKEN_PIPE) return 0;
    error = "error " + std::to_string(e);
    return -1;
}

StdoutData StdoutData::take() {
    StdoutData d;
    std::fflush(stdout);
    HANDLE copy = nullptr;
    const HANDLE self = ::GetCurrentProcess();
    if (!::DuplicateHandle(self, ::GetStdHandle(STD_OUTPUT_HANDLE), self, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS))
        return d;
    // The runtime's standard output, and the system's, now lead to
    // standard error.
    if (_dup2(_fileno(stderr), _fileno(stdout)) != 0) {
        ::CloseHandle(copy);
        return d;
    }
    ::SetStdHandle(STD_OUTPUT_HANDLE, stderr_handle());
    d.handle_ = reinterpret_cast<intptr_t>(copy);
    return d;
}

StdoutData::~StdoutData() {
    if (handle_ >= 0) ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

bool StdoutData::write(const void* data, size_t n) {
    if (handle_ < 0) return false;
    const HANDLE h = reinterpret_cast<HANDLE>(handle_);
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
        DWORD put = 0;
        if (!::WriteFile(h, p, static_cast<DWORD>(std::min(n, kMaxTransfer)), &put, nullptr) || put == 0) return false;
        p += put;
        n -= put;
    }
    return true;
}

void write_stderr(const std::string& text) {
    const HANDLE h = stderr_handle();
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        DWORD put = 0;
        if (!::WriteFile(h, p, static_cast<DWORD>(std::min(left, kMaxTransfer)), &put, nullptr) || put == 0) return;
        p += put;
        left -= put;
    }
}

// The C runtime here has no streams with a write function of one's own
// (nor line buffering), so the hook cannot run before standard output's
// writes. On a console standard output goes unbuffered instead: its text
// then overwrites a line drawn on standard error at once, not a block later.
void before_stdout_writes(void (*)()) {
    DWORD mode = 0;
    if (::GetConsoleMode(::GetStdHandle(STD_OUTPUT_HANDLE), &mode)) {
        std::fflush(stdout);
        std::setvbuf(stdout, nullptr, _IONBF, 0);
    }
}

namespace {

std::atomic<bool> interrupt_flag{false};

BOOL WINAPI on_console_event(DWORD) {
    interrupt_flag = true;
    return TRUE;
}

}  // namespace

void catch_interrupts() { ::SetConsoleCtrlHandler(on_console_event, TRUE); }

bool interrupted() { return interrupt_flag.load(); }

namespace {

constexpr size_t kPage = 4096;

// Large pages need the privilege to lock memory; a process that holds it
// turns it on once. Without it everything takes normal pages, silently.
bool large_pages_allowed() {
    static const bool allowed = [] {
        if (::GetLargePageMinimum() == 0 || kLargePage % ::GetLargePageMinimum() != 0) return false;
        HANDLE token = nullptr;
        if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return false;
        TOKEN_PRIVILEGES tp{};
        tp.PrivilegeCount = 1;
        tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        bool ok = ::LookupPrivilegeValueW(nullptr, SE_LOCK_MEMORY_NAME, &tp.Privileges[0].Luid) &&
                  ::AdjustTokenPrivileges(token, FALSE, &tp, 0, nullptr, nullptr) &&
                  ::GetLastError() == ERROR_SUCCESS;
        ::CloseHandle(token);
        return ok;
    }();
    return allowed;
}

void* allocate_large(size_t bytes) {
    if (!large_pages_allowed()) return nullptr;
    const size_t rounded = (bytes + kLargePage - 1) / kLargePage * kLargePage;
    return ::VirtualAlloc(nullptr, rounded, MEM_RESERVE | MEM_COMMIT | MEM_LARGE_PAGES, PAGE_READWRITE);
}

// Committed memory on a large page boundary: a reservation large enough to
// hold an aligned block shows where one fits, and the block is taken there
// (another thread may take the place in between: then again).
void* allocate_aligned(size_t bytes) {
    for (int attempt = 0; attempt < 16; ++attempt) {
        void* probe = ::VirtualAlloc(nullptr, bytes + kLargePage, MEM_RESERVE, PAGE_NOACCESS);
        if (!probe) return nullptr;
        const uintptr_t aligned = (reinterpret_cast<uintptr_t>(probe) + kLargePage - 1) & ~(uintptr_t{kLargePage} - 1);
        ::VirtualFree(probe, 0, MEM_RELEASE);
        if (void* p = ::VirtualAlloc(reinterpret_cast<void*>(aligned), bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE))
            return p;
    }
    return ::VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

// Maps the pages that [p, p + bytes) touches in: committed memory is zero,
// so writing a zero to every page changes nothing but the mapping.
void touch_pages(void* p, size_t bytes) {
    if (bytes == 0) return;
    const uintptr_t start = reinterpret_cast<uintptr_t>(p) & ~uintptr_t{kPage - 1};
    const uintptr_t end = reinterpret_cast<uintptr_t>(p) + bytes;
    for (uintptr_t a = start; a < end; a += kPage) {
        auto* byte = reinterpret_cast<volatile char*>(a);
        *byte = *byte;
    }
}

}  // namespace

void* allocate_tables(size_t bytes) {
    if (bytes == 0) return nullptr;
    if (void* p = allocate_large(bytes)) return p;
    return allocate_aligned(bytes);
}

void* allocate_mapped(size_t bytes) {
    if (bytes == 0) return nullptr;
    void* p = ::VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (p) touch_pages(p, bytes);
    return p;
}

void* allocate_large_page() {
    if (void* p = allocate_large(kLargePage)) return p;
    void* p = allocate_aligned(kLargePage);
    if (p) touch_pages(p, kLargePage);
    return p;
}

// Large pages cannot be asked for after the allocation here; tables get
// them from allocate_tables() when the process may have them.
void advise_large_pages(void*, size_t) {}

// Without large pages to come slowly, every range is mapped in the same
// way: the bytes of all ranges split evenly over the threads.
void populate_tables(const std::vector<PageRange>& ranges, unsigned threads, bool, uint64_t) {
    size_t total = 0;
    for (const PageRange& r : ranges) total += r.bytes;
    constexpr size_t kPerThread = size_t{4} << 20;
    threads = static_cast<unsigned>(std::clamp<size_t>(total / kPerThread, 1, std::max(1u, threads)));
    const size_t share = (total + threads - 1) / threads;
    auto work = [&ranges, share](unsigned k) {
        size_t skip = size_t{k} * share, left = share;
        for (const PageRange& r : ranges) {
            if (left == 0) break;
            if (skip >= r.bytes) {
                skip -= r.bytes;
                continue;
            }
            const size_t len = std::min(left, r.bytes - skip);
            touch_pages(static_cast<char*>(r.p) + skip, len);
            left -= len;
            skip = 0;
        }
    };
    std::vector<std::thread> helpers;
    for (unsigned k = 1; k < threads; ++k) {
        try {
            helpers.emplace_back(work, k);
        } catch (...) {
            work(k);
        }
    }
    work(0);
    for (std::thread& t : helpers) t.join();
}

void release_tables(void* p, size_t) {
    if (p) ::VirtualFree(p, 0, MEM_RELEASE);
}

bool file_identity(const std::string& path, FileIdentity& out) { return take_identity(open_for_query(path), out); }

bool path_length_ok(const std::string& path) {
    const std::wstring w = widen(path);
    if (w.size() >= kLongPathLimit) return false;
    size_t run = 0;
    for (wchar_t c : w) {
        if (c == L'/' || c == L'\\') {
            run = 0;
        } else if (++run > kComponentLimit) {
            return false;
        }
    }
    return true;
}

}  // namespace taq::platform
