#include "archive/walk.h"

#include <algorithm>
#include <vector>

#include "archive/bytes.h"

namespace taq {

namespace {

using platform::File;

// Longest stored name or directory a writer produces (a path the system
// can open); longer ones are not taken as the start of an entry.
constexpr uint64_t kMaxStoredString = 65535;

// Whether the entries from `offset` on walk cleanly to the end.
bool chain_to_end(const Source& archive, uint64_t offset, uint64_t size) {
    while (offset < size) {
        CheckedEntry e;
        std::string why;
        if (!check_entry(archive, offset, size, e, why)) return false;
        offset += e.header.entry_size;
    }
    return offset == size;
}

// The fields of a header that stand in `p[0, n)` (the rest of the file
// from the header's start; at most the header's length) are what a writer
// leaves behind when it is stopped: the size still the placeholder 0 or
// reaching past the end, the flags 0 or 1, complete strings well formed.
// `need_strings`: both strings must be there.
bool plausible_cut_header(const uint8_t* p, size_t n, uint64_t left, bool need_strings) {
    if (n < 8) return !need_strings;
    const uint64_t entry_size = get_le(p, 8);
    if (entry_size != 0 && entry_size <= left) return false;
    if (n > 8 && p[8] > 1) return false;
    if (n > 9 && p[9] > 1) return false;
    size_t at = 10;
    for (int s = 0; s < 2; ++s) {
        if (at + 2 > n) return !need_strings;
        const uint64_t len = get_le(p + at, 2);
        at += 2;
        if (len == 0) return false;
        const size_t have = static_cast<size_t>(std::min<uint64_t>(len, n - at));
        for (size_t i = 0; i < have; ++i) {
            const bool last = i + 1 == len;
            if ((p[at + i] == 0) != last) return false;
        }
        if (have < len) return !need_strings;
        at += static_cast<size_t>(len);
    }
    if (at + 36 > n) return true;
    // The fixed fields after the strings.
    const uint8_t* r = p + at;
    const auto data_size = static_cast<int64_t>(get_le(r, 8));
    const uint32_t m = static_cast<uint32_t>(get_le(r + 8, 4));
    if (data_size < 0) return false;
    if (p[9] == 1 && (m < kMinModelMemory || m > kMaxModelMemory || (m & (m - 1)) != 0)) return false;
    if (r[13] > 1) return false;        // general_path
    if (get_le(r + 22, 2) > kLastDataKind) return false;  // data_kind
    return true;
}

}  // namespace

bool check_entry(const Source& archive, uint64_t offset, uint64_t size, CheckedEntry& out, std::string& why) {
    out = CheckedEntry{};
    out.offset = offset;
    if (!read_header(archive, offset, size, out.header, &why)) return false;
    return check_read_entry(archive, out, why);
}

bool check_read_entry(const Source& archive, CheckedEntry& out, std::string& why) {
    const EntryHeader& h = out.header;
    const uint64_t offset = out.offset;
    if (const char* bad = implausible_header(h, true)) {
        why = bad;
        return false;
    }
    out.record_state = find_record(archive, offset, h.entry_size, h.header_length(), out.record, out.record_length);
    if (out.record_state == RecordState::damaged) {
        why = "check record damaged";
        return false;
    }
    if (out.record_state == RecordState::present && out.record.header_hash != header_hash(serialize_header(h))) {
        why = "entry header does not match its check record";
        return false;
    }
    return true;
}

bool trusted_start(const Source& archive, uint64_t offset, uint64_t size) {
    CheckedEntry e;
    std::string why;
    if (!check_entry(archive, offset, size, e, why)) return false;
    const EntryHeader& h = e.header;
    if (h.reset_flag != 1 || h.solid > 1) return false;
    if (h.stored_name.size() > kMaxStoredString || h.stored_dir.size() > kMaxStoredString) return false;
    if (e.record_state == RecordState::present) return true;
    return chain_to_end(archive, offset, size);
}

uint64_t find_trusted_entry(const Source& archive, uint64_t from, uint64_t size) {
    // A cheap look at the fixed bytes first: entry_size inside the file,
    // the flags of a run's first entry.
    constexpr size_t kWindow = 1 << 20;
    std::vector<uint8_t> buf;
    for (uint64_t base = from; base < size;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(kWindow + 16, size - base));
        buf.resize(n);
        if (!archive.read_exact(base, buf.data(), n)) return size;
        const size_t last = std::min<size_t>(n, kWindow);
        for (size_t i = 0; i < last; ++i) {
            const uint64_t p = base + i;
            if (i + 10 > n) break;
            if (buf[i + 9] != 1 || buf[i + 8] > 1) continue;
            const uint64_t entry_size = get_le(buf.data() + i, 8);
            if (entry_size < kMinEntrySize || entry_size > size - p) continue;
            if (trusted_start(archive, p, size)) return p;
        }
        base += last;
    }
    return size;
}

