#include "archive/versions.h"

#include <cstdio>

#include "archive/bytes.h"
#include "archive/entry.h"

namespace taq {

namespace {

std::string at_offset(uint64_t offset) { return "in the entry at offset " + std::to_string(offset); }

}  // namespace

VersionHistory VersionHistory::read(const Source& archive, const ArchiveIndex& index) {
    VersionHistory h;
    // The entries since the last marker, by stored path.
    std::map<std::string, std::vector<size_t>> open;
    std::set<std::string> stored;  // paths that a closed version stored
    uint32_t last = 0;
    const auto& entries = index.entries();
    for (size_t k = 0; k < entries.size(); ++k) {
        const IndexEntry& e = entries[k];
        if (!e.sound) continue;
        open[e.header.stored_path()].push_back(k);
        ++h.unmarked_;
        h.unmarked_bytes_ += e.header.entry_size;
        if (e.record_state != RecordState::present || !(e.record.flags & (kRecordStacked | kRecordMarker))) continue;
        std::vector<VersionMarker> markers;
        if (!read_markers(archive, e.offset, e.header.entry_size, e.header.header_length(), markers))
            h.problems_.push_back("a version marker " + at_offset(e.offset) + " is damaged: passed over");
        for (VersionMarker& m : markers) {
            if (m.number <= last) {
                h.problems_.push_back("version marker " + std::to_string(m.number) + " " + at_offset(e.offset) +
                                      " comes after version " + std::to_string(last) + ": passed over");
                continue;
            }
            VersionInfo v;
            v.end = e.offset + e.header.entry_size;
            v.entries = h.unmarked_;
            for (auto& [path, ks] : open) {
                h.paths_[path].push_back(PathEvent{m.number, false, std::move(ks)});
                stored.insert(path);
            }
            open.clear();
            for (const std::string& d : m.deleted) {
                if (stored.count(d)) continue;
                v.deletions_trusted = false;
                h.problems_.push_back("version " + std::to_string(m.number) + " (its marker " + at_offset(e.offset) +
                                      ") deletes " + d + ", which no earlier version stored: its deletions are ignored");
                break;
            }
            if (v.deletions_trusted)
                for (const std::string& d : m.deleted) h.paths_[d].push_back(PathEvent{m.number, true, {}});
            last = m.number;
            v.marker = std::move(m);
            h.versions_.push_back(std::move(v));
            h.unmarked_ = 0;
            h.unmarked_bytes_ = 0;
        }
    }
    for (auto& [path, ks] : open) h.paths_[path].push_back(PathEvent{0, false, std::move(ks)});
    return h;
}

uint64_t VersionHistory::unmarked_files() const {
    uint64_t n = 0;
    for (const auto& [path, events] : paths_)
        if (!events.empty() && events.back().version == 0) ++n;
    return n;
}

const VersionInfo* VersionHistory::find(uint32_t number) const {
    for (const VersionInfo& v : versions_)
        if (v.marker.number == number) return &v;
    return nullptr;
}

const PathEvent* VersionHistory::newest(const std::string& path, uint32_t number) const {
    const auto it = paths_.find(path);
    if (it == paths_.end()) return nullptr;
    for (auto e = it->second.rbegin(); e != it->second.rend(); ++e) {
        if (number != 0 && (e->version == 0 || e->version > number)) continue;
        return &*e;
    }
    return nullptr;
}

VersionView VersionHistory::view(uint32_t number) const {
    VersionView v;
    if (number != 0) {
        const VersionInfo* info = find(number);
        if (info) v.end = info->end;
    }
    for (const auto& [path, events] : paths_) {
        const PathEvent* e = newest(path, number);
        if (e && e->deleted) v.deleted.insert(path);
    }
    return v;
}

namespace {

// Reads `count` digits at text[at]; false when they are not there.
bool digits(const std::string& text, size_t at, size_t count, int& out) {
    if (at + count > text.size()) return false;
    out = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        out = out * 10 + (text[i] - '0');
    }
    return true;
}

// "YYYY-MM-DD[THH:MM[:SS]]"; a date alone stands for its last second.
bool parse_date(const std::string& text, platform::CalendarTime& t) {
    if (!digits(text, 0, 4, t.year) || text.size() < 10 || text[4] != '-' || !digits(text, 5, 2, t.month) ||
        text[7] != '-' || !digits(text, 8, 2, t.day))
        return false;
    t.hour = 23;
    t.minute = 59;
    t.second = 59;
    if (text.size() > 10) {
        if ((text[10] != 'T' && text[10] != ' ') || text.size() < 16 || !digits(text, 11, 2, t.hour) ||
            text[13] != ':' || !digits(text, 14, 2, t.minute))
            return false;
        t.second = 0;
        if (text.size() > 16 && (text.size() != 19 || text[16] != ':' || !digits(text, 17, 2, t.second)))
            return false;
    }
    return t.month >= 1 && t.month <= 12 && t.day >= 1 && t.day <= 31 && t.hour <= 23 && t.minute <= 59 &&
           t.second <= 60;
}

}  // namespace

