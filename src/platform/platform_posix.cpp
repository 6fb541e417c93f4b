#include "platform/platform.h"
#include "platform/calendar.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/mman.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <sys/stat.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

// Archives and inputs past 4 GiB on 32-bit machines too (the build asks
// for 64-bit file offsets).
static_assert(sizeof(off_t) == 8, "64-bit file offsets needed");

namespace taq::platform {

std::string os_path(const std::string& path) {
    std::string p = path;
    for (char& c : p)
        if (c == '\\') c = '/';
    return p;
}

bool is_absolute_path(const std::string& path) { return !path.empty() && (path[0] == '/' || path[0] == '\\'); }

std::vector<std::string> process_arguments(int argc, char** argv) { return {argv, argv + argc}; }

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
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

File File::open(const std::string& path, Mode mode) {
    File f;
    int flags = O_CLOEXEC;
    switch (mode) {
        case Mode::read_existing: flags |= O_RDONLY; break;
        case Mode::write_existing: flags |= O_RDWR; break;
        case Mode::create: flags |= O_RDWR | O_CREAT | O_TRUNC; break;
        case Mode::create_new: flags |= O_RDWR | O_CREAT | O_EXCL; break;
        case Mode::open_or_create: flags |= O_RDWR | O_CREAT; break;
    }
    const std::string p = os_path(path);
    int fd = ::open(p.c_str(), flags, 0644);
    if (fd < 0) {
        f.error_ = std::strerror(errno);
        return f;
    }
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        f.error_ = std::strerror(EISDIR);
        return f;
    }
    f.fd_ = fd;
    return f;
}

size_t File::read(void* data, size_t n) {
    size_t done = 0;
    auto* out = static_cast<char*>(data);
    while (done < n && fd_ >= 0) {
        ssize_t r = ::pread(fd_, out + done, n - done, static_cast<off_t>(pos_));
        if (r < 0) {
            if (errno == EINTR) continue;
            error_ = std::strerror(errno);
            break;
        }
        if (r == 0) break;
        done += static_cast<size_t>(r);
        pos_ += static_cast<uint64_t>(r);
    }
    return done;
}

bool File::write(const void* data, size_t n) {
    size_t done = 0;
    const auto* in = static_cast<const char*>(data);
    while (done < n) {
        if (fd_ < 0) return false;
        ssize_t r = ::pwrite(fd_, in + done, n - done, static_cast<off_t>(pos_));
        if (r < 0) {
            if (errno == EINTR) continue;
            error_ = std::strerror(errno);
            return false;
        }
        if (r == 0) {
            error_ = "no space left";
            return false;
        }
        done += static_cast<size_t>(r);
        pos_ += static_cast<uint64_t>(r);
    }
    return true;
}

bool File::seek(uint64_t offset) {
    if (offset > static_cast<uint64_t>(INT64_MAX)) return false;
    pos_ = offset;
    return fd_ >= 0;
}

int64_t File::size() const {
    struct stat st;
    if (fd_ < 0 || fstat(fd_, &st) != 0) return -1;
    return st.st_size;
}

bool File::truncate(uint64_t length) {
    if (fd_ < 0) return false;
    if (::ftruncate(fd_, static_cast<off_t>(length)) != 0) {
        error_ = std::strerror(errno);
        return false;
    }
    return true;
}

bool File::sync() {
    if (fd_ < 0) return false;
    while (::fdatasync(fd_) != 0) {
        if (errno == EINTR) continue;
        error_ = std::strerror(errno);
        return false;
    }
    return true;
}

bool File::lock(LockKind kind, bool wait) {
    if (fd_ < 0) return false;
    const int op = (kind == LockKind::shared ? LOCK_SH : LOCK_EX) | (wait ? 0 : LOCK_NB);
    while (::flock(fd_, op) != 0) {
        if (errno == EINTR) continue;
        error_ = std::strerror(errno);
        return false;
    }
    return true;
}

namespace {

void identity_of(const struct stat& st, FileIdentity& out) {
    out.device = static_cast<uint64_t>(st.st_dev);
    out.inode = static_cast<uint64_t>(st.st_ino);
}

}  // namespace