bool interrupted_append_at(const Source& archive, uint64_t offset, uint64_t size, bool unsettled_only) {
    // A version marker that its run could not take into the last entry.
    if (offset > 0 && pending_marker_at(archive, offset, size)) return true;
    // What a stopped writer leaves: one header, its size not yet written
    // (or, for a part archive being joined, reaching past the end),
    // followed by nothing but that entry's own data.
    const size_t n = static_cast<size_t>(std::min<uint64_t>(size - offset, 46 + 2 * (kMaxStoredString + 1)));
    std::vector<uint8_t> head(n);
    if (!archive.read_exact(offset, head.data(), n)) return false;
    if (unsettled_only && n >= 8 && get_le(head.data(), 8) != 0) return false;
    // At the very start the whole file would go: ask for more evidence
    // that it is an archive of ours.
    if (!plausible_cut_header(head.data(), n, size - offset, offset == 0)) return false;
    // A complete entry further on means damage in the middle, not a tail
    // that a crash cut short.
    return find_trusted_entry(archive, offset + 1, size) == size;
}

std::string interrupted_append_message(const std::string& archive, uint64_t offset) {
    return "Archive " + archive + ": an interrupted append at offset " + std::to_string(offset) +
           " (the next a cuts it away)\n";
}

bool ArchiveWalk::next(CheckedEntry& e) {
    while (position_ < size_) {
        if (index_ && index_->sound_entry(position_, e)) return true;
        std::string why;
        if (check_entry(archive_, position_, size_, e, why)) return true;
        // Sound entries up to an unfinished last one: not damage, but what
        // the next `a` cuts away.
        if (damaged_ == 0 && interrupted_append_at(archive_, position_, size_, true)) {
            diag_.info(interrupted_append_message(path_, position_));
            position_ = size_;
            return false;
        }
        pass_damage(position_, why, false);
    }
    return false;
}

void ArchiveWalk::resume_after(uint64_t offset) { pass_damage(offset, {}, true); }

void ArchiveWalk::pass_damage(uint64_t from, const std::string& why, bool first_counted) {
    ++damaged_;
    if (!why.empty()) diag_.error(damaged_archive_message(path_, from, why));
    const uint64_t resume = find_trusted_entry(archive_, from + 1, size_);
    skipped_bytes_ += resume - from;
    uint64_t entries = 0;
    for (uint64_t p = from; p < resume; ++entries) {
        EntryHeader h;
        if (!read_header(archive_, p, size_, h, nullptr, true) || h.entry_size > resume - p) break;
        p += h.entry_size;
    }
    damaged_entries_ += first_counted && entries > 0 ? entries - 1 : entries;
    if (resume < size_)
        diag_.info(text("Skipped bytes ", from, " to ", resume, " of archive ", path_,
                        "; going on at the next entry that can be trusted\n"));
    else
        diag_.info(text("Skipped bytes ", from, " to ", size_, " of archive ", path_,
                        ": no entry after them can be trusted\n"));
    position_ = resume;
}

AppendCheck check_for_append(const Source& archive, uint64_t size, ArchiveIndex* keep) {
    AppendCheck c;
    // The sound entries from the start (a continuation entry is fine here:
    // its run is before it), with flags that a writer sets.
    ArchiveIndex own;
    ArchiveIndex& index = keep ? *keep : own;
    index = ArchiveIndex::check(archive, size);
    uint64_t position = index.sound_end();
    for (const IndexEntry& e : index.entries())
        if (e.offset >= position || e.header.solid > 1 || e.header.reset_flag > 1) {
            position = std::min(position, e.offset);
            break;
        }
    if (position >= size) {
        c.good_end = size;
        return c;
    }
    c.good_end = position;
    if (interrupted_append_at(archive, position, size)) {
        c.state = AppendCheck::incomplete;
        return c;
    }
    CheckedEntry e;
    std::string why;
    check_entry(archive, position, size, e, why);
    // A cut header with a complete entry further on: damage in the middle.
    const size_t n = static_cast<size_t>(std::min<uint64_t>(size - position, 46 + 2 * (kMaxStoredString + 1)));
    std::vector<uint8_t> head(n);
    if (archive.read_exact(position, head.data(), n) &&
        plausible_cut_header(head.data(), n, size - position, position == 0))
        why = "an incomplete entry before complete ones, at offset " +
              std::to_string(find_trusted_entry(archive, position + 1, size));
    c.state = AppendCheck::refused;
    c.why = why.empty() ? std::string("not an archive") : why;
    return c;
}

}  // namespace taq
