#include "extract/staging.h"

#include <algorithm>
#include <cstdio>
#include <cctype>
#include <cstdlib>

#include "archive/entry.h"

#include "archive/paths.h"

namespace taq {

using platform::Directory;

std::string OutputName::display() const { return collapse_separators(dest_dir + "/" + stored_dir + name); }

Directory open_output_directory(const OutputName& out, std::string& error) {
    std::string why;
    const bool made = out.dest_dir.empty() || make_directories(out.dest_dir, &why);
    Directory d = Directory::open(out.dest_dir.empty() ? std::string(".") : out.dest_dir);
    if (!d) {
        // Why it could not be made tells more than that it is not there.
        error = !made && !why.empty() ? "cannot create directory " + out.dest_dir + " (" + why + ")"
                                      : "cannot open directory " + out.dest_dir + " (" + d.error() + ")";
        return d;
    }
    const std::string& dir = out.stored_dir;
    size_t start = 0;
    for (size_t i = 0; i <= dir.size(); ++i) {
        if (i < dir.size() && !is_separator(dir[i])) continue;
        const std::string part = dir.substr(start, i - start);
        start = i + 1;
        if (part.empty() || part == ".") continue;
        Directory sub = d.subdirectory(part);
        if (!sub) {
            error = "cannot create directory " + collapse_separators(out.dest_dir + "/" + dir.substr(0, i)) + " (" +
                    sub.error() + ")";
            return sub;
        }
        d = std::move(sub);
    }
    return d;
}

std::string staging_name(platform::ProcessId owner, const std::string& name) {
    DataHasher h;
    h.update(name.data(), name.size());
    return ".taq-" + std::to_string(owner) + "-" + hash_text(h.digest()) + ".tmp";
}

bool parse_staging_name(const std::string& name, platform::ProcessId& owner) {
    // ".taq-" digits "-" 16 hex digits ".tmp"
    const std::string prefix = ".taq-", suffix = ".tmp";
    if (name.size() < prefix.size() + 1 + 1 + 16 + suffix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
        return false;
    const size_t digits_end = name.size() - suffix.size() - 17;
    if (name[digits_end] != '-' || digits_end - prefix.size() > 9) return false;
    long long pid = 0;
    for (size_t i = prefix.size(); i < digits_end; ++i) {
        if (name[i] < '0' || name[i] > '9') return false;
        pid = pid * 10 + (name[i] - '0');
    }
    for (size_t i = digits_end + 1; i < digits_end + 17; ++i)
        if (!std::isxdigit(static_cast<unsigned char>(name[i]))) return false;
    if (pid <= 0) return false;
    owner = static_cast<platform::ProcessId>(pid);
    return true;
}

void remove_stale_staging(Directory& dir, platform::ProcessId self) {
    std::vector<std::string> names;
    if (!dir.names(names)) return;
    for (const std::string& n : names) {
        platform::ProcessId owner = 0;
        if (parse_staging_name(n, owner) && owner != self && !platform::process_alive(owner)) dir.remove(n);
    }
}

void CaseClashes::note(const std::string& stored_path) {
    if (!platform::names_fold_case()) return;
    const auto [first, fresh] = first_.try_emplace(to_lower_ascii(stored_path), stored_path);
    if (fresh || first->second == stored_path || !warned_.insert(stored_path).second) return;
    diag_.warning(text("Warning: ", first->second, " and ", stored_path, " differ only in case: restored here, they are one file, and the newer replaces the other\n"));
}

OutputSizes::OutputSizes(Diagnostics& diag) : OutputSizes(diag, platform::own_process()) {}
OutputSizes::OutputSizes(Diagnostics& diag, platform::ProcessId owner) : diag_(diag), owner_(owner) {}
OutputSizes::~OutputSizes() { discard(); }

bool OutputSizes::staged(const OutputName& out) const {
    const auto it = files_.find(out.display());
    return it != files_.end() && it->second.staged;
}

platform::File OutputSizes::stage(const OutputName& out, Directory& dir, std::string& error) {
    const std::string path = out.display();
    File& f = files_[path];
    f.name = out;
    const std::string temp = staging_name(owner_, out.name);
    if (f.staged) {
        platform::File file = dir.open_file(temp, platform::File::Mode::write_existing);
        if (!file) error = "cannot open Output file " + path + " (" + file.error() + ")";
        return file;
    }
    if (swept_.insert(collapse_separators(out.dest_dir + "/" + out.stored_dir)).second)
        remove_stale_staging(dir, owner_);
    platform::File file = dir.open_file(temp, platform::File::Mode::create_new);
    if (!file && dir.remove(temp)) {
        // One of this process's id that a run long gone left behind.
        file = dir.open_file(temp, platform::File::Mode::create_new);
    }
    if (!file) {
        error = "cannot open Output file " + path + " (" + file.error() + ")";
        return file;
    }
    f.staged = true;
    return file;
}

void OutputSizes::add(const std::string& path, uint64_t range_start, uint64_t size, const CheckRecord* record) {
    auto& f = files_[path];
    if (f.ranges.empty() && f.name.name.empty()) f.name.name = path;
    Range r;
    r.start = range_start;
    r.size = size;
    if (record) {
        r.has_record = true;
        r.record = *record;
    }
    f.ranges.push_back(r);
    f.newest = ++order_;
}

void OutputSizes::add(const OutputName& out, uint64_t range_start, uint64_t size, const CheckRecord* record) {
    const std::string path = out.display();
    files_[path].name = out;
    add(path, range_start, size, record);
}

void OutputSizes::mark_failed(const std::string& path) {
    const auto it = files_.find(path);
    if (it != files_.end() && !it->second.ranges.empty()) it->second.ranges.back().failed = true;
}

OutputSizes::Version OutputSizes::newest_version(const std::vector<Range>& ranges) const {
    Version v;
    std::vector<size_t>& version = v.pieces;
    if (ranges.empty()) return v;
    const auto overlaps = [&](const Range& r) {
        for (size_t i : version) {
            const Range& o = ranges[i];
            if (r.start < o.start + o.size && o.start < r.start + r.size) return true;
        }
        return false;
    };
    const Range& newest = ranges.back();
    if (newest.has_record) {
        // Its pieces carry the same whole-file size and time; a piece of
        // the same bytes added again is the same version.
        for (size_t i = ranges.size(); i-- > 0;) {
            const Range& r = ranges[i];
            if (!r.has_record || r.record.file_size != newest.record.file_size ||
                r.record.meta.mtime_ns != newest.record.meta.mtime_ns)
                break;
            if (!overlaps(r)) version.push_back(i);
        }
        return v;
    }
    // Without records. A run cuts a file into pieces of one step at
    // multiples of it (only the last one may be shorter; a file under one
    // segment is one piece), the pieces of one version never overlap, and
    // every piece of a run stands after every piece of the runs before it.
    // So the pieces from the newest first piece on are the newest
    // version's. Between the first piece of the version before and that
    // one, the two versions' pieces may stand mixed (tasks append their
    // pieces in the order they end): the version before ends somewhere in
    // there, and each of them has all its pieces, from 0 on without a gap.
    // Every place where it could end is tried; a piece that belongs
    // to the newest version wherever the older one ends is its own, one
    // that belongs to it only for some places cannot be told apart and is
    // left out, rather than mixed in.
    size_t first = ranges.size();
    for (size_t i = ranges.size(); i-- > 0;)
        if (ranges[i].start == 0) {
            first = i;
            break;
        }
    if (first == ranges.size()) {
        for (size_t i = ranges.size(); i-- > 0 && !overlaps(ranges[i]);) version.push_back(i);
        return v;
    }
    size_t previous = ranges.size();  // the first piece of the version before
    for (size_t i = first; i-- > 0;)
        if (ranges[i].start == 0) {
            previous = i;
            break;
        }
    // Whether the pieces [from, to) and `more` (in archive order) can be
    // one version, cut at the step of the one at offset 0.
    const auto one_version = [&](size_t from, size_t to, const std::vector<size_t>& more) {
        std::vector<const Range*> pieces;
        for (size_t i = from; i < to; ++i) pieces.push_back(&ranges[i]);
        for (size_t i : more) pieces.push_back(&ranges[i]);
        const Range* zero = nullptr;
        for (const Range* r : pieces)
            if (r->start == 0) zero = r;
        if (!zero) return true;
        const uint64_t step = zero->size;
        uint64_t last_end = UINT64_MAX;  // of a short piece, which ends the version
        for (const Range* r : pieces) {
            if (r != zero && (step < kEntrySegment || r->start % step != 0 || r->size > step)) return false;
            if (r->size < step) last_end = std::min(last_end, r->start + r->size);
        }
        // Disjoint, and without a gap: a run that could not store every
        // piece of a file stores none.
        std::sort(pieces.begin(), pieces.end(), [](const Range* a, const Range* b) { return a->start < b->start; });
        uint64_t end = 0;
        for (const Range* r : pieces) {
            if (r->start != end || (r->size >= step && r->start + r->size > last_end)) return false;
            end = r->start + r->size;
        }
        return true;
    };
    std::vector<size_t> newest_run;  // from the newest first piece on, up to an overlap
    for (size_t i = first; i < ranges.size(); ++i) {
        bool clash = false;
        for (size_t j : newest_run)
            clash = clash || (ranges[i].start < ranges[j].start + ranges[j].size &&
                              ranges[j].start < ranges[i].start + ranges[i].size);
        if (clash) break;
        newest_run.push_back(i);
    }
    // The older version is pieces [previous, end) of the archive order,
    // the newest one [end, first) with newest_run.
    const bool older = previous != ranges.size();
    size_t shortest = first, longest = first;  // where the newest version may begin
    bool any = false;
    for (size_t end = first + 1; end-- > (older ? previous + 1 : 0);) {
        if (one_version(end, first, newest_run) && (!older || one_version(previous, end, {}))) {
            if (!any) shortest = end;
            longest = end;
            any = true;
        }
    }
    // With no version before, every piece that fits is the newest one's.
    if (!older) shortest = longest;
    for (size_t k = newest_run.size(); k-- > 0;) version.push_back(newest_run[k]);
    for (size_t i = first; i-- > shortest;) version.push_back(i);
    for (size_t i = shortest; i-- > longest;) v.left_out.push_back(i);
    std::sort(version.rbegin(), version.rend());
    return v;
}

uint64_t OutputSizes::final_size(const std::string& path) const {
    const auto it = files_.find(path);
    if (it == files_.end()) return 0;
    const auto& ranges = it->second.ranges;
    const std::vector<size_t> version = newest_version(ranges).pieces;
    if (!version.empty() && ranges[version[0]].has_record) return ranges[version[0]].record.file_size;
    uint64_t end = 0;
    for (size_t v : version) end = std::max(end, ranges[v].start + ranges[v].size);
    return end;
}

std::vector<size_t> OutputSizes::newest_pieces(const std::string& path) const {
    const auto it = files_.find(path);
    return it == files_.end() ? std::vector<size_t>{} : newest_version(it->second.ranges).pieces;
}

std::vector<uint64_t> OutputSizes::left_out(const std::string& path) const {
    std::vector<uint64_t> out;
    const auto it = files_.find(path);
    if (it == files_.end()) return out;
    for (size_t i : newest_version(it->second.ranges).left_out) out.push_back(it->second.ranges[i].start);
    std::sort(out.begin(), out.end());
    return out;
}

namespace {

// Whether `ranges` cover [0, size).
bool covers(std::vector<std::pair<uint64_t, uint64_t>> ranges, uint64_t size) {
    std::sort(ranges.begin(), ranges.end());
    uint64_t end = 0;
    for (const auto& [start, stop] : ranges) {
        if (start > end) break;
        end = std::max(end, stop);
    }
    return end >= size;
}

// Whether the bytes [start, start + size) of `f` hash to `want`.
bool range_matches(platform::File& f, uint64_t start, uint64_t size, uint64_t want) {
    DataHasher hasher;
    std::vector<uint8_t> buf(1 << 20);
    f.seek(start);
    for (uint64_t done = 0; done < size;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), size - done));
        if (f.read(buf.data(), n) != n) return false;
        hasher.update(buf.data(), n);
        done += n;
    }
    return hasher.digest() == want;
}

