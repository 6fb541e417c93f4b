// The archiver's path vocabulary: splitting and cleaning paths in which both
// '/' and '\' separate components, wildcard matching, the file operations
// the drivers share, and the enumeration that turns the file arguments of
// `a` into the sorted file list.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace taq {

inline bool is_separator(char c) { return c == '/' || c == '\\'; }

// Of every run of separators only the last one is kept: "a\\b" and "a/\b"
// both become "a\b".
std::string collapse_separators(const std::string& path);

// Text up to and including the last separator; empty when there is none.
std::string path_prefix(const std::string& path);

// Text after the last separator; the whole text without separators; empty
// when the path ends with a separator.
std::string file_part(const std::string& path);

// The directory stored with an entry: path_prefix without a root. A drive
// form ("D:\...", also in the long form "\\?\D:\...") loses the drive and
// its separator, an absolute path its leading separators (so a UNC path
// "\\server\share\d\x" stores "server\share\d\"). Empty when nothing remains or the path ends with a
// separator.
std::string dir_part(const std::string& path);

// The directory stored for the file at `path`: dir_part, with "." components
// left out and each ".." taking away the component before it, so that the
// stored path names the same file below any destination. A ".." with
// nothing before it is left out too; `dropped_parent` (when given) is then
// set. A path without "." or ".." components gives dir_part unchanged.
std::string stored_dir_of(const std::string& path, bool* dropped_parent = nullptr);

// Last component, one trailing separator ignored: "D:\photos\" and
// "D:\photos" both give "photos".
std::string last_component(const std::string& path);

// True when the text contains '.' or '*'.
bool has_wild_or_dot(const std::string& text);

// A..Z become a..z; every other byte is kept.
std::string to_lower_ascii(const std::string& text);

// '*' matches any run (the empty one included), '?' exactly one character,
// everything else itself, case-sensitively. Linear in the worst case times
// the pattern length, never exponential.
bool match_wildcard(const std::string& pattern, const std::string& name);

// Clears the hidden attribute and deletes the file, retrying while the
// deletion fails, for at most `timeout_ms`. True when the file is gone.
bool remove_file(const std::string& path, unsigned timeout_ms = 2000);

// Creates every directory along `dir` (each text before a separator that is
// not directly after ':', then the whole path); existing ones are fine.
// True when `dir` is a directory afterwards; else `error` (when given)
// receives the system's reason for the first directory it could not make.
bool make_directories(const std::string& dir, std::string* error = nullptr);

// An argument placed under `cwd` unless it is absolute (begins with a
// separator; on Windows also a drive path): cwd + "/" + arg.
std::string resolve_argument(const std::string& arg, const std::string& cwd);

// Whether the operating system can take this path at all (length of the
// whole path and of each component).
bool path_fits(const std::string& path);

// One file argument of `a` split into the directory to enumerate and the
// pattern to match there. '\' are turned into '/'. An empty directory means
// the current one; the pattern is never empty.
struct SplitArgument {
    std::string dir;
    std::string pattern;
};
SplitArgument split_argument(const std::string& arg);

struct FileListEntry {
    std::string path;  // as enumerated, '/' separators
    int64_t size = 0;  // size seen by the enumeration (statistics only)
    platform::FileMeta meta;  // time and permission bits seen by the enumeration
    platform::FileIdentity identity;  // ... and the file's identity, when `identified`
    bool identified = false;
};
using FileList = std::vector<FileListEntry>;

// An input that the enumeration leaves out: the line that says so (without
// line end), and whether it fails the run. Files named on the command line
// and directories or files that cannot be read fail it; files of other kinds
// (FIFOs, sockets, devices, dangling links) met by a wildcard or below a
// directory are only named.
struct LeftOut {
    std::string line;
    bool fails = true;
};
using LeftOutList = std::vector<LeftOut>;

// Appends the files of directory `dir` whose names match `pattern`, each as
// prefix + name. With `recurse`, matching subdirectories are entered and all
// of their files taken. A directory that cannot be opened adds nothing (and
// a line to `left_out`, when given); a directory reached again through a
// link inside itself is not re-entered. Files of other kinds are never
// opened. Returns how many names matched (files, directories, others).
size_t collect_files(FileList& list, const std::string& dir, const std::string& prefix, const std::string& pattern,
                     bool recurse, LeftOutList* left_out = nullptr);

// Sort key of a list entry: the text after the last '.' of the whole path,
// or the whole path when it has no dot.
std::string extension_key(const std::string& path);

// Enumerates every argument in order and sorts the result by extension_key
// (ties by path, so a run is reproducible). An argument without wildcards
// names one file (or with `recurse` one directory); one that names nothing
// of that kind, and a wildcard that matches nothing, add a line to
// `left_out` (when given), as does everything collect_files leaves out.
FileList build_file_list(const std::vector<std::string>& args, bool recurse, LeftOutList* left_out = nullptr);

}  // namespace taq