bool File::identity(FileIdentity& out) const {
    struct stat st;
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) return false;
    identity_of(st, out);
    return true;
}

bool File::metadata(FileMeta& out) const {
    struct stat st;
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) return false;
    out.mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    out.permissions = static_cast<uint32_t>(st.st_mode) & kPermissionBits;
    return true;
}

bool File::set_metadata(const FileMeta& meta) {
    if (fd_ < 0) return false;
    bool ok = ::fchmod(fd_, static_cast<mode_t>(meta.permissions & kPermissionBits)) == 0;
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    // Floor division, so that times before 1970 keep their second.
    int64_t sec = meta.mtime_ns / 1000000000;
    int64_t ns = meta.mtime_ns % 1000000000;
    if (ns < 0) {
        ns += 1000000000;
        --sec;
    }
    times[1].tv_sec = static_cast<time_t>(sec);
    times[1].tv_nsec = static_cast<long>(ns);
    ok = ::futimens(fd_, times) == 0 && ok;
    if (!ok) error_ = std::strerror(errno);
    return ok;
}

Directory::Directory(Directory&& other) noexcept : fd_(other.fd_), error_(std::move(other.error_)) { other.fd_ = -1; }

Directory& Directory::operator=(Directory&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = other.fd_;
        error_ = std::move(other.error_);
        other.fd_ = -1;
    }
    return *this;
}

Directory::~Directory() {
    if (fd_ >= 0) ::close(fd_);
}