std::string offsets_text(const std::vector<uint64_t>& offsets) {
    std::string text;
    for (uint64_t o : offsets) text += (text.empty() ? "" : ", ") + std::to_string(o);
    return text;
}

}  // namespace

bool OutputSizes::apply_file(const std::string& path, File& file,
                             std::map<std::pair<uint64_t, uint64_t>, std::string>& placed) {
    const Version v = newest_version(file.ranges);
    const std::vector<size_t>& version = v.pieces;
    const uint64_t size = final_size(path);
    const bool recorded = !version.empty() && file.ranges[version[0]].has_record;
    bool failed = !file.staged;
    std::vector<std::pair<uint64_t, uint64_t>> spans;
    for (size_t i : version) {
        failed = failed || file.ranges[i].failed;
        spans.emplace_back(file.ranges[i].start, file.ranges[i].start + file.ranges[i].size);
    }
    const std::string temp = staging_name(owner_, file.name.name);
    std::string error;
    Directory d = open_output_directory(file.name, error);
    platform::File f;
    if (!failed && d) f = d.open_file(temp, platform::File::Mode::write_existing);
    bool ok = true;
    std::string problem;
    if (failed) {
        problem = "it could not be restored completely";
    } else if (!f) {
        problem = "it cannot be opened again";
    } else if (recorded && !covers(spans, size)) {
        problem = "the archive holds only part of it";
    } else if (!f.truncate(size)) {
        problem = "its size cannot be set";
    } else if (recorded) {
        for (size_t i : version) {
            const Range& r = file.ranges[i];
            if (!range_matches(f, r.start, r.size, r.record.data_hash)) {
                problem = "its restored bytes do not match the archive's check";
                break;
            }
        }
        if (problem.empty() && !f.set_metadata(file.ranges[version[0]].record.meta)) {
            diag_.error(text("Error: cannot set the time and permissions of ", path, " (", f.error(), ")\n"));
            ok = false;
        }
    }
    platform::FileIdentity id;
    const bool known = problem.empty() && f.identity(id);
    f.close();
    if (problem.empty()) {
        // A file this run has put in place already stands at the name: two
        // stored paths reach one file here. The newer one is kept.
        platform::FileIdentity there;
        if (d.identity(file.name.name, there)) {
            const auto it = placed.find({there.device, there.inode});
            if (it != placed.end()) {
                diag_.error(text("Error: ", it->second, " and ", path, " are the same file here; the newer, ", path, ", is kept\n"));
                placed.erase(it);
                ok = false;
            }
        }
        if (!d.rename(temp, file.name.name)) problem = "it cannot be put in place (" + d.error() + ")";
    }
    if (problem.empty()) {
        file.placed = true;
        if (known) placed[{id.device, id.inode}] = path;
        if (!v.left_out.empty()) {
            std::vector<uint64_t> offsets;
            for (size_t i : v.left_out) offsets.push_back(file.ranges[i].start);
            std::sort(offsets.begin(), offsets.end());
            diag_.warning(text("Warning: ", path, " is restored from its newest pieces; older pieces at offsets ", offsets_text(offsets), " are left out (without check records the archive does not tell which version they belong to)\n"));
        }
        return ok;
    }
    const bool removed = d && d.remove(temp);
    file.staged = !removed;
    platform::FileIdentity old;
    const bool kept = d && d.identity(file.name.name, old);
    diag_.error(text("Error: ", path, " not restored: ", problem, !removed ? "" : kept ? " (removed; the file there is left as it was)" : " (removed)", "\n"));
    return false;
}

