// Every operating-system call of TAQ goes through this header; porting to
// another system means providing another implementation of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <vector>

namespace taq::platform {

// Turns the separators of an archiver path ('/' and '\\') into the OS one.
std::string os_path(const std::string& path);

// A path that does not hang below the current directory: one that starts
// with a separator, and on Windows also one whose second character is ':'
// (a drive).
bool is_absolute_path(const std::string& path);

// The process's arguments in UTF-8, argv[0] first. On Windows they are
// taken from the UTF-16 command line (argv holds them in the code page of
// the moment, which cannot spell every name), and the console is switched
// to UTF-8 output.
std::vector<std::string> process_arguments(int argc, char** argv);

// Identity of a file or directory (device and inode, or what the system
// has in their place): two paths, or a path and an open file, are the same
// file exactly when their identities are equal.
struct FileIdentity {
    uint64_t device = 0;
    uint64_t inode = 0;
    bool operator==(const FileIdentity&) const = default;
};

// What an archive keeps of a file besides its bytes: the time of its last
// change (nanoseconds since 1970, UTC) and its permission bits (rwx for
// owner, group and others; never set-user-ID, set-group-ID or sticky).
struct FileMeta {
    int64_t mtime_ns = 0;
    uint32_t permissions = 0644;
};
constexpr uint32_t kPermissionBits = 0777;

// An open file with its own position. Moves, never copies; closes on
// destruction. Reads and writes loop over short transfers.
class File {
public:
    enum class Mode {
        read_existing,   // fails when the file does not exist
        write_existing,  // read/write, no creation, no truncation
        create,          // read/write, created or truncated
        create_new,      // read/write, fails when the name exists
        open_or_create,  // read/write, created when missing, never truncated
    };

    File() = default;
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    ~File();

    static File open(const std::string& path, Mode mode);

    bool valid() const { return fd_ >= 0; }
    explicit operator bool() const { return valid(); }
    // errno text of the failed open (or of the last failed operation).
    const std::string& error() const { return error_; }

    // Reads up to n bytes at the current position; returns what arrived
    // (less than n only at the end of the file or on an error).
    size_t read(void* data, size_t n);
    // Writes all n bytes at the current position; false on any failure.
    bool write(const void* data, size_t n);
    bool seek(uint64_t offset);
    uint64_t position() const { return pos_; }
    // Current size of the open file, -1 on failure.
    int64_t size() const;
    bool truncate(uint64_t length);
    // Makes what was written so far durable: it survives a crash of the
    // system. False on failure.
    bool sync();
    // An advisory lock on the whole file, held until the file is closed or
    // the process ends. With `wait` the call blocks until the lock is
    // granted; without, it fails at once when another process holds a
    // conflicting one.
    enum class LockKind { shared, exclusive };
    bool lock(LockKind kind, bool wait);
    bool identity(FileIdentity& out) const;
    bool metadata(FileMeta& out) const;
    // Sets the modification time and the permission bits (masked with
    // kPermissionBits) of the open file.
    bool set_metadata(const FileMeta& meta);
    void close();

private:
    friend class Directory;
    intptr_t fd_ = -1;  // a descriptor; on Windows a HANDLE
    uint64_t pos_ = 0;
    std::string error_;
};

// An open directory, below which files and directories are created one
// component at a time. Nothing below it is ever reached through a symbolic
// link, and a path may be deeper than the system's limit for a whole path
// (only each component must fit).
class Directory {
public:
    Directory() = default;
    Directory(Directory&& other) noexcept;
    Directory& operator=(Directory&& other) noexcept;
    Directory(const Directory&) = delete;
    Directory& operator=(const Directory&) = delete;
    ~Directory();

    // The directory `path` leads to (links on the way are followed: the
    // caller chose it). Invalid, with error() set, when it cannot be opened.
    static Directory open(const std::string& path);

    bool valid() const { return fd_ >= 0; }
    explicit operator bool() const { return valid(); }
    const std::string& error() const { return error_; }