Directory Directory::open(const std::string& path) {
    Directory d;
    const std::string p = os_path(path.empty() ? std::string(".") : path);
    d.fd_ = ::open(p.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (d.fd_ < 0) d.error_ = std::strerror(errno);
    return d;
}

Directory Directory::subdirectory(const std::string& name) const {
    Directory d;
    if (fd_ < 0) {
        d.error_ = std::strerror(EBADF);
        return d;
    }
    if (::mkdirat(fd_, name.c_str(), 0755) != 0 && errno != EEXIST) {
        d.error_ = std::strerror(errno);
        return d;
    }
    d.fd_ = ::openat(fd_, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (d.fd_ < 0) {
        const int err = errno;
        struct stat st;
        const bool link = ::fstatat(fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
        d.error_ = link ? std::string("is a symbolic link") : std::strerror(err);
    }
    return d;
}

File Directory::open_file(const std::string& name, File::Mode mode) const {
    File f;
    if (fd_ < 0) {
        f.error_ = std::strerror(EBADF);
        return f;
    }
    int flags = O_CLOEXEC | O_NOFOLLOW;
    bool replaces = false;
    switch (mode) {
        case File::Mode::read_existing: flags |= O_RDONLY; break;
        case File::Mode::write_existing: flags |= O_RDWR; break;
        case File::Mode::create: flags |= O_RDWR | O_CREAT | O_TRUNC; replaces = true; break;
        case File::Mode::create_new: flags |= O_RDWR | O_CREAT | O_EXCL; break;
        case File::Mode::open_or_create: flags |= O_RDWR | O_CREAT; replaces = true; break;
    }
    if (replaces) {
        // A link or a special file is taken away, never written through:
        // what stood there is replaced by the restored file.
        struct stat st;
        if (::fstatat(fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(st.st_mode) &&
            !S_ISDIR(st.st_mode))
            ::unlinkat(fd_, name.c_str(), 0);
    }
    // O_NONBLOCK: a FIFO that appears at the name in between must not
    // block; it is refused below.
    const int fd = ::openat(fd_, name.c_str(), flags | O_NONBLOCK, 0644);
    if (fd < 0) {
        f.error_ = errno == ELOOP ? std::string("is a symbolic link") : std::strerror(errno);
        return f;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        f.error_ = S_ISDIR(st.st_mode) ? std::strerror(EISDIR) : std::string("not a regular file");
        return f;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    f.fd_ = fd;
    return f;
}

bool Directory::identity(const std::string& name, FileIdentity& out) const {
    struct stat st;
    if (fd_ < 0 || ::fstatat(fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
    identity_of(st, out);
    return true;
}

bool Directory::remove(const std::string& name) const {
    if (fd_ < 0) return false;
    return ::unlinkat(fd_, name.c_str(), 0) == 0 || errno == ENOENT;
}

bool Directory::rename(const std::string& from, const std::string& to) {
    if (fd_ < 0) return false;
    if (::renameat(fd_, from.c_str(), fd_, to.c_str()) == 0) return true;
    error_ = std::strerror(errno);
    return false;
}

bool Directory::names(std::vector<std::string>& out) {
    out.clear();
    const int fd = fd_ < 0 ? -1 : ::openat(fd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* d = fd < 0 ? nullptr : ::fdopendir(fd);
    if (!d) {
        error_ = std::strerror(fd_ < 0 ? EBADF : errno);
        if (fd >= 0) ::close(fd);
        return false;
    }
    while (const dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") out.push_back(name);
    }
    ::closedir(d);
    return true;
}

bool names_fold_case() { return false; }

uint64_t file_size(const std::string& path) {
    struct stat st;
    if (::stat(os_path(path).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
    return static_cast<uint64_t>(st.st_size);
}

uint64_t largest_file_size(const std::string& dir) {
    const auto any_file = static_cast<uint64_t>(std::numeric_limits<off_t>::max());
    // The bits of a signed size. Some systems answer 32 for file systems
    // they do not know (tmpfs among them, which holds far more) and 64 for
    // most others: only what lies between is taken at its word.
    const long bits = ::pathconf(os_path(dir.empty() ? std::string(".") : dir).c_str(), _PC_FILESIZEBITS);
    if (bits > 32 && bits < 64) return std::min(any_file, (uint64_t{1} << (bits - 1)) - 1);
    return any_file;
}

bool exists(const std::string& path) {
    struct stat st;
    return ::lstat(os_path(path).c_str(), &st) == 0;
}

bool is_directory(const std::string& path) {
    struct stat st;
    return ::stat(os_path(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool delete_file(const std::string& path) {
    const std::string p = os_path(path);
    if (::unlink(p.c_str()) == 0) return true;
    return errno == ENOENT;
}

bool create_directory(const std::string& path, std::string* error) {
    const std::string p = os_path(path);
    if (::mkdir(p.c_str(), 0755) == 0 || errno == EEXIST) return true;
    if (error) *error = std::strerror(errno);
    return false;
}

void set_hidden(const std::string&, bool) {}

namespace {

FileKind kind_of(const struct stat& st) {
    if (S_ISREG(st.st_mode)) return FileKind::regular;
    if (S_ISDIR(st.st_mode)) return FileKind::directory;
    if (S_ISFIFO(st.st_mode)) return FileKind::fifo;
    if (S_ISSOCK(st.st_mode)) return FileKind::socket;
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) return FileKind::device;
    return FileKind::other;
}

// The kind of `p` (an OS path) and, for a regular file, its size.
FileKind stat_kind(const std::string& p, int64_t* size, std::string* error, FileMeta* meta = nullptr,
                   FileIdentity* identity = nullptr) {
    struct stat st;
    if (::stat(p.c_str(), &st) == 0) {
        if (size) *size = st.st_size;
        if (identity) identity_of(st, *identity);
        if (meta) {
            meta->mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
            meta->permissions = static_cast<uint32_t>(st.st_mode) & kPermissionBits;
        }
        return kind_of(st);
    }
    const int err = errno;
    if (error) *error = std::strerror(err);
    if (err == ENOENT) {
        struct stat lst;
        return ::lstat(p.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode) ? FileKind::dangling_link : FileKind::missing;
    }
    return FileKind::unreachable;
}

}  // namespace

FileKind file_kind(const std::string& path, std::string* error) {
    return stat_kind(os_path(path), nullptr, error);
}

FileKind file_status(const std::string& path, int64_t& size, FileMeta& meta, std::string* error) {
    return stat_kind(os_path(path), &size, error, &meta);
}

bool list_directory(const std::string& path, std::vector<DirEntry>& out, std::string* error) {
    const std::string dir = os_path(path.empty() ? std::string(".") : path);
    DIR* d = ::opendir(dir.c_str());
    if (!d) {
        if (error) *error = std::strerror(errno);
        return false;
    }
    std::string base = dir;
    if (base.back() != '/') base += '/';
    while (dirent* e = ::readdir(d)) {
        DirEntry entry;
        entry.name = e->d_name;
        entry.kind = stat_kind(base + entry.name, &entry.size, &entry.error, &entry.meta, &entry.identity);
        entry.identified = entry.kind != FileKind::missing && entry.kind != FileKind::unreachable &&
                           entry.kind != FileKind::dangling_link;
        entry.is_file = entry.kind == FileKind::regular;
        entry.is_dir = entry.kind == FileKind::directory;
        out.push_back(std::move(entry));
    }
    ::closedir(d);
    return true;
}

std::string temp_directory() { return "/tmp"; }

std::string own_executable_path() {
    char buf[PATH_MAX + 1];
    ssize_t n = ::readlink("/proc/self/exe", buf, PATH_MAX);
    if (n <= 0) return {};
    return std::string(buf, static_cast<size_t>(n));
}

std::string current_directory() {
    std::vector<char> buf(PATH_MAX + 1);
    if (!::getcwd(buf.data(), buf.size())) return ".";
    return std::string(buf.data());
}

unsigned processor_count() {
    long n = ::sysconf(_SC_NPROCESSORS_ONLN);
    return n < 1 ? 1u : static_cast<unsigned>(n);
}

#ifdef TAQ_SELF_EMULATOR
namespace {

// A cross build tested under a user-mode emulator: where the system cannot
// start the target's executable (ENOEXEC), the copy starts through the
// emulator the build names. (The emulator turns posix_spawn's shared-memory
// child into a plain fork, whose exec error the parent would never see, so
// the child itself tries both.)
ProcessId spawn_emulated(const std::string& exe, const std::vector<char*>& argv, int handed_from, int handed_to) {
    std::vector<std::string> words;
    const std::string emulator = TAQ_SELF_EMULATOR;
    for (size_t at = 0; at < emulator.size();) {
        const size_t end = std::min(emulator.find(' ', at), emulator.size());
        if (end > at) words.push_back(emulator.substr(at, end - at));
        at = end + 1;
    }
    std::vector<char*> emulated;
    for (std::string& w : words) emulated.push_back(w.data());
    emulated.push_back(const_cast<char*>(exe.c_str()));
    emulated.insert(emulated.end(), argv.begin() + 1, argv.end());
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (handed_from >= 0 && ::dup2(handed_from, handed_to) < 0) ::_exit(127);
        ::execve(exe.c_str(), argv.data(), environ);
        if (errno == ENOEXEC) ::execve(emulated[0], emulated.data(), environ);
        ::_exit(127);
    }
    return pid < 0 ? -1 : pid;
}

}  // namespace
#endif

namespace {

// Where a child finds the pipe of its handover.
constexpr int kHandedFd = 3;

// `handed_from` (when not -1) becomes the child's kHandedFd.
ProcessId spawn_with(const std::vector<std::string>& args, int handed_from) {
    const std::string exe = own_executable_path();
    if (exe.empty()) return -1;
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(exe.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
#ifdef TAQ_SELF_EMULATOR
    return spawn_emulated(exe, argv, handed_from, kHandedFd);
#else
    posix_spawn_file_actions_t actions;
    if (::posix_spawn_file_actions_init(&actions) != 0) return -1;
    pid_t pid = -1;
    const bool ready = handed_from < 0 || ::posix_spawn_file_actions_adddup2(&actions, handed_from, kHandedFd) == 0;
    if (!ready || ::posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    ::posix_spawn_file_actions_destroy(&actions);
    return pid;
#endif
}

}  // namespace

ProcessId spawn_self(const std::vector<std::string>& args) { return spawn_with(args, -1); }

ProcessId spawn_self(const std::vector<std::string>& args, const Handover& handover) {
    if (handover.size > kMaxHandedBytes) return -1;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return -1;
    // Far less than a pipe holds: written whole before the child starts.
    bool written = true;
    for (size_t done = 0; written && done < handover.size;) {
        const ssize_t n = ::write(fds[1], handover.data + done, handover.size - done);
        if (n < 0 && errno == EINTR) continue;
        written = n > 0;
        if (written) done += static_cast<size_t>(n);
    }
    ::close(fds[1]);
    // Above the descriptor it becomes in the child, so that the move there
    // is a real one (which clears close-on-exec there, and only there).
    const int read_end = written ? ::fcntl(fds[0], F_DUPFD_CLOEXEC, kHandedFd + 1) : -1;
    ::close(fds[0]);
    if (read_end < 0) return -1;
    std::vector<std::string> with_channel(args);
    with_channel.insert(with_channel.begin() + (with_channel.empty() ? 0 : 1),
                        handover.channel_switch + std::to_string(kHandedFd));
    const ProcessId pid = spawn_with(with_channel, read_end);
    ::close(read_end);
    return pid;
}

bool read_handed(const std::string& channel, uint8_t* data, size_t capacity, size_t& got) {
    got = 0;
    if (channel != std::to_string(kHandedFd)) return false;
    struct stat st;
    if (::fstat(kHandedFd, &st) != 0 || !S_ISFIFO(st.st_mode)) return false;
    bool ok = true;
    for (;;) {
        uint8_t extra;
        const bool full = got == capacity;
        const ssize_t n = ::read(kHandedFd, full ? &extra : data + got, full ? 1 : capacity - got);
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) break;
        if (n < 0 || full) {
            ok = false;
            break;
        }
        got += static_cast<size_t>(n);
    }
    ::close(kHandedFd);
    return ok;
}

ChildState poll_child(ProcessId pid, int* code) {
    int status = 0;
    pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == 0) return ChildState::running;
    if (r < 0) {
        if (code) *code = -1;
        return ChildState::failed;
    }
    if (WIFEXITED(status)) {
        if (code) *code = WEXITSTATUS(status);
        return ChildState::exited;
    }
    if (code) *code = -1;
    return ChildState::failed;
}

void kill_child(ProcessId pid) {
    if (pid > 0) ::kill(pid, SIGKILL);
}

int wait_child(ProcessId pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

ProcessId parent_process() { return ::getppid(); }

void end_with_parent() {
#ifdef __linux__
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
#endif
}
ProcessId own_process() { return ::getpid(); }

bool process_alive(ProcessId pid) { return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM); }

void sleep_ms(unsigned ms) {
    struct timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

void sleep_us(unsigned us) {
    struct timespec ts;
    ts.tv_sec = us / 1000000;
    ts.tv_nsec = static_cast<long>(us % 1000000) * 1000L;
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

namespace {

volatile sig_atomic_t interrupt_flag = 0;

void on_interrupt(int) { interrupt_flag = 1; }

}  // namespace

bool stderr_is_terminal() { return ::isatty(2) == 1; }

unsigned terminal_columns() {
    struct winsize ws;
    if (::ioctl(2, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    return 80;
}

namespace {

bool write_all(int fd, const char* p, size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

void (*stdout_hook)() = nullptr;

ssize_t hooked_stdout_write(void*, const char* data, size_t n) {
    if (stdout_hook) stdout_hook();
    return write_all(1, data, n) ? static_cast<ssize_t>(n) : -1;
}

}  // namespace

void write_stderr(const std::string& text) { write_all(2, text.data(), text.size()); }

bool stdout_is_terminal() { return ::isatty(1) == 1; }

bool stdin_is_terminal() { return ::isatty(0) == 1; }

int64_t read_stdin(void* data, size_t n, std::string& error) {
    for (;;) {
        const ssize_t r = ::read(0, data, n);
        if (r >= 0) return r;
        if (errno == EINTR) continue;
        error = std::strerror(errno);
        return -1;
    }
}

StdoutData StdoutData::take() {
    StdoutData d;
    std::fflush(stdout);
    // A closed pipe is told by EPIPE on the write, not by a signal.
    ::signal(SIGPIPE, SIG_IGN);
    const int fd = ::fcntl(1, F_DUPFD_CLOEXEC, 3);
    if (fd < 0) return d;
    if (::dup2(2, 1) < 0) {
        ::close(fd);
        return d;
    }
    d.handle_ = fd;
    return d;
}

StdoutData::~StdoutData() {
    if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

bool StdoutData::write(const void* data, size_t n) {
    return handle_ >= 0 && write_all(static_cast<int>(handle_), static_cast<const char*>(data), n);
}

void before_stdout_writes(void (*hook)()) {
    stdout_hook = hook;
    static FILE* hooked = nullptr;
    if (hooked) return;
    cookie_io_functions_t io{};
    io.write = hooked_stdout_write;
    FILE* f = ::fopencookie(nullptr, "w", io);
    if (!f) return;
    // As the C library sets up standard output: line by line on a terminal,
    // in blocks elsewhere.
    ::setvbuf(f, nullptr, ::isatty(1) == 1 ? _IOLBF : _IOFBF, BUFSIZ);
    std::fflush(stdout);
    stdout = f;
    hooked = f;
}

void catch_interrupts() {
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_interrupt;
    ::sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(sig, &sa, nullptr);
}

bool interrupted() { return interrupt_flag != 0; }

uint64_t monotonic_ms() {
    struct timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

int64_t wall_clock_ns() {
    struct timespec ts;
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

bool to_local_time(int64_t seconds, CalendarTime& out) {
    const auto t = static_cast<time_t>(seconds);
    struct tm tm {};
    if (!(::localtime_r(&t, &tm) != nullptr)) return false;
    out = detail::calendar_of(tm);
    return true;
}

bool from_local_time(const CalendarTime& t, int64_t& seconds) { return detail::seconds_of(t, seconds); }

namespace {

uint64_t thread_cpu_ns() {
    struct timespec ts;
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

// Maps the pages that [p, p + bytes) touches in.
bool populate_range(void* p, size_t bytes) {
#ifdef MADV_POPULATE_WRITE
    if (bytes == 0) return true;
    const uintptr_t start = reinterpret_cast<uintptr_t>(p) & ~uintptr_t{4095};
    const uintptr_t end = reinterpret_cast<uintptr_t>(p) + bytes;
    return ::madvise(reinterpret_cast<void*>(start), end - start, MADV_POPULATE_WRITE) == 0;
#else
    (void)p;
    (void)bytes;
    return false;
#endif
}

// Runs work(k) for k = 0 .. threads - 1, k = 0 here and the others on
// threads of their own (or here too, when no thread is to be had).
template <class Work>
void run_on_threads(unsigned threads, Work work) {
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

// How many of `threads` are worth starting for `total` bytes: a thread
// more does not pay for a few MiB.
unsigned threads_for(size_t total, unsigned threads) {
    constexpr size_t kPerThread = size_t{4} << 20;
    return static_cast<unsigned>(std::clamp<size_t>(total / kPerThread, 1, std::max(1u, threads)));
}

// Maps `ranges` in on `threads` threads, the bytes split evenly.
void populate_on_threads(const std::vector<PageRange>& ranges, unsigned threads) {
    size_t total = 0;
    for (const PageRange& r : ranges) total += r.bytes;
    threads = threads_for(total, threads);
    const size_t share = ((total + threads - 1) / threads + 4095) & ~size_t{4095};
    // Worker k maps the bytes [k * share, (k + 1) * share) of the ranges.
    run_on_threads(threads, [&ranges, share](unsigned k) {
        size_t skip = size_t{k} * share, left = share;
        for (const PageRange& r : ranges) {
            if (left == 0) break;
            if (skip >= r.bytes) {
                skip -= r.bytes;
                continue;
            }
            const size_t len = std::min(left, r.bytes - skip);
            populate_range(static_cast<char*>(r.p) + skip, len);
            left -= len;
            skip = 0;
        }
    });
}

}  // namespace

void* allocate_tables(size_t bytes) {
    if (bytes == 0) return nullptr;
    // Map a large page more and trim it, so that the tables start on a
    // large page boundary.
    const size_t mapped = bytes + kLargePage;
    void* p = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    const uintptr_t start = reinterpret_cast<uintptr_t>(p);
    const uintptr_t aligned = (start + kLargePage - 1) & ~(uintptr_t{kLargePage} - 1);
    if (aligned > start) ::munmap(p, aligned - start);
    const uintptr_t end = aligned + bytes;
    const uintptr_t mapped_end = start + mapped;
    if (mapped_end > end) ::munmap(reinterpret_cast<void*>(end), mapped_end - end);
    return reinterpret_cast<void*>(aligned);
}

void* allocate_mapped(size_t bytes) {
    if (bytes == 0) return nullptr;
    void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    return p;
}

void* allocate_large_page() {
    void* p = allocate_tables(kLargePage);
    if (!p) return nullptr;
    advise_large_pages(p, kLargePage);
    populate_range(p, kLargePage);
    return p;
}

void advise_large_pages(void* p, size_t bytes) {
#ifdef MADV_HUGEPAGE
    if (p) ::madvise(p, bytes, MADV_HUGEPAGE);
#else
    (void)p;
    (void)bytes;
#endif
}

void populate_tables(const std::vector<PageRange>& ranges, unsigned threads, bool small_when_slow, uint64_t slow_ns) {
    if (!small_when_slow) {
        populate_on_threads(ranges, threads);
        return;
    }
    // Large page by large page, in the order of the ranges, while they
    // come cheaply: the threads take the next piece each until one of them
    // meets a slow one (the free memory that comes cheaply comes first).
    std::vector<PageRange> pieces;
    size_t total = 0;
    for (const PageRange& r : ranges) {
        char* const base = static_cast<char*>(r.p);
        for (size_t at = 0; at < r.bytes;) {
            const size_t len =
                std::min(kLargePage - reinterpret_cast<uintptr_t>(base + at) % kLargePage, r.bytes - at);
            pieces.push_back({base + at, len});
            at += len;
        }
        total += r.bytes;
    }
    std::atomic<size_t> next{0};
    std::atomic<bool> stop{false}, unsupported{false};
    std::vector<char> mapped(pieces.size(), 0);
    run_on_threads(threads_for(total, threads), [&](unsigned) {
        while (!stop.load(std::memory_order_relaxed)) {
            const size_t i = next.fetch_add(1, std::memory_order_relaxed);
            if (i >= pieces.size()) return;
            const uint64_t start = thread_cpu_ns();
            if (!populate_range(pieces[i].p, pieces[i].bytes)) {
                unsupported.store(true, std::memory_order_relaxed);
                stop.store(true, std::memory_order_relaxed);
                return;
            }
            mapped[i] = 1;
            if (thread_cpu_ns() - start > slow_ns) stop.store(true, std::memory_order_relaxed);
        }
    });
    if (unsupported.load()) return;  // left to faults
    // The rest in small pages; neighbouring pieces in one range.
    std::vector<PageRange> rest;
    for (size_t i = 0; i < pieces.size(); ++i) {
        if (mapped[i]) continue;
        if (!rest.empty() && static_cast<char*>(rest.back().p) + rest.back().bytes == pieces[i].p)
            rest.back().bytes += pieces[i].bytes;
        else
            rest.push_back(pieces[i]);
    }
    if (rest.empty()) return;
#ifdef MADV_NOHUGEPAGE
    for (const PageRange& r : rest) ::madvise(r.p, r.bytes, MADV_NOHUGEPAGE);
#endif
    populate_on_threads(rest, threads);
}

void release_tables(void* p, size_t bytes) {
    if (p) ::munmap(p, bytes);
}

bool file_identity(const std::string& path, FileIdentity& out) {
    struct stat st;
    if (::stat(os_path(path.empty() ? std::string(".") : path).c_str(), &st) != 0) return false;
    identity_of(st, out);
    return true;
}

bool path_length_ok(const std::string& path) {
    if (path.size() >= PATH_MAX) return false;
    size_t run = 0;
    for (char c : path) {
        if (c == '/' || c == '\\') {
            run = 0;
        } else if (++run > NAME_MAX) {
            return false;
        }
    }
    return true;
}

}  // namespace taq::platform
