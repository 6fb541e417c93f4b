#include "archive/update.h"

#include <algorithm>
#include <set>

#include "archive/record.h"

namespace taq {

namespace {

std::string prefix_of(const std::string& dir) {
    if (dir.empty()) return {};
    if (dir == "/") return "/";
    return dir + "/";
}

// One file argument: where its files are enumerated, and the stored
// paths they get there.
struct Scope {
    std::string prefix;         // as the enumeration writes the directory
    std::string stored_prefix;  // the stored directory of a file there
    std::string pattern;
};

Scope scope_of(const std::string& arg, bool recurse) {
    const SplitArgument split = split_argument(arg);
    Scope s;
    s.prefix = prefix_of(split.dir);
    const std::string probe = stored_path_of(s.prefix + "x", recurse);
    s.stored_prefix = probe.substr(0, probe.size() - 1);
    s.pattern = split.pattern;
    return s;
}

// The path on disk that `stored` would come from under the scope; empty
// when the scope would not enumerate it.
std::string source_under(const Scope& s, const std::string& stored, bool recurse) {
    if (stored.compare(0, s.stored_prefix.size(), s.stored_prefix) != 0) return {};
    const std::string rest = stored.substr(s.stored_prefix.size());
    const size_t sep = rest.find_first_of("/\\");
    if (sep != std::string::npos && !recurse) return {};
    if (!match_wildcard(s.pattern, rest.substr(0, sep))) return {};
    return s.prefix + rest;
}

// Whether the pieces of a stored version cover the file at `path` and
// hash as their records say.
bool same_contents(const std::string& path, uint64_t size, const std::vector<const IndexEntry*>& pieces) {
    std::vector<std::pair<uint64_t, uint64_t>> ranges;
    for (const IndexEntry* e : pieces) {
        if (e->record_state != RecordState::present || e->header.data_size < 0) return false;
        ranges.emplace_back(e->header.range_start, static_cast<uint64_t>(e->header.data_size));
    }
    std::sort(ranges.begin(), ranges.end());
    uint64_t covered = 0;
    for (const auto& [start, length] : ranges) {
        if (start != covered) return false;
        covered += length;
    }
    if (covered != size) return false;
    platform::File f = platform::File::open(path, platform::File::Mode::read_existing);
    if (!f) return false;
    std::vector<uint8_t> buffer(1 << 20);
    DataHasher hasher;
    for (const IndexEntry* e : pieces) {
        hasher.reset();
        uint64_t at = e->header.range_start;
        const uint64_t end = at + static_cast<uint64_t>(e->header.data_size);
        if (!f.seek(at)) return false;
        while (at < end) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(buffer.size(), end - at));
            if (f.read(buffer.data(), n) != n) return false;
            hasher.update(buffer.data(), n);
            at += n;
        }
        if (hasher.digest() != e->record.data_hash) return false;
    }
    return true;
}

}  // namespace

std::string stored_path_of(const std::string& path, bool recurse) {
    std::string dir = stored_dir_of(path);
    std::string name = file_part(path);
    if (recurse) {
        dir = collapse_separators(dir);
        name = collapse_separators(name);
    }
    return dir + name;
}

UpdateChoice choose_updates(const FileList& list, const UpdateRequest& request, const VersionHistory& history,
                            const ArchiveIndex& index) {
    UpdateChoice c;
    std::set<std::string> listed;
    for (const FileListEntry& f : list) {
        const std::string stored = stored_path_of(f.path, request.recurse);
        listed.insert(stored);
        const PathEvent* newest = history.newest(stored);
        bool unchanged = false;
        if (newest && !newest->deleted && !newest->entries.empty()) {
            std::vector<const IndexEntry*> pieces;
            for (size_t k : newest->entries) pieces.push_back(&index.entries()[k]);
            // Every piece carries the whole file's size, time and permissions.
            const IndexEntry& first = *pieces.front();
            unchanged = first.record_state == RecordState::present && f.size >= 0 &&
                        first.record.file_size == static_cast<uint64_t>(f.size) &&
                        first.record.meta.mtime_ns == f.meta.mtime_ns &&
                        first.record.meta.permissions == (f.meta.permissions & platform::kPermissionBits);
            if (unchanged && request.content)
                unchanged = same_contents(f.path, static_cast<uint64_t>(f.size), pieces);
        }
        if (unchanged) {
            ++c.unchanged;
            continue;
        }
        c.to_add.push_back(f);
        c.is_new.push_back(!newest || newest->deleted);
    }
    if (!request.args) return c;
    std::vector<Scope> scopes;
    for (const std::string& arg : *request.args) scopes.push_back(scope_of(arg, request.recurse));
    for (const auto& [stored, events] : history.paths()) {
        if (events.empty() || events.back().deleted || listed.count(stored)) continue;
        for (const Scope& s : scopes) {
            const std::string source = source_under(s, stored, request.recurse);
            if (source.empty()) continue;
            const platform::FileKind kind = platform::file_kind(source);
            if (kind == platform::FileKind::missing || kind == platform::FileKind::directory)
                c.deleted.push_back(stored);
            break;
        }
    }
    return c;
}

}  // namespace taq
