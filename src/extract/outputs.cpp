#include "extract/outputs.h"

#include <algorithm>
#include <cstdio>

#include "archive/paths.h"

namespace taq {

using platform::Directory;

std::string OutputName::display() const { return collapse_separators(dest_dir + "/" + stored_dir + name); }

Directory open_output_directory(const OutputName& out, std::string& error) {
    make_directories(out.dest_dir);
    Directory d = Directory::open(out.dest_dir.empty() ? std::string(".") : out.dest_dir);
    if (!d) {
        error = "cannot open directory " + out.dest_dir + " (" + d.error() + ")";
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

platform::File open_output(const OutputName& out, platform::File::Mode mode, std::string& error) {
    Directory d = open_output_directory(out, error);
    if (!d) return {};
    platform::File f = d.open_file(out.name, mode);
    if (!f) error = "cannot open Output file " + out.display() + " (" + f.error() + ")";
    return f;
}

void OutputSizes::add(const std::string& path, uint64_t range_start, uint64_t size, const CheckRecord* record) {
    OutputName name;
    name.name = path;
    auto& f = files_[path];
    if (f.ranges.empty()) f.name = name;
    Range r;
    r.start = range_start;
    r.size = size;
    if (record) {
        r.has_record = true;
        r.record = *record;
    }
    f.ranges.push_back(r);
}

void OutputSizes::add(const OutputName& out, uint64_t range_start, uint64_t size, const CheckRecord* record) {
    const std::string path = out.display();
    add(path, range_start, size, record);
    files_[path].name = out;
}

void OutputSizes::mark_failed(const std::string& path) {
    const auto it = files_.find(path);
    if (it != files_.end() && !it->second.ranges.empty()) it->second.ranges.back().failed = true;
}

std::vector<size_t> OutputSizes::newest_version(const std::vector<Range>& ranges) const {
    std::vector<size_t> version;
    if (ranges.empty()) return version;
    const auto overlaps = [&](const Range& r) {
        for (size_t v : version) {
            const Range& o = ranges[v];
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
        return version;
    }
    // Without records: pieces do not overlap each other, and once the
    // first piece is known, the others start at multiples of its size (a
    // first piece under 8 MiB is the whole version).
    const Range* first = nullptr;
    for (size_t i = ranges.size(); i-- > 0;) {
        const Range& r = ranges[i];
        if (first) {
            const uint64_t step = first->size;
            if (step < 8388608 || r.start == 0 || r.start % step != 0 || r.size > step || overlaps(r)) break;
        } else if (overlaps(r)) {
            break;
        }
        version.push_back(i);
        if (r.start == 0) first = &r;
    }
    return version;
}

uint64_t OutputSizes::final_size(const std::string& path) const {
    const auto it = files_.find(path);
    if (it == files_.end()) return 0;
    const auto& ranges = it->second.ranges;
    const std::vector<size_t> version = newest_version(ranges);
    if (!version.empty() && ranges[version[0]].has_record) return ranges[version[0]].record.file_size;
    uint64_t end = 0;
    for (size_t v : version) end = std::max(end, ranges[v].start + ranges[v].size);
    return end;
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

}  // namespace

bool OutputSizes::apply() const {
    bool ok = true;
    for (const auto& [path, file] : files_) {
        const std::vector<size_t> version = newest_version(file.ranges);
        const uint64_t size = final_size(path);
        const bool recorded = !version.empty() && file.ranges[version[0]].has_record;
        bool failed = false;
        std::vector<std::pair<uint64_t, uint64_t>> spans;
        for (size_t v : version) {
            failed = failed || file.ranges[v].failed;
            spans.emplace_back(file.ranges[v].start, file.ranges[v].start + file.ranges[v].size);
        }
        std::string error;
        platform::File f;
        if (!failed) f = open_output(file.name, platform::File::Mode::write_existing, error);
        const char* problem = nullptr;
        if (failed) {
            problem = "it could not be restored completely";
        } else if (!f) {
            problem = "it cannot be opened again";
        } else if (recorded && !covers(spans, size)) {
            problem = "the archive holds only part of it";
        } else if (!f.truncate(size)) {
            problem = "its size cannot be set";
        } else if (recorded) {
            for (size_t v : version) {
                const Range& r = file.ranges[v];
                if (!range_matches(f, r.start, r.size, r.record.data_hash)) {
                    problem = "its restored bytes do not match the archive's check";
                    break;
                }
            }
            if (!problem && !f.set_metadata(file.ranges[version[0]].record.meta)) {
                std::printf("Error: cannot set the time and permissions of %s (%s)\n", path.c_str(), f.error().c_str());
                ok = false;
            }
        }
        if (!problem) continue;
        ok = false;
        f.close();
        std::string why;
        Directory d = open_output_directory(file.name, why);
        const bool removed = d && d.remove(file.name.name);
        std::printf("Error: %s not restored: %s%s\n", path.c_str(), problem,
                    removed ? " (removed)" : "");
    }
    return ok;
}

}  // namespace taq