    // The subdirectory `name` (one component), created when missing. Invalid
    // when `name` is anything but a directory, a symbolic link included.
    Directory subdirectory(const std::string& name) const;
    // The file `name` (one component), never through a symbolic link:
    // Mode::create and Mode::open_or_create first remove a link or other
    // non-directory, non-regular file that stands at `name`; the other
    // modes fail on one. Opening a directory fails.
    File open_file(const std::string& name, File::Mode mode) const;
    // Identity of what stands at `name`, a link not followed. False when
    // nothing does.
    bool identity(const std::string& name, FileIdentity& out) const;
    // Removes the file (or link) `name`; true when nothing is left there.
    bool remove(const std::string& name) const;
    // Renames the file `from` to `to`, both in this directory, replacing
    // whatever file or link stands at `to` (a read-only one too) in one
    // step: what was there is never opened or written, so hard links to it
    // keep their contents. False, with error() set, on failure.
    bool rename(const std::string& from, const std::string& to);
    // The names in this directory ("." and ".." left out). False, with
    // error() set, when it cannot be read.
    bool names(std::vector<std::string>& out);

private:
    intptr_t fd_ = -1;  // a descriptor; on Windows a HANDLE
    std::string error_;
};

// Whether names that differ only in case reach the same file (Windows).
bool names_fold_case();

// Size of a regular file, 0 for a missing path or a directory.
uint64_t file_size(const std::string& path);
// The largest size a file in directory `dir` can have: the file system's
// own limit where the system reports it credibly, else the largest size
// any file can have here (2^63 - 1). Never below the true limit.
uint64_t largest_file_size(const std::string& dir);
bool exists(const std::string& path);
bool is_directory(const std::string& path);
// One delete attempt; true when the file is gone afterwards.
bool delete_file(const std::string& path);
// Creates one directory; an existing one is not an error.
// `error` (when given) receives the system's text of a failure.
bool create_directory(const std::string& path, std::string* error = nullptr);
// Sets or clears the hidden attribute (Windows); elsewhere it has no
// meaning and nothing happens.
void set_hidden(const std::string& path, bool hidden);

// What a path leads to, links followed. `unreachable` covers every path
// the system could not look at (too long, no permission on the way, a
// link loop); `missing` a path of which no part of the last name exists.
enum class FileKind { missing, regular, directory, fifo, socket, device, dangling_link, unreachable, other };
// The kind of the path; `error` (when given) receives the system's text
// for missing and unreachable paths.
FileKind file_kind(const std::string& path, std::string* error = nullptr);
// The same, and for a regular file its size and what File::metadata would
// give of it (one look at the file, which is not opened).
FileKind file_status(const std::string& path, int64_t& size, FileMeta& meta, std::string* error = nullptr);

struct DirEntry {
    std::string name;
    bool is_file = false;
    bool is_dir = false;
    FileKind kind = FileKind::unreachable;
    std::string error;  // why the kind is unreachable
    int64_t size = 0;
    FileMeta meta;  // of a regular file: its time and permission bits
    FileIdentity identity;    // when `identified` (not every system tells it here)
    bool identified = false;
};
// Lists a directory in the order the system returns it, "." and ".."
// included. False when it cannot be opened; `error` (when given) then
// receives the system's text.
bool list_directory(const std::string& path, std::vector<DirEntry>& out, std::string* error = nullptr);

// A directory for scratch files of a run: the system's temporary directory.
std::string temp_directory();

std::string own_executable_path();
std::string current_directory();
unsigned processor_count();

// Child processes: the own executable started with an argument vector.
using ProcessId = int;
// Returns the child's id, or -1 when it could not be started.
ProcessId spawn_self(const std::vector<std::string>& args);
// Bytes for one child that go neither on its command line nor into any
// file (a key): written into a pipe that only that child inherits. The
// child is told the pipe's channel by the argument `channel_switch` +
// channel, put after the first of its arguments, and reads the bytes with
// read_handed. At most kMaxHandedBytes.
struct Handover {
    const uint8_t* data = nullptr;
    size_t size = 0;
    std::string channel_switch;
};
constexpr size_t kMaxHandedBytes = 512;
ProcessId spawn_self(const std::vector<std::string>& args, const Handover& handover);
// The child's side: every byte of the channel (at most `capacity`), which
// is closed then. False when the channel is no such pipe, holds more, or
// cannot be read.
bool read_handed(const std::string& channel, uint8_t* data, size_t capacity, size_t& got);
#ifdef _WIN32
// The command line (UTF-8) that hands `args` to a program as its argv:
// each argument quoted as the runtime's splitter reads it back.
std::string command_line(const std::vector<std::string>& args);
#endif
enum class ChildState { running, exited, failed };
// Non-blocking: has the child ended, and how (exit code in *code).
ChildState poll_child(ProcessId pid, int* code);
void kill_child(ProcessId pid);
// Blocks until the child has ended; its exit code, or -1 for a signal.
int wait_child(ProcessId pid);
ProcessId parent_process();
// For a child task: from this call on the process ends as soon as its
// parent does (Linux: the system kills it; elsewhere the parent is held
// open now, so that parent_process() reports its end). The parent may have
// gone before the call: check parent_process() after it.
void end_with_parent();
ProcessId own_process();
bool process_alive(ProcessId pid);
void sleep_ms(unsigned ms);
void sleep_us(unsigned us);
uint64_t monotonic_ms();
// The time of day: nanoseconds since 1970 (UTC).
int64_t wall_clock_ns();
// A moment as the local clock shows it.
struct CalendarTime {
    int year = 1970, month = 1, day = 1;  // month and day from 1
    int hour = 0, minute = 0, second = 0;
};
// Seconds since 1970 (UTC) in local time; false when the system cannot
// tell.
bool to_local_time(int64_t seconds, CalendarTime& out);
// The other way: the seconds since 1970 of a local time (daylight saving
// time as the system judges it for that date); false when out of range.
bool from_local_time(const CalendarTime& t, int64_t& seconds);

// The terminal, for the progress line. Standard error is a terminal only
// when a person watches it: never in scripts, pipes or tests.
bool stderr_is_terminal();
// Width of the terminal on standard error; 80 when it cannot be told.
unsigned terminal_columns();
// Writes the text to standard error at once, unbuffered.
void write_stderr(const std::string& text);
// Whether standard output is a terminal (binary data must not go there).
bool stdout_is_terminal();
// Whether standard input is a terminal (no data is piped in).
bool stdin_is_terminal();
// Reads up to n bytes of standard input, unchanged (no line-end
// translation); 0 at its end, -1 on a failure (`error` says why).
int64_t read_stdin(void* data, size_t n, std::string& error);

// Data for standard output, with the messages kept apart: from take() on,
// what the process prints to standard output goes to standard error, and
// this handle writes to where standard output led, unbuffered and
// unchanged (no line-end translation). A reader that has gone (a closed
// pipe) makes write() fail instead of ending the process.
class StdoutData {
public:
    static StdoutData take();
    StdoutData(StdoutData&& other) noexcept : handle_(other.handle_) { other.handle_ = -1; }
    StdoutData(const StdoutData&) = delete;
    StdoutData& operator=(const StdoutData&) = delete;
    ~StdoutData();
    bool valid() const { return handle_ >= 0; }
    bool write(const void* data, size_t n);

private:
    StdoutData() = default;
    intptr_t handle_ = -1;
};
// From this call on, `hook` runs before each write that standard output
// makes to the system (so that a line drawn on the terminal can be cleared
// first). The bytes written and the buffering stay as they were.
void before_stdout_writes(void (*hook)());

// From this call on, an interrupt or termination request (Ctrl-C, kill)
// no longer ends the process; it only raises a flag that interrupted()
// reports, so that the process can stop its children and clean up first.
void catch_interrupts();
bool interrupted();

// The large page size that the memory calls below work with.
constexpr size_t kLargePage = size_t{2} << 20;

// Memory for the model tables: zero-filled, aligned to the large page
// size. Returns nullptr on failure.
void* allocate_tables(size_t bytes);
// Zero-filled memory with every page mapped in by this one call: cheaper
// than a fault per page for tables of a few MiB that are written in full
// at once. Returns nullptr on failure; freed with release_tables().
void* allocate_mapped(size_t bytes);
// Asks for large pages on such memory: fewer TLB misses on random access,
// but every first touch then clears a whole large page.
void advise_large_pages(void* p, size_t bytes);

// Maps the pages of fresh memory from allocate_tables() in now, range by
// range and on `threads` threads, so that random access does not fault
// page by page. Where large pages were advised they come at about the
// cost of clearing them, unless the memory was free for long: a hypervisor
// may have taken it back, and then a large page costs some 30 times as
// much (small pages still come cheaply from the pieces it leaves alone).
// With `small_when_slow`, the large pages are mapped in on the threads
// one by one until one of them costs its thread more than `slow_ns`; the
// rest then takes small pages.
struct PageRange {
    void* p;
    size_t bytes;
};
// A large page that costs its thread more than this to map in did not come
// from memory the system had at hand (those take about 0.2 ms, clearing
// included; memory that a hypervisor took back costs about 6 ms).
constexpr uint64_t kSlowLargePageNs = 1500000;
void populate_tables(const std::vector<PageRange>& ranges, unsigned threads, bool small_when_slow,
                     uint64_t slow_ns = kSlowLargePageNs);
void release_tables(void* p, size_t bytes);

// One large page (kLargePage bytes) of zero-filled memory, mapped in by
// this call, for small tables hit at random all the time: on a large page
// they cost no TLB misses, and one mapping costs less than a fault per
// small page. Where the system has no large page to give, small pages.
// Returns nullptr on failure; freed with release_tables().
void* allocate_large_page();

// A fixed array in memory from allocate_mapped(): zero until written. Or
// a view of `n` elements of memory that someone else owns.
template <class T>
class MappedArray {
public:
    explicit MappedArray(size_t n) : n_(n), p_(static_cast<T*>(allocate_mapped(n * sizeof(T)))) {
        if (!p_ && n != 0) throw std::bad_alloc();
    }
    MappedArray(T* borrowed, size_t n) : n_(n), p_(borrowed), owned_(false) {}
    ~MappedArray() {
        if (owned_) release_tables(p_, n_ * sizeof(T));
    }
    MappedArray(const MappedArray&) = delete;
    MappedArray& operator=(const MappedArray&) = delete;

    size_t size() const { return n_; }
    T* data() { return p_; }
    const T* data() const { return p_; }
    T* begin() { return p_; }
    T* end() { return p_ + n_; }
    T& operator[](size_t i) { return p_[i]; }
    const T& operator[](size_t i) const { return p_[i]; }

private:
    size_t n_;
    T* p_;
    bool owned_ = true;
};

// Of the file or directory a path leads to, links followed.
bool file_identity(const std::string& path, FileIdentity& out);

// Whether the system accepts a path of this length: the whole path and
// each of its components within the system's limits.
bool path_length_ok(const std::string& path);

}  // namespace taq::platform