bool OutputSizes::check_covered() const {
    bool ok = true;
    for (const auto& [path, file] : files_) {
        const std::vector<size_t> version = newest_version(file.ranges).pieces;
        if (version.empty() || !file.ranges[version[0]].has_record) continue;
        std::vector<std::pair<uint64_t, uint64_t>> spans;
        for (size_t i : version) spans.emplace_back(file.ranges[i].start, file.ranges[i].start + file.ranges[i].size);
        if (covers(spans, final_size(path))) continue;
        diag_.error(text("Error: ", path, " cannot be restored: the archive holds only part of it\n"));
        ok = false;
    }
    return ok;
}

bool OutputSizes::apply() {
    std::vector<std::pair<uint64_t, std::string>> order;
    for (const auto& [path, file] : files_)
        if (!file.ranges.empty() && !file.placed) order.emplace_back(file.newest, path);
    std::sort(order.begin(), order.end());
    std::map<std::pair<uint64_t, uint64_t>, std::string> placed;
    bool ok = true;
    for (const auto& [newest, path] : order) ok = apply_file(path, files_[path], placed) && ok;
    discard();
    return ok;
}

void OutputSizes::discard() {
    for (auto& [path, file] : files_) {
        if (!file.staged || file.placed) continue;
        std::string error;
        Directory d = open_output_directory(file.name, error);
        if (d && d.remove(staging_name(owner_, file.name.name))) file.staged = false;
    }
}

}  // namespace taq
