#include "archive/paths.h"

#include <algorithm>

#include "platform/platform.h"

namespace taq {

namespace {

size_t last_separator(const std::string& path) {
    for (size_t i = path.size(); i > 0; --i)
        if (is_separator(path[i - 1])) return i - 1;
    return std::string::npos;
}

bool has_drive(const std::string& path) { return path.size() >= 2 && path[1] == ':'; }

// Prefix put before the names found in `dir`: the directory and '/', except
// that no directory gives no prefix and the root gives "/".
std::string prefix_for(const std::string& dir) {
    if (dir.empty()) return {};
    if (dir == "/") return "/";
    return dir + "/";
}

}  // namespace

std::string collapse_separators(const std::string& path) {
    std::string out;
    out.reserve(path.size());
    for (size_t i = 0; i < path.size(); ++i) {
        if (is_separator(path[i]) && i + 1 < path.size() && is_separator(path[i + 1])) continue;
        out.push_back(path[i]);
    }
    return out;
}

std::string path_prefix(const std::string& path) {
    const size_t s = last_separator(path);
    return s == std::string::npos ? std::string() : path.substr(0, s + 1);
}

std::string file_part(const std::string& path) {
    const size_t s = last_separator(path);
    return s == std::string::npos ? path : path.substr(s + 1);
}

std::string dir_part(const std::string& full) {
    if (full.empty() || is_separator(full.back())) return {};
    // The long form "\\?\C:\..." is the drive path behind it.
    const bool long_form = full.size() > 4 && is_separator(full[0]) && is_separator(full[1]) && full[2] == '?' &&
                           is_separator(full[3]);
    const std::string path = long_form ? full.substr(4) : full;
    std::string dir = path_prefix(path);
    if (has_drive(path)) return dir.size() > 3 ? dir.substr(3) : std::string();
    // An absolute path is stored relative to the root, as a drive path is.
    size_t skip = 0;
    while (skip < dir.size() && is_separator(dir[skip])) ++skip;
    return dir.substr(skip);
}

std::string stored_dir_of(const std::string& path, bool* dropped_parent) {
    const std::string dir = dir_part(path);
    // Components with the separators that follow each.
    struct Part {
        std::string name, separators;
    };
    std::vector<Part> kept;
    bool changed = false;
    size_t i = 0;
    while (i < dir.size() && is_separator(dir[i])) ++i;
    if (i > 0) changed = true;  // never rooted
    while (i < dir.size()) {
        Part part;
        while (i < dir.size() && !is_separator(dir[i])) part.name.push_back(dir[i++]);
        while (i < dir.size() && is_separator(dir[i])) part.separators.push_back(dir[i++]);
        if (part.name == ".") {
            changed = true;
        } else if (part.name == "..") {
            changed = true;
            if (!kept.empty())
                kept.pop_back();
            else if (dropped_parent)
                *dropped_parent = true;
        } else {
            kept.push_back(std::move(part));
        }
    }
    if (!changed) return dir;
    std::string out;
    for (const Part& part : kept) out += part.name + part.separators;
    return out;
}

std::string last_component(const std::string& path) {
    if (!path.empty() && is_separator(path.back())) return file_part(path.substr(0, path.size() - 1));
    return file_part(path);
}

bool has_wild_or_dot(const std::string& text) { return text.find_first_of(".*") != std::string::npos; }

std::string to_lower_ascii(const std::string& text) {
    std::string out = text;
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

bool match_wildcard(const std::string& pattern, const std::string& name) {
    size_t p = 0, n = 0;
    size_t star = std::string::npos;  // position of the last '*' seen
    size_t resume = 0;                // name position that '*' is retried from
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = n;
        } else if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == name[n])) {
            ++p;
            ++n;
        } else if (star != std::string::npos) {
            // Let the last '*' take one more character and try again.
            p = star + 1;
            n = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

bool remove_file(const std::string& path, unsigned timeout_ms) {
    platform::set_hidden(path, false);
    const uint64_t deadline = platform::monotonic_ms() + timeout_ms;
    for (;;) {
        if (platform::delete_file(path)) return true;
        if (platform::monotonic_ms() >= deadline) return false;
        platform::sleep_ms(10);
    }
}

bool make_directories(const std::string& dir, std::string* error) {
    // The first failure is the cause; the ones below it follow from it.
    std::string why, next;
    for (size_t i = 0; i < dir.size(); ++i) {
        if (!is_separator(dir[i]) || i == 0 || dir[i - 1] == ':') continue;
        if (!platform::create_directory(dir.substr(0, i), &next) && why.empty()) why = next;
    }
    if (!dir.empty() && !platform::create_directory(dir, &next) && why.empty()) why = next;
    const bool made = platform::is_directory(dir);
    if (!made && error) *error = why;
    return made;
}

std::string resolve_argument(const std::string& arg, const std::string& cwd) {
    if (platform::is_absolute_path(arg)) return arg;
    return cwd + "/" + arg;
}

bool path_fits(const std::string& path) { return platform::path_length_ok(path); }

SplitArgument split_argument(const std::string& arg) {
    std::string text = arg;
    std::replace(text.begin(), text.end(), '\\', '/');
    if (text == "." || text == "..") text += "/*";

    SplitArgument out;
    const size_t slash = text.rfind('/');
    if (has_drive(text) && slash == 2) {
        // From a drive's root: the directory is "X:/.".
        out.dir = text.substr(0, 2) + "/.";
        out.pattern = text.substr(3);
    } else if (has_drive(text) && slash == std::string::npos) {
        // Relative to a drive's current directory.
        const std::string rest = text.substr(2);
        if (rest == "." || rest == "..") {
            out.dir = text;
        } else {
            out.dir = text.substr(0, 2) + ".";
            out.pattern = rest;
        }
    } else if (slash == std::string::npos) {
        out.pattern = text;
    } else {
        out.dir = text.substr(0, slash == 0 ? 1 : slash);
        out.pattern = text.substr(slash + 1);
    }
    if (out.dir.size() == 2 && out.dir[1] == ':') out.dir += ".";
    if (out.pattern.empty()) out.pattern.assign(1, '*');
    return out;
}

namespace {

bool has_wildcard(const std::string& pattern) { return pattern.find_first_of("*?") != std::string::npos; }

// How a file of another kind is named in the lines that leave it out.
const char* kind_text(platform::FileKind kind) {
    switch (kind) {
        case platform::FileKind::fifo: return "a FIFO";
        case platform::FileKind::socket: return "a socket";
        case platform::FileKind::device: return "a device";
        case platform::FileKind::dangling_link: return "a dangling symbolic link";
        default: return "of an unknown kind";
    }
}

void leave_out(LeftOutList* left_out, std::string line, bool fails = true) {
    if (left_out) left_out->push_back({std::move(line), fails});
}

size_t collect_in(FileList& list, const std::string& dir, const std::string& prefix, const std::string& pattern,
                  bool recurse, std::vector<platform::FileIdentity>& open_dirs, LeftOutList* left_out) {
    const std::string to_open = dir.empty() ? std::string(".") : dir;
    platform::FileIdentity id;
    const bool known = platform::file_identity(to_open, id);
    if (known && std::find(open_dirs.begin(), open_dirs.end(), id) != open_dirs.end()) return 0;

    std::vector<platform::DirEntry> entries;
    std::string error;
    if (!platform::list_directory(to_open, entries, &error)) {
        leave_out(left_out, "Error: cannot read directory " + to_open + " (" + error + ")");
        return 0;
    }
    if (known) open_dirs.push_back(id);
    size_t matched = 0;
    for (const auto& e : entries) {
        if (!match_wildcard(pattern, e.name)) continue;
        if (e.name == "." || e.name == "..") continue;
        ++matched;
        const std::string path = prefix + e.name;
        switch (e.kind) {
            case platform::FileKind::regular: list.push_back({path, e.size, e.meta, e.identity, e.identified}); break;
            case platform::FileKind::directory:
                if (recurse) collect_in(list, path, prefix_for(path), "*", recurse, open_dirs, left_out);
                break;
            case platform::FileKind::missing: --matched; break;  // gone since the listing
            case platform::FileKind::unreachable:
                leave_out(left_out, "Error: cannot read " + path + " (" + e.error + ")");
                break;
            default:
                leave_out(left_out, "Skipped " + path + ": " + kind_text(e.kind) + ", not a regular file", false);
                break;
        }
    }
    if (known) open_dirs.pop_back();
    return matched;
}

// An argument without wildcards: the one file (or directory) it names.
void collect_named(FileList& list, const std::string& arg, const SplitArgument& split, bool recurse,
                   std::vector<platform::FileIdentity>& open_dirs, LeftOutList* left_out) {
    const std::string path = prefix_for(split.dir) + split.pattern;
    std::string error;
    int64_t size = 0;
    platform::FileMeta meta;
    const platform::FileKind kind = platform::file_status(path, size, meta, &error);
    switch (kind) {
        case platform::FileKind::regular:
            list.push_back({path, size, meta, {}, false});
            return;
        case platform::FileKind::directory:
            if (recurse)
                collect_in(list, path, prefix_for(path), "*", recurse, open_dirs, left_out);
            else
                leave_out(left_out, "Error: " + arg + " is a directory (its files are added with -r)");
            return;
        case platform::FileKind::missing:
            leave_out(left_out, "Error: cannot find Input file " + arg + (error.empty() ? "" : " (" + error + ")"));
            return;
        case platform::FileKind::unreachable:
            leave_out(left_out, "Error: cannot read " + arg + " (" + error + ")");
            return;
        default:
            leave_out(left_out, "Error: skipped " + arg + ": " + kind_text(kind) + ", not a regular file");
            return;
    }
}

}  // namespace

size_t collect_files(FileList& list, const std::string& dir, const std::string& prefix, const std::string& pattern,
                     bool recurse, LeftOutList* left_out) {
    std::vector<platform::FileIdentity> open_dirs;
    return collect_in(list, dir, prefix, pattern, recurse, open_dirs, left_out);
}

std::string extension_key(const std::string& path) {
    const size_t dot = path.rfind('.');
    return dot == std::string::npos ? path : path.substr(dot + 1);
}

FileList build_file_list(const std::vector<std::string>& args, bool recurse, LeftOutList* left_out) {
    FileList list;
    for (const auto& arg : args) {
        const SplitArgument split = split_argument(arg);
        std::vector<platform::FileIdentity> open_dirs;
        if (!has_wildcard(split.pattern)) {
            collect_named(list, arg, split, recurse, open_dirs, left_out);
            continue;
        }
        const size_t before = left_out ? left_out->size() : 0;
        if (collect_in(list, split.dir, prefix_for(split.dir), split.pattern, recurse, open_dirs, left_out) == 0 &&
            left_out && left_out->size() == before)
            leave_out(left_out, "Error: no file matches " + arg);
    }
    std::vector<std::pair<std::string, size_t>> keys;
    keys.reserve(list.size());
    for (size_t i = 0; i < list.size(); ++i) keys.emplace_back(extension_key(list[i].path), i);
    std::sort(keys.begin(), keys.end(), [&](const auto& a, const auto& b) {
        if (a.first != b.first) return a.first < b.first;
        return list[a.second].path < list[b.second].path;
    });
    FileList sorted;
    sorted.reserve(list.size());
    for (const auto& k : keys) sorted.push_back(std::move(list[k.second]));
    return sorted;
}

}  // namespace taq
