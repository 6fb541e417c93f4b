// The entry headers of an archive, read once. The chain of headers from the
// start (each entry_size leads to the next) is what listing, planning and
// progress need; readers that check entries and records and pass over
// damage walk it with ArchiveWalk, which takes the entries that a checked
// index found sound as they are and reads the rest itself.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "archive/entry.h"
#include "archive/record.h"
#include "archive/source.h"

namespace taq {

struct IndexEntry {
    uint64_t offset = 0;
    // The whole header when `complete`; else only entry_size, the flags and
    // the names could be read.
    EntryHeader header;
    bool complete = false;
    // Filled in by ArchiveIndex::check only: whether the entry checks out
    // as a reader checks it (see check_entry), and its record.
    bool sound = false;
    RecordState record_state = RecordState::absent;
    CheckRecord record;
    uint64_t record_length = 0;
};

struct CheckedEntry;

class ArchiveIndex {
public:
    ArchiveIndex() = default;

    // Every entry whose names can be read, in order, up to the first whose
    // cannot (or the end of the archive).
    static ArchiveIndex read(const Source& archive, uint64_t size, uint64_t from = 0);
    // The same chain, each entry also checked as a reader checks it (its
    // plausibility, its record and the record's header check).
    static ArchiveIndex check(const Source& archive, uint64_t size);

    bool checked() const { return checked_; }
    // The entry at `offset` as check_entry gives it, when this index checked
    // it and found it sound.
    bool sound_entry(uint64_t offset, CheckedEntry& out) const;
    // Where the sound entries from the start end: the offset of the first
    // entry that is not sound (or of the first header that cannot be read).
    uint64_t sound_end() const;

    const std::vector<IndexEntry>& entries() const { return entries_; }
    uint64_t archive_size() const { return size_; }
    // Where the chain stops: archive_size() when it reaches the end, else
    // the offset of the first header that cannot be read, and why.
    uint64_t end() const { return end_; }
    const std::string& why() const { return why_; }
    // How many entries from the start have complete headers.
    size_t complete() const { return complete_; }
    // The position in entries() of the entry at `offset`; entries().size()
    // when none starts there.
    size_t find(uint64_t offset) const;

private:
    std::vector<IndexEntry> entries_;
    uint64_t size_ = 0;
    uint64_t end_ = 0;
    std::string why_;
    size_t complete_ = 0;
    bool checked_ = false;
};

}  // namespace taq