bool version_until(const VersionHistory& history, const std::string& text, uint32_t& number, std::string& error) {
    const auto& versions = history.versions();
    const std::string range = versions.empty()
                                  ? std::string("the archive has none")
                                  : "its versions are " + std::to_string(versions.front().marker.number) + " to " +
                                        std::to_string(versions.back().marker.number);
    const bool numeric = !text.empty() && text.size() <= 9 && text.find_first_not_of("0123456789") == std::string::npos;
    if (numeric) {
        number = static_cast<uint32_t>(std::stoul(text));
        if (history.find(number)) return true;
        error = "matches no version: " + range;
        return false;
    }
    platform::CalendarTime t;
    int64_t seconds = 0;
    if (!parse_date(text, t) || !platform::from_local_time(t, seconds)) {
        error = "is neither a version number nor a date YYYY-MM-DD[THH:MM[:SS]]";
        return false;
    }
    // A version whose start is not known counts as before any date.
    const VersionInfo* found = nullptr;
    for (const VersionInfo& v : versions) {
        const int64_t started = v.marker.started_ns;
        if (started == 0 || started / 1000000000 <= seconds) found = &v;
    }
    if (!found) {
        error = "matches no version: " + range;
        return false;
    }
    number = found->marker.number;
    return true;
}

MarkerTarget file_marker_target(platform::File& archive) {
    MarkerTarget t;
    t.archive = Source(archive);
    const int64_t size = archive.size();
    t.size = size > 0 ? static_cast<uint64_t>(size) : 0;
    t.write_at = [&archive](uint64_t at, const void* data, size_t n) { return archive.seek(at) && archive.write(data, n); };
    t.sync = [&archive] { return archive.sync(); };
    t.error = [&archive] { return archive.error(); };
    return t;
}

bool append_marker(const MarkerTarget& t, uint64_t chain_from, const VersionMarker& marker, std::string& error) {
    const ArchiveIndex chain = ArchiveIndex::read(t.archive, t.size, chain_from);
    if (chain.entries().empty() || chain.end() != t.size || chain.complete() != chain.entries().size()) {
        error = "the archive does not end in a complete entry";
        return false;
    }
    const IndexEntry& last = chain.entries().back();
    EntryHeader h = last.header;
    CheckRecord top;
    uint64_t region = 0;
    if (find_record(t.archive, last.offset, h.entry_size, h.header_length(), top, region) != RecordState::present) {
        error = "its last entry has no check record";
        return false;
    }
    // The record's length does not depend on the header check it carries.
    const uint64_t length = serialize_marker_record(top, marker, true).size();
    h.entry_size += length;
    top.header_hash = header_hash(serialize_header(h));
    const std::vector<uint8_t> record = serialize_marker_record(top, marker, true);
    std::vector<uint8_t> grown;
    put_le(grown, h.entry_size, 8);
    // The record first, durable; the entry takes it in only then.
    if (!t.write_at(t.size, record.data(), record.size()) || !t.sync() ||
        !t.write_at(last.offset, grown.data(), grown.size()) || !t.sync()) {
        error = "cannot write the archive (" + t.error() + ")";
        return false;
    }
    return true;
}

std::string version_time_text(int64_t ns) {
    platform::CalendarTime t;
    const int64_t seconds = ns >= 0 ? ns / 1000000000 : -((-ns + 999999999) / 1000000000);
    if (ns == 0 || !platform::to_local_time(seconds, t)) return "unknown";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute,
                  t.second);
    return buf;
}

}  // namespace taq
